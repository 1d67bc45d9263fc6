"""Policy decisions over Spark data frames, through `mapInArrow`.

    import kavro.spark
    decided = kavro.spark.decide(frame, schema_yaml, policy_yaml)

The frame holds requests as `evaluate_arrow` takes them: struct columns `action`, `actor` and
`snapshot`, or flat columns named `action.<field>`, ... The documents are broadcast once; each
Python worker builds the engine once and decides every batch it is given. The result is the
frame with the columns `effect` (string, never null) and `matched_rule` (string, null when no
rule decided). Needs pyspark (with a Java runtime) and pyarrow.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import pyarrow as pa

from kavro._arrow_decisions import with_decisions
from kavro._replay.engines import EngineTexts

__all__ = ["decide", "batch_decider"]


def decide(frame: Any, schema_yaml: str, policy_yaml: str,
           governance_yaml: str | None = None) -> Any:
    """`frame` (a pyspark DataFrame) with its decisions appended."""
    from pyspark.sql.types import StringType, StructField, StructType

    texts = EngineTexts(schema_yaml, policy_yaml, governance_yaml)
    texts.engine()  # documents that do not build fail here, not on an executor
    shared = frame.sparkSession.sparkContext.broadcast(texts)
    schema = StructType([*frame.schema.fields, StructField("effect", StringType(), False),
                         StructField("matched_rule", StringType(), True)])
    return frame.mapInArrow(batch_decider(lambda: shared.value), schema)


def batch_decider(texts: Callable[[], EngineTexts]
                  ) -> Callable[[Iterator[pa.RecordBatch]], Iterator[pa.RecordBatch]]:
    """The function mapInArrow runs: each batch with its decisions appended. `texts` is
    called on the worker (a broadcast's value), once per task."""

    def run(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        engine = texts().engine()
        for batch in batches:
            yield with_decisions(engine, batch)

    return run
