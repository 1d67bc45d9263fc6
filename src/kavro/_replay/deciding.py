"""Deciding one partition of a log: rows in Arrow form through
evaluate_arrow, rows parsed from JSON through evaluate_many, which takes
each value as evaluate does, whatever its kind."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

from kavro import PyKavro
from kavro._refusals import describe_refusal

# Rows per evaluate_many call: a refusal re-decides at most this many.
_CHUNK = 4096
_REFUSED: Any = {"effect": None, "matched_rule": None}


@dataclass
class Decided:
    """One decision per row; a refused row has nulls in both columns and its
    message in `refusals`, keyed by its index in the partition."""

    effect: pa.Array
    matched_rule: pa.Array
    refusals: dict[int, str]


def decide_table(engine: PyKavro, table: pa.Table) -> Decided:
    """Rows already in Arrow form (Parquet, data frames): nulls are absent fields.
    Fields the schema does not declare are ignored, as evaluate ignores them:
    a log may come from an earlier schema."""
    decisions = pa.table(engine.evaluate_arrow(table, ignore_unknown_columns=True))
    # Effects stay dictionary-encoded: three values, counted and compared by index.
    effect = decisions.column("effect").combine_chunks()
    return Decided(effect, decisions.column("matched_rule").combine_chunks(), {})


def decide_rows(engine: PyKavro, rows: Sequence[Any]) -> Decided:
    """Rows parsed from JSON, each deciding exactly as evaluate decides it:
    through evaluate_many, a chunk at a time, going on after each refusal."""
    effects: list[str | None] = []
    rules: list[str | None] = []
    refusals: dict[int, str] = {}
    start = 0
    while start < len(rows):
        chunk = rows[start:start + _CHUNK]
        try:
            decisions = engine.evaluate_many(chunk)
        except (TypeError, ValueError) as error:
            # Every row before the refused one decided; evaluate names its error.
            refused = start + getattr(error, "index", 0)
            decisions = engine.evaluate_many(rows[start:refused])
            try:
                decisions.append(engine.evaluate(rows[refused]))
            except (TypeError, ValueError) as own:
                refusals[refused] = describe_refusal(own)
                decisions.append(_REFUSED)
            chunk = rows[start:refused + 1]
        effects += [decision["effect"] for decision in decisions]
        rules += [decision["matched_rule"] for decision in decisions]
        start += len(chunk)
    return Decided(pa.array(effects, pa.string()), pa.array(rules, pa.string()), refusals)
