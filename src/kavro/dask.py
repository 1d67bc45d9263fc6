"""Policy decisions over Dask data frames, partition by partition.

    import kavro.dask
    decided = kavro.dask.decide(frame, schema_yaml, policy_yaml)
    changes = kavro.dask.diff(frame, (schema_yaml, old_policy), (schema_yaml, new_policy))

A frame holds requests as `evaluate_arrow` takes them: struct columns
`action`, `actor` and `snapshot`, or flat columns `action.<field>`, ...
Each process compiles the documents once and keeps the engine for every
partition it decides; deciding releases the interpreter lock, so the
threaded scheduler scales with cores as a cluster of processes does.

Needs Dask, pandas and pyarrow: `pip install 'kavro[dask]'`. A column that
holds numbers in some rows and text in others stays exact only as an object
column: Dask's `dataframe.convert-string` option (on by default) turns such
columns into text when a frame is built, before kavro sees them.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Literal, Union

import dask.dataframe as dd
from dask.base import compute
import pandas as pd
import pyarrow as pa

from kavro import PyKavro
from kavro._kavro import EFFECTS
from kavro._replay.deciding import Decided
from kavro._replay.engines import EngineTexts
from kavro._replay.frames import decide_frame

__all__ = ["decide", "diff", "Diff"]

#: An engine, or the texts it is built from: (schema, policy) or (schema, policy, governance).
Documents = Union[PyKavro, Sequence[Union[str, None]]]


def decide(frame: dd.DataFrame, schema_yaml: str, policy_yaml: str,
           governance_yaml: str | None = None, *, on_refusal: Literal["raise", "null"] = "raise",
           dtype_backend: Literal["object", "pyarrow"] = "object") -> dd.DataFrame:
    """`frame` with the columns effect and matched_rule (None: the default
    decided). A row evaluate would refuse raises its error, or with
    on_refusal="null" gets nulls in both columns. With dtype_backend="pyarrow"
    both columns are Arrow-backed strings (`pd.ArrowDtype(pa.string())`, a
    missing rule is `pd.NA`): the decisions go from the engine to the frame
    without a Python object per row, which is faster."""
    texts = EngineTexts(schema_yaml, policy_yaml, governance_yaml)
    texts.engine()  # documents that do not build fail here, not on a worker
    dtype: Any = pd.ArrowDtype(pa.string()) if dtype_backend == "pyarrow" else object
    meta = frame._meta.assign(effect=pd.Series([], dtype=dtype),
                              matched_rule=pd.Series([], dtype=dtype))
    if dtype_backend == "pyarrow":
        return frame.map_partitions(_decide_partition_arrow, texts, on_refusal, meta=meta)
    return frame.map_partitions(_decide_partition, (texts,), ("",), on_refusal, meta=meta)


@dataclass
class Diff:
    """Both decisions per row, and the computed summary of what changed."""

    rows: dd.DataFrame  # columns old_effect, old_matched_rule, new_effect, new_matched_rule, changed
    matrix: pd.DataFrame  # rows: old effect, columns: new effect, cells: rows
    gained: pd.Series  # changed rows per rule that decides them now (None: the default)
    lost: pd.Series  # changed rows per rule that decided them before

    @property
    def changed(self) -> int:
        return int(self.gained.sum())


def diff(frame: dd.DataFrame, old_documents: Documents, new_documents: Documents, *,
         on_refusal: Literal["raise", "null"] = "raise") -> Diff:
    """Decides `frame` with both policies and computes the summary of the changes
    (one pass over the data); the rows stay lazy for the caller to filter or write."""
    engines = (_texts(old_documents), _texts(new_documents))
    for texts in engines:
        texts.engine()
    columns = {f"{side}_{name}": pd.Series([], dtype=object)
               for side in ("old", "new") for name in ("effect", "matched_rule")}
    meta = frame._meta.assign(**columns, changed=pd.Series([], dtype=bool))
    rows = frame.map_partitions(_decide_partition, engines, ("old_", "new_"), on_refusal,
                                meta=meta)
    decided = rows[rows["old_effect"].notnull()]
    changed = rows[rows["changed"]]
    moved = changed[changed["old_matched_rule"].fillna("\x00") !=
                    changed["new_matched_rule"].fillna("\x00")]
    pairs, gained, lost = compute(
        decided.groupby(["old_effect", "new_effect"]).size(),
        moved["new_matched_rule"].fillna("\x00").value_counts(),
        moved["old_matched_rule"].fillna("\x00").value_counts())
    matrix = pairs.unstack(fill_value=0).reindex(index=EFFECTS, columns=EFFECTS, fill_value=0)
    return Diff(rows, matrix, _default_named(gained), _default_named(lost))


def _texts(documents: Documents) -> EngineTexts:
    if isinstance(documents, PyKavro):
        return EngineTexts.of(documents)
    schema, policy, *rest = documents
    if not isinstance(schema, str) or not isinstance(policy, str):
        raise TypeError("documents are an engine or (schema_yaml, policy_yaml[, governance_yaml])")
    return EngineTexts(schema, policy, rest[0] if rest else None)


def _default_named(counts: pd.Series) -> pd.Series:
    counts.index = [None if name == "\x00" else name for name in counts.index]
    return counts.astype(int)


def _decide_partition_arrow(partition: pd.DataFrame, texts: EngineTexts,
                            on_refusal: Literal["raise", "null"]) -> pd.DataFrame:
    one = decide_frame(texts.engine(), partition)
    _raise_refusal(partition, one, on_refusal)
    return partition.assign(**{
        name: pd.Series(pd.arrays.ArrowExtensionArray(column.cast(pa.string())),
                        index=partition.index)
        for name, column in (("effect", one.effect), ("matched_rule", one.matched_rule))})


def _raise_refusal(partition: pd.DataFrame, decided: Decided,
                   on_refusal: Literal["raise", "null"]) -> None:
    if decided.refusals and on_refusal == "raise":
        index = min(decided.refusals)
        raise ValueError(f"row {partition.index[index]!r} is not a request: "
                         f"{decided.refusals[index]}")


def _decide_partition(partition: pd.DataFrame, engines: tuple[EngineTexts, ...],
                      prefixes: tuple[str, ...], on_refusal: Literal["raise", "null"]) -> pd.DataFrame:
    columns: dict[str, Any] = {}
    decided: list[Decided] = []
    for texts, prefix in zip(engines, prefixes):
        one = decide_frame(texts.engine(), partition)
        _raise_refusal(partition, one, on_refusal)
        decided.append(one)
        columns[f"{prefix}effect"] = one.effect.to_pylist()
        columns[f"{prefix}matched_rule"] = one.matched_rule.to_pylist()
    if len(decided) == 2:
        columns["changed"] = [
            old is not None and (old, old_rule) != (new, new_rule) for old, old_rule, new, new_rule
            in zip(*(columns[name] for name in ("old_effect", "old_matched_rule",
                                                "new_effect", "new_matched_rule")))]
    return partition.assign(**{name: pd.Series(values, index=partition.index, dtype=bool
                                               if name == "changed" else object)
                               for name, values in columns.items()})

