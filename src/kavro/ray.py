"""Policy decisions over Ray datasets, with the engine built once per actor.

    import kavro.ray
    decided = dataset.map_batches(kavro.ray.Decider, batch_format="pyarrow",
                                  fn_constructor_args=(schema_yaml, policy_yaml),
                                  concurrency=2)

Ray builds a callable class once in each actor and calls it for every batch, so the documents
are compiled once per actor, not per batch. Batches hold requests as `evaluate_arrow` takes
them (struct columns `action`, `actor`, `snapshot` or flat `action.<field>` columns); each comes
back with the columns `effect` and `matched_rule` appended. Use `batch_format="pyarrow"`
(pandas batches are converted to Arrow and back). Needs Ray and pyarrow.
"""

from __future__ import annotations

from typing import Any

import pyarrow as pa

from kavro._arrow_decisions import with_decisions
from kavro._kavro import PyKavro

__all__ = ["Decider"]


class Decider:
    """A Ray `map_batches` callable class: decides each batch with one engine."""

    def __init__(self, schema_yaml: str, policy_yaml: str,
                 governance_yaml: str | None = None) -> None:
        self.engine = PyKavro(schema_yaml, policy_yaml, governance_yaml)

    def __call__(self, batch: Any) -> Any:
        if isinstance(batch, (pa.Table, pa.RecordBatch)):
            return with_decisions(self.engine, batch)
        table = with_decisions(self.engine, pa.Table.from_pandas(batch, preserve_index=False))
        return table.to_pandas()
