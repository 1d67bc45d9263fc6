"""Requests parsed from JSON, laid out as flat Arrow columns without losing
any of them.

JSON lets a field hold a number in one row and text in the next. An Arrow
column has one type, so each column takes the kind most of its rows hold;
a row whose value is of another kind, or one that is not a plain request
(a null, a list, a part that is not a mapping), is left to `evaluate`
itself, so that it decides, or is refused, exactly as `evaluate` would.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

PARTS = ("action", "actor", "snapshot")
_ARROW_TYPES = {bool: pa.bool_(), float: pa.float64(), str: pa.string()}


@dataclass
class RequestColumns:
    """Flat columns for the rows that fit them, and the rows that do not."""

    table: pa.Table
    odd_rows: list[int]


def _kind(value: Any) -> type | None:
    """The column kind of a field value, or None when only evaluate can say."""
    if isinstance(value, bool):
        return bool
    if isinstance(value, float):
        return float
    if isinstance(value, int):
        try:
            float(value)
        except OverflowError:
            return None
        return float
    if isinstance(value, str):
        return str
    return None


def request_columns(rows: Sequence[Any]) -> RequestColumns:
    odd: set[int] = set()
    columns: dict[str, dict[int, Any]] = {}
    kinds: dict[str, Counter[type]] = {}
    for index, row in enumerate(rows):
        if not isinstance(row, dict):
            odd.add(index)
            continue
        for part in PARTS:
            fields = row.get(part)
            if fields is None and part not in row:
                continue
            if not isinstance(fields, dict):
                odd.add(index)
                continue
            for key, value in fields.items():
                kind = _kind(value)
                if kind is None:
                    odd.add(index)
                    continue
                name = f"{part}.{key}"
                columns.setdefault(name, {})[index] = value
                kinds.setdefault(name, Counter())[kind] += 1
    arrays = {}
    for name, values in columns.items():
        kind = kinds[name].most_common(1)[0][0]
        cells: list[Any] = [None] * len(rows)
        for index, value in values.items():
            if _kind(value) is kind:
                cells[index] = float(value) if kind is float else value
            else:
                odd.add(index)
        try:
            arrays[name] = pa.array(cells, _ARROW_TYPES[kind])
        except (pa.ArrowException, UnicodeError):
            # Text Arrow cannot hold (lone surrogates): those rows go to evaluate.
            odd.update(values)
            arrays[name] = pa.nulls(len(rows), _ARROW_TYPES[kind])
    table = pa.table(arrays) if arrays else pa.table({"_": pa.nulls(len(rows))})
    return RequestColumns(table, sorted(odd))
