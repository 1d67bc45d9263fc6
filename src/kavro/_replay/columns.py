"""Requests parsed from JSON, laid out as flat Arrow columns without losing
any of them.

JSON lets a field hold a number in one row and text in the next. An Arrow
column has one type, so each column takes the kind most of its rows hold;
a row whose value is of another kind, or one that is not a plain request
(a null, a list, a part that is not a mapping), is left to `evaluate`
itself, so that it decides, or is refused, exactly as `evaluate` would.
"""

from __future__ import annotations

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
    kind = type(value)
    if kind is str or kind is bool:
        return kind
    if kind is float or isinstance(value, float):
        return float
    if isinstance(value, bool):
        return bool
    if isinstance(value, int):
        try:
            float(value)
        except OverflowError:
            return None
        return float
    if isinstance(value, str):
        return str
    return None


class _Column:
    """One field's cells, by row index, and how many rows hold each kind."""

    __slots__ = ("cells", "kinds")

    def __init__(self) -> None:
        self.cells: dict[int, tuple[type, Any]] = {}
        self.kinds: dict[type, int] = {}

    def add(self, index: int, kind: type, value: Any) -> None:
        self.cells[index] = (kind, value)
        self.kinds[kind] = self.kinds.get(kind, 0) + 1


def request_columns(rows: Sequence[Any]) -> RequestColumns:
    odd: set[int] = set()
    columns: dict[tuple[str, str], _Column] = {}
    for index, row in enumerate(rows):
        if type(row) is not dict:
            odd.add(index)
            continue
        for part in PARTS:
            fields = row.get(part)
            if fields is None and part not in row:
                continue
            if type(fields) is not dict:
                odd.add(index)
                continue
            for key, value in fields.items():
                kind = _kind(value)
                if kind is None:
                    odd.add(index)
                    continue
                column = columns.get((part, key))
                if column is None:
                    column = columns[part, key] = _Column()
                column.add(index, kind, value)
    arrays = {}
    for (part, key), column in columns.items():
        kind = max(column.kinds, key=column.kinds.__getitem__)
        cells: list[Any] = [None] * len(rows)
        for index, (cell_kind, value) in column.cells.items():
            if cell_kind is kind:
                # Arrow takes integers as int64 only; evaluate reads every number as a double.
                cells[index] = float(value) if kind is float else value
            else:
                odd.add(index)
        try:
            arrays[f"{part}.{key}"] = pa.array(cells, _ARROW_TYPES[kind])
        except (pa.ArrowException, UnicodeError, OverflowError):
            # Text Arrow cannot hold (lone surrogates): those rows go to evaluate.
            odd.update(column.cells)
            arrays[f"{part}.{key}"] = pa.nulls(len(rows), _ARROW_TYPES[kind])
    table = pa.table(arrays) if arrays else pa.table({"_": pa.nulls(len(rows))})
    return RequestColumns(table, sorted(odd))
