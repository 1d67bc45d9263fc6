"""Every error path, repeated: neither Python objects nor native memory may pile up."""

from __future__ import annotations

import gc
import itertools
import os
import sys
from typing import Any, Callable

import pickle

import pyarrow as pa
import pytest

from conftest import POLICY, SCHEMA
from kavro import PyKavro
from test_conversion import Mutator, add_key, numpy_named
from test_documents import GLOBAL, IN_MAINTENANCE, NO_DELETES, atomic, governance, policy, rule
from test_surface import Anonymous

ENGINE = PyKavro(SCHEMA, POLICY)
LONG_ID = "r" * 4096
LONG_ID_ENGINE = PyKavro(SCHEMA, policy(rule(LONG_ID, GLOBAL, IN_MAINTENANCE)))
# More text fields than the converter keeps references for without a heap array.
WIDE = 40
WIDE_ENGINE = PyKavro(
    "version: 1\nactions:\n  refund: { fields: {} }\nactor:\n  fields: { "
    + ", ".join(f"f{i}: string" for i in range(WIDE)) + " }\nsnapshot:\n  fields: {}\n",
    policy(*[rule(f"r{i}", GLOBAL, atomic("actor", f"f{i}", "equals", "{ literal: x }"))
             for i in range(WIDE)]))
# Rows for the columnar paths; the long rule id makes a leaked decision column show.
ROWS = [{"snapshot": {"maintenance": True}}, {"actor": {"role": "x" * 50}}] * 50
TABLE = pa.Table.from_pylist(ROWS)
LONG_TABLE = pa.Table.from_pylist(ROWS * 20)
# Made once: creating a class per call would itself disturb the block count.
FAILING_NUMPY_BOOL = numpy_named(__bool__=lambda self: 1)


def mutating_request() -> dict[str, Any]:
    actor: dict[str, Any] = {}
    actor["hook"] = Mutator(actor, add_key)
    actor["role"] = "x"
    return {"actor": actor}


