"""Request logs on disk: the files a command names, cut into partitions that
a worker reads by itself, so that memory follows the partition, not the log.

A Parquet file is cut at its row groups; a JSON Lines file at line breaks,
about every PART_BYTES bytes. Rows are numbered from 1 in their file: the row
of a Parquet file, the line of a JSON Lines file (blank lines are no rows).
"""

from __future__ import annotations

import glob
import json
import os
import stat
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from kavro._errors import UsageError
from kavro._replay.json_columns import PARTS, json_lines_table

PART_BYTES = 8 << 20
_PARQUET_MAGIC = b"PAR1"
_BLOCK = 1 << 22


@dataclass(frozen=True)
class Part:
    path: str  # as the user named it, for messages and --out
    location: str  # absolute, for workers whose working directory differs
    parquet: bool
    start: int  # row group for Parquet, byte offset for JSON Lines
    end: int
    first_row: int
    text_columns: tuple[str, ...] = ()  # Parquet columns of text, read as dictionaries


@dataclass
class PartRows:
    """What a partition holds: the requests as an Arrow table (Parquet, and
    JSON Lines that Arrow reads as json.loads would) or as parsed JSON values
    (other JSON Lines), their row numbers and request ids, and the rows that
    are not JSON at all."""

    row_numbers: list[int]
    ids: pa.Array
    table: pa.Table | None = None
    values: list[Any] | None = None
    unreadable: dict[int, str] | None = None
    text: bytes | None = None  # JSON Lines read as columns: a row is a line

    def request(self, index: int) -> Any:
        """The request of one row as evaluate would take it."""
        if self.values is not None:
            return self.values[index]
        if self.text is not None:
            # The line itself: its other keys (the id) belong to the sample too.
            return json.loads(self.text.split(b"\n", index + 1)[index])
        assert self.table is not None
        return request_of_row(self.table.slice(index, 1).to_pylist()[0])


def find_logs(patterns: list[str]) -> list[str]:
    """The files named, with globs expanded in order; a pattern matching
    nothing or a missing file is a usage error."""
    paths: list[str] = []
    for pattern in patterns:
        matches = sorted(glob.glob(pattern)) if glob.has_magic(pattern) else [pattern]
        if not matches:
            raise UsageError(f"no log file matches {pattern!r}")
        paths += matches
    return paths


def plan_parts(path: str) -> Iterator[Part]:
    try:
        with open(path, "rb") as file:
            # Partitions are read again by offset, in other threads or
            # processes: a pipe cannot be, and a device such as /dev/zero
            # never ends.
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                raise UsageError(f"cannot read log {path!r}: not a regular file")
            parquet = file.read(4) == _PARQUET_MAGIC
        if parquet:
            yield from _parquet_parts(path)
        else:
            yield from _json_lines_parts(path)
    except (OSError, pa.ArrowException) as error:
        raise UsageError(f"cannot read log {path!r}: {_reason(error)}") from None


def _reason(error: Exception) -> str:
    return str(getattr(error, "strerror", None) or error)


def _parquet_parts(path: str) -> Iterator[Part]:
    # Text read as dictionaries: logs repeat their values, decoding is faster
    # and the engine reads dictionary-encoded text as it reads plain text.
    with pq.ParquetFile(path) as file:
        metadata, schema = file.metadata, file.schema
    text = tuple(schema.column(index).path for index in range(len(schema))
                 if schema.column(index).logical_type.type == "STRING")
    first = 1
    for group in range(metadata.num_row_groups):
        yield Part(path, os.path.abspath(path), True, group, group + 1, first, text)
        first += metadata.row_group(group).num_rows


def _json_lines_parts(path: str) -> Iterator[Part]:
    # Counting line breaks once gives every partition its first line number.
    with open(path, "rb") as file:
        start, line, offset, lines = 0, 1, 0, 0
        while block := file.read(_BLOCK):
            offset += len(block)
            cut = block.rfind(b"\n")
            if offset - start < PART_BYTES or cut < 0:
                lines += block.count(b"\n")
                continue
            end = offset - len(block) + cut + 1
            yield Part(path, os.path.abspath(path), False, start, end, line)
            line += lines + block.count(b"\n", 0, cut + 1)
            lines = block.count(b"\n", cut + 1)
            start = end
        if offset > start:
            yield Part(path, os.path.abspath(path), False, start, offset, line)


def read_part(part: Part, id_field: str | None) -> PartRows:
    try:
        if part.parquet:
            return _read_parquet(part, id_field)
        return _read_json_lines(part, id_field)
    except (OSError, pa.ArrowException) as error:
        raise UsageError(f"cannot read log {part.path!r}: {_reason(error)}") from None


def _read_parquet(part: Part, id_field: str | None) -> PartRows:
    # Closed at once: an open file's metadata is otherwise freed only by the
    # cycle collector, and piles up over the partitions of a long log.
    with pq.ParquetFile(part.location, read_dictionary=list(part.text_columns)) as file:
        # One thread: partitions are what runs in parallel, one per core.
        table = file.read_row_group(part.start, use_threads=False)
    numbers = list(range(part.first_row, part.first_row + table.num_rows))
    if id_field is not None and id_field in table.column_names:
        ids = table.column(id_field).combine_chunks().cast(pa.string())
    else:
        ids = pa.nulls(table.num_rows, pa.string())
    return PartRows(numbers, ids, table=table)


def _read_json_lines(part: Part, id_field: str | None) -> PartRows:
    with open(part.location, "rb") as file:
        file.seek(part.start)
        data = file.read(part.end - part.start)
    read = json_lines_table(data, id_field)
    if read is not None:
        table, ids = read
        return PartRows(list(range(part.first_row, part.first_row + table.num_rows)), ids,
                        table=table, text=data)
    values: list[Any] = []
    numbers: list[int] = []
    unreadable: dict[int, str] = {}
    for number, line in enumerate(data.split(b"\n"), part.first_row):
        if not line.strip():
            continue
        try:
            value = json.loads(line)
        except json.JSONDecodeError as error:
            unreadable[len(values)] = f"not JSON: {error.msg} at column {error.colno}"
            value = None
        except UnicodeDecodeError:
            unreadable[len(values)] = "not UTF-8 text"
            value = None
        except (ValueError, RecursionError) as error:
            # An integer of more digits than Python converts, or nesting too deep.
            unreadable[len(values)] = f"not JSON: {error}"
            value = None
        values.append(value)
        numbers.append(number)
    ids = [_id_text(value, id_field) for value in values]
    return PartRows(numbers, pa.array(ids, pa.string()), values=values, unreadable=unreadable)


def _id_text(value: Any, id_field: str | None) -> str | None:
    if id_field is None or not isinstance(value, dict):
        return None
    found = value.get(id_field)
    if found is None or isinstance(found, str):
        return found
    return json.dumps(found)


def request_of_row(row: dict[str, Any]) -> dict[str, Any]:
    """The request an Arrow row stands for: struct or flat `part.field`
    columns, nulls left out as absent fields."""
    request: dict[str, Any] = {}
    for name, value in row.items():
        part, _, field = name.partition(".")
        if part not in PARTS or value is None:
            continue
        fields = request.setdefault(part, {})
        if field:
            fields[field] = value
        elif isinstance(value, dict):
            fields.update((key, item) for key, item in value.items() if item is not None)
    return request
