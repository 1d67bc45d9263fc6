"""kavro.dask over the threaded scheduler and a cluster of two worker
processes: every row decides as evaluate decides its request."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, Literal

import pytest

from conftest import POLICY, SCHEMA
from kavro import PyKavro
from replay_logs import NEW_POLICY, clean_requests

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")

# Flat columns as json_normalize lays logs out, with the messy cells kept as
# objects: amounts as numbers or text, roles as text or numbers, None absent.
MESSY = {
    "action.type": ["refund", "refund", None, "delete", 7, "refund"],
    "action.amount": [1500, "1500", 5000, None, 5000, 700.5],
    "actor.role": ["clerk", 5, None, "admin", "clerk", "clerk"],
    "actor.verified": [True, False, None, "no", False, True],
    "request": ["a", "b", "c", "d", "e", "f"],
}


def as_request(row: dict[str, Any]) -> dict[str, Any]:
    request: dict[str, Any] = {}
    for name, value in row.items():
        part, _, field = name.partition(".")
        if field and value is not None:
            request.setdefault(part, {})[field] = value
    return request


def frames() -> list[pd.DataFrame]:
    clean = pd.json_normalize(clean_requests(400))
    return [pd.DataFrame(MESSY, dtype=object), clean]


@pytest.fixture(params=["threads", "cluster"])
def scheduler(request: pytest.FixtureRequest) -> Iterator[None]:
    with dask.config.set({"dataframe.convert-string": False}):
        if request.param == "threads":
            with dask.config.set(scheduler="threads"):
                yield
        else:
            with distributed.Client(request.getfixturevalue("cluster"), timeout="20s"):
                yield


@pytest.mark.parametrize("backend", ["object", "pyarrow"])
@pytest.mark.parametrize("data", frames(), ids=["messy", "clean"])
def test_decide_matches_evaluate_row_by_row(scheduler: None, data: pd.DataFrame,
                                            backend: Literal["object", "pyarrow"]) -> None:
    import kavro.dask

    frame = dd.from_pandas(data, npartitions=3)
    decided = kavro.dask.decide(frame, SCHEMA, POLICY, dtype_backend=backend).compute()
    assert str(decided["effect"].dtype) == ("object" if backend == "object"
                                            else "string[pyarrow]")
    engine = PyKavro(SCHEMA, POLICY)
    for row in decided.to_dict("records"):
        request = as_request({key: row[key] for key in data.columns})
        rule = None if row["matched_rule"] is pd.NA else row["matched_rule"]
        assert engine.evaluate(request) == {"effect": row["effect"],
                                            "matched_rule": rule}, request


def test_diff_counts_every_change(scheduler: None) -> None:
    import kavro.dask

    data = pd.json_normalize(clean_requests(500, seed=11))
    old, new = PyKavro(SCHEMA, POLICY), PyKavro(SCHEMA, NEW_POLICY)
    result = kavro.dask.diff(dd.from_pandas(data, npartitions=4), old, (SCHEMA, NEW_POLICY))
    rows = result.rows.compute()
    matrix: dict[tuple[str, str], int] = {}
    gained: dict[str | None, int] = {}
    for record, row in zip(data.to_dict("records"), rows.to_dict("records")):
        request = as_request(record)
        before, after = old.evaluate(request), new.evaluate(request)
        assert (row["old_effect"], row["old_matched_rule"], row["new_effect"],
                row["new_matched_rule"], row["changed"]) == (
            before["effect"], before["matched_rule"], after["effect"], after["matched_rule"],
            before != after)
        matrix[before["effect"], after["effect"]] = matrix.get(
            (before["effect"], after["effect"]), 0) + 1
        if before["matched_rule"] != after["matched_rule"]:
            gained[after["matched_rule"]] = gained.get(after["matched_rule"], 0) + 1
    assert {(old_effect, new_effect): int(result.matrix.loc[old_effect, new_effect])
            for old_effect in result.matrix.index for new_effect in result.matrix.columns
            if result.matrix.loc[old_effect, new_effect]} == matrix
    assert dict(result.gained) == gained and result.changed == sum(gained.values())


def test_a_refused_row_raises_or_gets_nulls() -> None:
    import kavro.dask

    data = pd.DataFrame({"action.type": ["refund", "refund"],
                         "action.amount": [5000, [1, 2]]}, dtype=object)
    with dask.config.set({"dataframe.convert-string": False}):
        frame = dd.from_pandas(data, npartitions=1)
    with dask.config.set(scheduler="sync"), pytest.raises(ValueError, match="^row 1 is not a"):
        kavro.dask.decide(frame, SCHEMA, POLICY).compute()
    with dask.config.set(scheduler="sync"):
        decided = kavro.dask.decide(frame, SCHEMA, POLICY, on_refusal="null").compute()
    assert decided["effect"].tolist() == ["block", None]
