"""Deciding a pandas data frame (a Dask partition): through Arrow when its
request columns convert as they are, else row by row as evaluate would.

Columns of mixed kinds (object columns holding numbers and text) do not
convert to Arrow; their rows are decided from their values, with a missing
value (None or NaN, as pandas writes absent cells) left out as absent.
"""

from __future__ import annotations

import math
from typing import Any

import pyarrow as pa

from kavro import PyKavro
from kavro._replay.deciding import Decided, decide_rows, decide_table
from kavro._replay.json_columns import PARTS


def request_column_names(names: list[Any]) -> list[Any]:
    return [name for name in names if isinstance(name, str)
            and (name in PARTS or name.partition(".")[0] in PARTS)]


def decide_frame(engine: PyKavro, frame: Any) -> Decided:
    requests = frame[request_column_names(list(frame.columns))]
    try:
        table = pa.Table.from_pandas(requests, preserve_index=False)
    except (pa.ArrowInvalid, pa.ArrowTypeError):
        return decide_rows(engine, [_request(record) for record in
                                    requests.to_dict("records")])
    return decide_table(engine, table)


def _request(record: dict[str, Any]) -> dict[str, Any]:
    request: dict[str, Any] = {}
    for name, value in record.items():
        part, _, field = name.partition(".")
        if _missing(value):
            continue
        if field:
            request.setdefault(part, {})[field] = value
        elif isinstance(value, dict):
            request.setdefault(part, {}).update(
                (key, item) for key, item in value.items() if not _missing(item))
        else:
            request[part] = value  # not a mapping: evaluate says what is wrong with it
    return request


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))
