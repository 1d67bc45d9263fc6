"""A partition of JSON Lines read straight into Arrow columns by Arrow's own
reader, where that gives every row exactly the request that json.loads gives
its line; any other partition is parsed line by line.

Arrow's reader parts from the json module in a few ways, each ruled out by a
look at the bytes before or at the columns after:
- a null is an absent value to Arrow, but a value evaluate refuses: no
  "null" anywhere;
- it reads Inf, -Inf and -NaN as numbers: no "Inf" or "NaN" anywhere;
- it reads an object across line breaks, and several on one line: each line
  starts with "{" and ends with "}", so that none can span two (a "{" never
  follows a "}" inside JSON), and there are as many rows as lines;
- it keeps text that is not UTF-8: the bytes must decode;
- it gives a field one type over all rows: a field holding a number in one
  row and text in another is an error here (the partition goes line by
  line), and a part or field of a kind no request value has (a list, an
  object) sends the partition there too;
- it reads an integer too large for a double as infinite, where evaluate
  refuses it: no infinite number in a request;
- it crashes on values nested thousands deep: a line opens at most 64
  objects and lists.
Text in JSON never holds a raw line break, so a look at the bytes can only
be fooled into sending a partition line by line without need, never the other
way.
"""

from __future__ import annotations

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pj

from kavro._kavro import DOMAINS

PARTS = DOMAINS  # the parts of a request
_VALUES = (pa.bool_(), pa.int64(), pa.float64(), pa.string())
# A null, an infinity or NaN, a line break after anything but "}" or before
# anything but "{".
_UNLIKE_JSON_MODULE = r"null|Inf|NaN|[^}]\n|\n[^{]"
# Arrow's reader goes down nested values on the native stack, which values
# nested thousands deep overflow: a line may open a few objects and lists.
_ALL_BUT_OPENINGS = bytes(byte for byte in range(256) if byte not in b"{[\n")
_MOST_OPENINGS = 64  # a request opens four objects
_last_schema: pa.Schema | None = None


def json_lines_table(data: bytes, id_field: str | None) -> tuple[pa.Table, pa.Array] | None:
    """The requests of `data` (one per line) and their ids as text, or None
    when Arrow's reading might differ from json.loads on some line."""
    if not data.startswith(b"{") or not data.endswith((b"}", b"}\n")) or not _utf8(data):
        return None
    openings = data.translate(None, _ALL_BUT_OPENINGS)
    if max(map(len, openings.split(b"\n"))) > _MOST_OPENINGS:
        return None
    # One pass of Arrow's regular expressions over the bytes, twice as fast as
    # the same searches in Python.
    whole = pa.array([data], pa.large_binary())
    if pc.match_substring_regex(whole, pattern=_UNLIKE_JSON_MODULE)[0].as_py():
        return None
    lines = openings.count(b"\n") + (not data.endswith(b"\n"))
    table = _read(data)
    if table is None or table.num_rows != lines:
        return None
    parts = [name for name in PARTS if name in table.column_names]
    if not all(_holds_values(table.column(name)) for name in parts):
        return None
    ids = _ids(table, id_field)
    if ids is None:
        return None
    requests = table.select(parts) if parts else pa.table({"_": pa.nulls(lines)})
    return requests, ids


def _read(data: bytes) -> pa.Table | None:
    global _last_schema
    options = pj.ReadOptions(use_threads=False, block_size=len(data) + 1)
    # The columns of the partition before, if they fit: a third faster than
    # finding them again. They fit only if every value is of its column's
    # kind (a whole number passes for a double, as evaluate reads it anyway).
    known = _last_schema
    if known is not None:
        parse = pj.ParseOptions(explicit_schema=known, unexpected_field_behavior="error")
        try:
            return pj.read_json(pa.BufferReader(data), read_options=options, parse_options=parse)
        except (pa.ArrowException, ValueError):
            pass
    try:
        table = pj.read_json(pa.BufferReader(data), read_options=options)
    except (pa.ArrowException, ValueError):
        return None
    _last_schema = table.schema
    return table


def _utf8(data: bytes) -> bool:
    if data.isascii():
        return True
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def _holds_values(part: pa.ChunkedArray) -> bool:
    """A struct of values evaluate takes as Arrow reads them. An integer too
    large for a double is refused by evaluate but infinite to Arrow (which
    reads such a fraction as json.loads does): no infinity at all."""
    kind = part.type
    if not pa.types.is_struct(kind):
        return False
    for index in range(kind.num_fields):
        field = kind.field(index).type
        if field not in _VALUES:
            return False
        if field == pa.float64() and pc.any(pc.is_inf(pc.struct_field(part, [index]))).as_py():
            return False
    return True


def _ids(table: pa.Table, id_field: str | None) -> pa.Array | None:
    """Ids as the line by line reading writes them, or None for a kind whose
    text Arrow writes otherwise than json.dumps (floats, objects)."""
    if id_field is None or id_field not in table.column_names:
        return pa.nulls(table.num_rows, pa.string())
    column = table.column(id_field).combine_chunks()
    if column.type == pa.string():
        return column
    if column.type == pa.int64():
        return column.cast(pa.string())
    return None
