"""The work of one partition, done where the partition is read: decide its
rows with each policy and keep only what the summary needs, plus the rows
to write when asked. Runs in a thread, a worker process or a cluster node."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from kavro._errors import UsageError
from kavro._replay.deciding import Decided, decide_rows, decide_table
from kavro._replay.engines import EngineTexts
from kavro._replay.logs import Part, PartRows, read_part
from kavro._replay.tally import Changes, Tally, changed_rows, changes_of, most_changed


@dataclass
class ChangedRow:
    """A request whose decision differs between the two policies."""

    row: int
    request_id: str | None
    request: Any
    old: dict[str, Any]
    new: dict[str, Any]


@dataclass
class PartResult:
    part: Part
    rows: int
    refusals: list[tuple[int, str]]  # (row number, message), in row order
    tallies: list[Tally]
    changes: Changes | None = None
    sample: list[ChangedRow] = field(default_factory=list)
    out: pa.Table | None = None


@dataclass(frozen=True)
class Job:
    """What every partition is asked: one policy (replay) or two (diff)."""

    engines: tuple[EngineTexts, ...]
    id_field: str | None = "id"
    keep_rows: bool = False
    sample: int = 0


def run_part(job: Job, part: Part) -> PartResult:
    rows = read_part(part, job.id_field)
    decided = [_decide(texts, rows, part) for texts in job.engines]
    refusals = {**decided[0].refusals, **(rows.unreadable or {})}
    result = PartResult(part, len(rows.row_numbers),
                        [(rows.row_numbers[index], refusals[index]) for index in sorted(refusals)],
                        [Tally.of(one.effect, one.matched_rule) for one in decided])
    if len(decided) == 1:
        if job.keep_rows:
            result.out = _rows_table(part, rows, {"effect": decided[0].effect,
                                                  "matched_rule": decided[0].matched_rule},
                                     pc.is_valid(decided[0].effect))
        return result
    old, new = ((one.effect, one.matched_rule) for one in decided)
    result.changes = changes_of(old, new)
    mask = changed_rows(old, new)
    if job.keep_rows:
        result.out = _rows_table(part, rows, {"old_effect": old[0], "old_matched_rule": old[1],
                                              "new_effect": new[0], "new_matched_rule": new[1]},
                                 mask)
    for index in most_changed(old[0], new[0], mask, job.sample):
        result.sample.append(ChangedRow(
            rows.row_numbers[index], rows.ids[index].as_py(), rows.request(index),
            {"effect": old[0][index].as_py(), "matched_rule": old[1][index].as_py()},
            {"effect": new[0][index].as_py(), "matched_rule": new[1][index].as_py()}))
    return result


def run_parts(job: Job, parts: tuple[Part, ...]) -> list[PartResult]:
    """Consecutive partitions as one task, one after the other: memory still
    follows one partition."""
    return [run_part(job, part) for part in parts]


def _decide(texts: EngineTexts, rows: PartRows, part: Part) -> Decided:
    engine = texts.engine()
    if rows.values is not None:
        return decide_rows(engine, rows.values)
    assert rows.table is not None
    try:
        return decide_table(engine, rows.table)
    except TypeError as error:
        # A column of a type no request field can hold: no row of it decides.
        raise UsageError(f"{part.path}: {error}") from None


def rows_schema(policies: int) -> pa.Schema:
    """The columns --out writes: the decisions of a replay, or both decisions
    of the rows a diff found changed."""
    decided = (["effect", "matched_rule"] if policies == 1 else
               ["old_effect", "old_matched_rule", "new_effect", "new_matched_rule"])
    return pa.schema([("file", pa.string()), ("row", pa.int64()), ("request_id", pa.string()),
                      *((name, pa.string()) for name in decided)])


def _rows_table(part: Part, rows: PartRows, columns: dict[str, pa.Array],
                keep: pa.Array) -> pa.Table:
    table = pa.table({"file": pa.array([part.path] * len(rows.row_numbers), pa.string()),
                      "row": pa.array(rows.row_numbers, pa.int64()),
                      "request_id": rows.ids, **columns})
    return table.filter(keep).cast(rows_schema(len(columns) // 2))
