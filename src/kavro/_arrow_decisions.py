"""A batch of requests with its decisions appended, in types every Arrow consumer takes.

`evaluate_arrow` lends `effect` dictionary-encoded; engines that read Arrow into their own
types (Spark's mapInArrow, some Ray and Dask paths) want plain text, so both columns leave
here as utf8.
"""

from __future__ import annotations

from typing import TypeVar

import pyarrow as pa

from kavro._kavro import PyKavro

Batch = TypeVar("Batch", pa.RecordBatch, pa.Table)
DECISION_FIELDS = (pa.field("effect", pa.string(), nullable=False),
                   pa.field("matched_rule", pa.string()))


def with_decisions(engine: PyKavro, batch: Batch) -> Batch:
    """`batch` with the columns effect and matched_rule (null: no rule decided) appended."""
    decided = pa.table(engine.evaluate_arrow(batch))
    effect = decided.column("effect").cast(pa.string()).combine_chunks()
    rule = decided.column("matched_rule").cast(pa.string()).combine_chunks()
    if isinstance(batch, pa.RecordBatch):
        return pa.RecordBatch.from_arrays(
            [*batch.columns, effect, rule],
            schema=pa.schema([*batch.schema, *DECISION_FIELDS], metadata=batch.schema.metadata))
    return batch.append_column(DECISION_FIELDS[0], effect).append_column(DECISION_FIELDS[1],
                                                                         rule)