CALLS: list[Any] = [
    pytest.param(lambda: PyKavro(), id="new-missing"),
    pytest.param(lambda: PyKavro(SCHEMA, POLICY, None, None), id="new-too-many"),
    pytest.param(lambda: PyKavro(SCHEMA, POLICY, schema_yaml=SCHEMA), id="new-multiple"),
    pytest.param(lambda: PyKavro(SCHEMA, POLICY, strict=True), id="new-unexpected"),
    pytest.param(lambda: PyKavro(b"", POLICY), id="new-bytes"),
    pytest.param(lambda: PyKavro(Anonymous(), POLICY), id="new-unnamed-type"),
    pytest.param(lambda: PyKavro(SCHEMA, "\ud800"), id="new-surrogate"),
    pytest.param(lambda: PyKavro("version: [", POLICY), id="new-syntax-error"),
    pytest.param(lambda: PyKavro(SCHEMA, "version: 1\n"), id="new-load-error"),
    pytest.param(lambda: PyKavro(SCHEMA, POLICY, "version: 1\n"), id="new-governance-load"),
    pytest.param(lambda: PyKavro(SCHEMA, policy(rule("r", "{ action: wire }", IN_MAINTENANCE))),
                 id="new-compile-error"),
    pytest.param(lambda: PyKavro(SCHEMA, POLICY, governance(NO_DELETES)),
                 id="new-governance-violation"),
    pytest.param(lambda: PyKavro(SCHEMA, POLICY), id="new"),
    pytest.param(lambda: ENGINE.evaluate(), id="evaluate-missing"),
    pytest.param(lambda: ENGINE.evaluate({}, {}), id="evaluate-too-many"),
    pytest.param(lambda: ENGINE.evaluate(request={}), id="evaluate-unexpected"),
    pytest.param(lambda: ENGINE.evaluate([]), id="evaluate-list"),
    pytest.param(lambda: ENGINE.evaluate({"actor": None}), id="map-none"),
    pytest.param(lambda: ENGINE.evaluate({"actor": {Anonymous(): 1}}), id="key-unnamed-type"),
    pytest.param(lambda: ENGINE.evaluate({"actor": {"\ud800": 1}}), id="key-surrogate"),
    pytest.param(lambda: ENGINE.evaluate({"actor": {"role": "\ud800"}}), id="value-surrogate"),
    pytest.param(lambda: ENGINE.evaluate({"actor": {"role": 2**1100}}), id="value-overflow"),
    pytest.param(lambda: ENGINE.evaluate({"actor": {"role": FAILING_NUMPY_BOOL}}),
                 id="value-numpy-bool-failing"),
    pytest.param(lambda: ENGINE.evaluate(mutating_request()), id="internal-failure"),
    pytest.param(lambda: ENGINE.evaluate({"action": {"type": "delete"},
                                          "actor": {"role": "x" * 100}}), id="evaluate"),
    pytest.param(lambda: ENGINE.policy_hash(), id="policy-hash"),
    pytest.param(lambda: ENGINE.policy_hash(1), id="policy-hash-argument"),
    pytest.param(lambda: PyKavro.compiler_version(), id="compiler-version"),
    pytest.param(lambda: ENGINE.evaluate_many(ROWS), id="evaluate-many"),
    pytest.param(lambda: ENGINE.evaluate_many(ROWS + [{"actor": []}]), id="evaluate-many-index"),
    pytest.param(lambda: ENGINE.evaluate_many(5), id="evaluate-many-not-iterable"),
    pytest.param(lambda: ENGINE.evaluate_arrow(TABLE).to_pylist(), id="evaluate-arrow"),
    pytest.param(lambda: pa.table(ENGINE.evaluate_arrow(TABLE)), id="decisions-stream"),
    pytest.param(lambda: pa.record_batch(ENGINE.evaluate_arrow(TABLE.to_reader(10))),
                 id="decisions-joined-array"),
    pytest.param(lambda: ENGINE.evaluate_arrow(TABLE).__arrow_c_stream__(), id="capsule-unread"),
    pytest.param(lambda: ENGINE.evaluate_arrow(pa.table({"actor.role": pa.array([b"x"])})),
                 id="evaluate-arrow-type-error"),
    pytest.param(lambda: ENGINE.evaluate_arrow(pa.table({"Actor.role": ["x"]})),
                 id="evaluate-arrow-unknown-column"),
    pytest.param(lambda: pickle.loads(pickle.dumps(ENGINE.evaluate_arrow(TABLE))),
                 id="decisions-pickle"),
    pytest.param(lambda: ENGINE.evaluate_arrow([]), id="evaluate-arrow-not-arrow"),
    pytest.param(lambda: pickle.loads(pickle.dumps(ENGINE)), id="pickle"),
    pytest.param(lambda: repr(ENGINE), id="repr"),
]


def run(call: Callable[[], Any], times: int) -> None:
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: B036 - the internal failure derives from BaseException
            pass


def growth(measure: Callable[[], int], call: Callable[[], Any], times: int) -> int:
    run(call, 200)
    gc.collect()
    before = measure()
    run(call, times)
    gc.collect()
    return measure() - before


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("call", CALLS)
def test_no_python_objects_left_behind(call: Callable[[], Any]) -> None:
    # One leaked object per call would add at least 4000 blocks; free lists and
    # caches of the interpreter account for a few hundred at most.
    assert growth(sys.getallocatedblocks, call, 4000) < 1000


SERIAL = itertools.count()
NAMES_PER_POLICY = 20


def engine_with_new_names(stem: str) -> PyKavro:
    """A policy whose field names and rule ids no earlier policy used."""
    serial = next(SERIAL)
    fields = [f"{stem}{serial}x{i}" for i in range(NAMES_PER_POLICY)]
    schema = ("version: 1\nactions:\n  refund: { fields: {} }\nactor:\n  fields: { "
              + ", ".join(f"{field}: string" for field in fields) + " }\nsnapshot:\n  fields: {}\n")
    return PyKavro(schema, policy(*[
        rule(f"{stem}{serial}r{i}", GLOBAL, atomic("actor", field, "equals", "{ literal: x }"))
        for i, field in enumerate(fields)]))


