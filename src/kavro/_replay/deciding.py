"""Deciding one partition of a log: columnar through evaluate_arrow, and
request by request through evaluate for the rows the columns cannot hold."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

from kavro import PyKavro
from kavro._command.refusals import describe_refusal
from kavro._replay.columns import request_columns


@dataclass
class Decided:
    """One decision per row; a refused row has nulls in both columns and its
    message in `refusals`, keyed by its index in the partition."""

    effect: pa.Array
    matched_rule: pa.Array
    refusals: dict[int, str]


def decide_table(engine: PyKavro, table: pa.Table) -> Decided:
    """Rows already in Arrow form (Parquet, data frames): nulls are absent fields."""
    decisions = pa.table(engine.evaluate_arrow(table))
    # Effects stay dictionary-encoded: three values, counted and compared by index.
    effect = decisions.column("effect").combine_chunks()
    return Decided(effect, decisions.column("matched_rule").combine_chunks(), {})


def decide_rows(engine: PyKavro, rows: Sequence[Any]) -> Decided:
    """Rows parsed from JSON, each deciding exactly as evaluate decides it."""
    columns = request_columns(rows)
    decided = decide_table(engine, columns.table)
    if not columns.odd_rows:
        return decided
    effects: list[str | None] = decided.effect.to_pylist()
    rules: list[str | None] = decided.matched_rule.to_pylist()
    refusals: dict[int, str] = {}
    for index in columns.odd_rows:
        try:
            decision = engine.evaluate(rows[index])
        except (TypeError, ValueError) as error:
            effects[index] = rules[index] = None
            refusals[index] = describe_refusal(rows[index], error)
        else:
            effects[index], rules[index] = decision["effect"], decision["matched_rule"]
    return Decided(pa.array(effects, pa.string()), pa.array(rules, pa.string()), refusals)
