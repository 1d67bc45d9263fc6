"""Decisions on Spark and Ray decide every row as `evaluate`, in types those engines take."""

from __future__ import annotations

import importlib.util
import shutil
import sys
from collections.abc import Iterator
from typing import Any

import pyarrow as pa
import pytest

from conftest import POLICY, SCHEMA
from kavro import PyKavro
from kavro._replay.engines import EngineTexts
from kavro.spark import batch_decider

REQUESTS: list[dict[str, Any]] = [
    {"action": {"type": "refund", "amount": 1500.0}, "actor": {"role": "clerk"}},
    {"action": {"type": "refund", "amount": 10.0}, "actor": {"role": "clerk"}},
    {"action": {"type": "delete"}, "actor": {"role": "admin"}},
    {"action": {"type": "delete"}, "actor": {"role": "clerk"},
     "snapshot": {"maintenance": True}},
]


def expected() -> list[tuple[str, str | None]]:
    engine = PyKavro(SCHEMA, POLICY)
    return [(one["effect"], one["matched_rule"])
            for one in (engine.evaluate(request) for request in REQUESTS)]  # type: ignore[arg-type]


def flat_table() -> pa.Table:
    columns: dict[str, list[Any]] = {"id": list(range(len(REQUESTS)))}
    for name in ("action.type", "action.amount", "actor.role", "snapshot.maintenance"):
        part, field = name.split(".")
        columns[name] = [request.get(part, {}).get(field) for request in REQUESTS]
    return pa.table(columns)


@pytest.mark.parametrize("shape", ["flat", "struct"])
def test_batch_decider_appends_plain_text_columns(shape: str) -> None:
    table = flat_table() if shape == "flat" else pa.Table.from_pylist(REQUESTS)
    run = batch_decider(lambda: EngineTexts(SCHEMA, POLICY))
    batches = list(run(iter(table.to_batches(max_chunksize=3))))
    decided = pa.Table.from_batches(batches)
    assert decided.schema.field("effect").type == pa.string()  # not dictionary-encoded
    assert decided.schema.field("matched_rule").type == pa.string()
    assert decided.column_names[:-2] == table.column_names
    assert list(zip(decided.column("effect").to_pylist(),
                    decided.column("matched_rule").to_pylist())) == expected()


@pytest.fixture(scope="module")
def ray_runtime() -> Iterator[Any]:
    ray = pytest.importorskip("ray")
    ray.init(num_cpus=1, include_dashboard=False, log_to_driver=False,
             configure_logging=False)
    yield ray
    ray.shutdown()


def test_ray_decides_with_one_engine_per_actor(ray_runtime: Any) -> None:
    import ray.data

    from kavro.ray import Decider

    dataset = ray.data.from_arrow(flat_table())
    decided = dataset.map_batches(Decider, batch_format="pyarrow", concurrency=1,
                                  fn_constructor_args=(SCHEMA, POLICY)).take_all()
    rows = sorted(decided, key=lambda row: row["id"])
    assert [(row["effect"], row["matched_rule"]) for row in rows] == expected()


@pytest.mark.skipif(importlib.util.find_spec("pyspark") is None or shutil.which("java") is None,
                    reason="needs pyspark and a Java runtime")
def test_spark_map_in_arrow_decides_every_row(monkeypatch: pytest.MonkeyPatch) -> None:
    from pyspark.sql import SparkSession

    import kavro.spark

    # Spark's Python workers are this interpreter, which has kavro.
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    spark = (SparkSession.builder.master("local[1]").appName("kavro-test")
             .config("spark.ui.enabled", "false").getOrCreate())
    try:
        # Spark reads a dot in a column name as a path into a struct: requests travel in
        # struct columns there.
        frame = spark.createDataFrame(
            [(number, request["action"], request.get("actor"), request.get("snapshot"))
             for number, request in enumerate(REQUESTS)],
            "id long, action struct<type: string, amount: double>, actor struct<role: string>, "
            "snapshot struct<maintenance: boolean>")
        rows = kavro.spark.decide(frame, SCHEMA, POLICY).orderBy("id").collect()
        assert [(row["effect"], row["matched_rule"]) for row in rows] == expected()
    finally:
        spark.stop()