@pytest.mark.parametrize("stem", ["f", "long-field-name-" * 4, "größe-"])
def test_names_of_dropped_policies_are_released(stem: str) -> None:
    # The instance keeps str objects for its field names and rule ids; if any
    # outlived it, 1,000 policies would leave 20,000 or more blocks behind.
    assert growth(sys.getallocatedblocks, lambda: engine_with_new_names(stem), 1000) < 4000


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer's quarantine holds freed memory")
@pytest.mark.parametrize(
    "call, times",
    [
        pytest.param(lambda: PyKavro(SCHEMA, policy(*[rule(f"r{i}-{LONG_ID}", GLOBAL,
                                                           IN_MAINTENANCE)
                                                      for i in range(8)])), 500,
                     id="compiled-policy-freed"),
        pytest.param(lambda: LONG_ID_ENGINE.evaluate({"snapshot": {"maintenance": True}}), 20000,
                     id="evaluation-freed"),
        pytest.param(lambda: LONG_ID_ENGINE.policy_hash(), 5000, id="hash-text-freed"),
        pytest.param(lambda: pa.table(LONG_ID_ENGINE.evaluate_arrow(LONG_TABLE)), 500,
                     id="decisions-freed"),
    ],
)
def test_no_native_memory_left_behind(call: Callable[[], Any], times: int) -> None:
    # A leak of the policy, the matched rule id or the hash text would exceed
    # 16 MiB over these repetitions.
    assert growth(resident_bytes, call, times) < 8 * 2**20


class Unconvertible:
    pass


def reference_cases() -> list[Any]:
    """Calls over fixed objects: any reference kept by the module shows in their counts."""
    role = "".join(["clerk"] * 3)
    actor = {"role": role, "verified": False}
    request = {"action": {"type": "delete"}, "actor": actor}
    odd_key = Unconvertible()
    odd_value = Unconvertible()
    numpy_true = numpy_named(__bool__=lambda self: True)
    wide_texts = ["".join(["t", str(i)] * 20) for i in range(WIDE)]
    wide_actor = {f"f{i}": text for i, text in enumerate(wide_texts)}
    schema = SCHEMA + " "
    broken = POLICY + "  - oops\n"
    return [
        pytest.param(lambda: ENGINE.evaluate(request), [request, actor, role], id="evaluate"),
        pytest.param(lambda: ENGINE.evaluate(input=request), [request], id="evaluate-keyword"),
        pytest.param(lambda: WIDE_ENGINE.evaluate({"actor": wide_actor}),
                     [wide_actor, *wide_texts], id="evaluate-many-text-fields"),
        pytest.param(lambda: ENGINE.evaluate(odd_value), [odd_value, Unconvertible],
                     id="input-not-dict"),
        pytest.param(lambda: ENGINE.evaluate({"actor": {odd_key: 1}}), [odd_key, Unconvertible],
                     id="key-not-text"),
        pytest.param(lambda: ENGINE.evaluate({"actor": {"role": odd_value}}),
                     [odd_value, Unconvertible], id="value-unsupported"),
        pytest.param(lambda: ENGINE.evaluate({"actor": {"role": numpy_true}}),
                     [numpy_true, type(numpy_true)], id="value-numpy-bool"),
        pytest.param(lambda: ENGINE.evaluate({"actor": odd_value}), [odd_value, Unconvertible],
                     id="map-not-dict"),
        pytest.param(lambda: PyKavro(schema, POLICY), [schema], id="new"),
        pytest.param(lambda: PyKavro(schema, broken), [schema, broken], id="new-load-error"),
        pytest.param(lambda: PyKavro(schema, odd_value), [schema, odd_value, Unconvertible],
                     id="new-argument-type"),
        pytest.param(lambda: PyKavro(schema, POLICY, governance_yaml=broken), [schema, broken],
                     id="new-keyword"),
    ]


@pytest.mark.parametrize("call, watched", reference_cases())
def test_no_references_left_behind(call: Callable[[], Any], watched: list[Any]) -> None:
    run(call, 10)
    before = [sys.getrefcount(item) for item in watched]
    run(call, 1000)
    assert [sys.getrefcount(item) for item in watched] == before
