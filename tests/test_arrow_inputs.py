"""Arrow input that a careless caller or a hostile producer hands over:
columns that would make every row allow, decimals and unread columns of other
types, producers whose release callbacks run Python, and Decisions made
without evaluate_arrow or carried through pickle."""

from __future__ import annotations

import ctypes
import pickle
from decimal import Decimal
from typing import Any

import pytest

import kavro
from conftest import POLICY, SCHEMA, raises_exactly, run_fresh
from kavro import PyKavro

pa = pytest.importorskip("pyarrow")

FORMS = ("request columns are struct columns 'action', 'actor', 'snapshot' or flat columns "
         "named 'action.<field>', 'actor.<field>', 'snapshot.<field>'")
IGNORE = " (ignore_unknown_columns=True ignores such columns)"
LARGE_REFUND = pa.array([{"type": "refund", "amount": 5000}])


@pytest.mark.parametrize(
    "columns, message",
    [
        pytest.param({"Action": LARGE_REFUND}, f"column 'Action' is not read: {FORMS}{IGNORE}",
                     id="domain-in-capitals"),
        pytest.param({"action.type": ["refund"], "action_amount": [5000]},
                     f"column 'action_amount' is not read: {FORMS}{IGNORE}", id="underscore"),
        pytest.param({"action.type": ["refund"], "Actor.role": ["clerk"]},
                     f"column 'Actor.role' is not read: {FORMS}{IGNORE}", id="capital-part"),
        pytest.param({"action.type": ["refund"], "action.Amount": [5000]},
                     "column 'action.Amount' is not read: the schema declares no action field "
                     f"'Amount'{IGNORE}", id="field-in-capitals"),
        pytest.param({"action": pa.array([{"type": "refund", "amout": 5000}])},
                     "column 'action.amout' is not read: the schema declares no action field "
                     f"'amout'{IGNORE}", id="misspelt-struct-field"),
        pytest.param({"amount": [5000], "type": ["refund"]},
                     f"the table has no request columns ({FORMS}); it has columns 'amount', "
                     "'type'", id="no-request-column"),
        pytest.param({f"c{i}": [1] for i in range(9)},
                     f"the table has no request columns ({FORMS}); it has columns 'c0', 'c1', "
                     "'c2', 'c3', 'c4', 'c5', 'c6', 'c7', ...", id="many-columns"),
        pytest.param({"action": LARGE_REFUND, "action.amount": [5000]},
                     "the table holds the action part twice, as 'action' and as 'action.amount': "
                     "use the struct column or flat columns, not both", id="struct-then-flat"),
        pytest.param({"action.amount": [5000], "action": LARGE_REFUND},
                     "the table holds the action part twice, as 'action.amount' and as 'action': "
                     "use the struct column or flat columns, not both", id="flat-then-struct"),
    ],
)
def test_columns_that_would_decide_allow_are_refused(columns: dict, message: str) -> None:
    raises_exactly(ValueError, message, PyKavro(SCHEMA, POLICY).evaluate_arrow, pa.table(columns))


def test_fields_of_a_struct_array_are_no_request() -> None:
    # A bare struct array is a table whose columns are its fields.
    raises_exactly(ValueError, f"the table has no request columns ({FORMS}); it has columns "
                   "'type', 'amount'", PyKavro(SCHEMA, POLICY).evaluate_arrow, LARGE_REFUND)


@pytest.mark.parametrize(
    "columns, expected",
    [
        pytest.param({"action.type": ["refund"], "action_amount": [5000]}, "allow",
                     id="lookalike-ignored"),
        pytest.param({"action.type": ["refund"], "action.Amount": [5000],
                      "action.amount": [5000]}, "block", id="undeclared-ignored"),
        pytest.param({"action.type": ["refund"], "action.amount": [5000],
                      "actor.verified": pa.array([1], pa.date32())}, "block",
                     id="declared-unread-of-any-type"),
    ],
)
def test_columns_ignored_when_asked_or_unread(columns: dict, expected: str) -> None:
    engine = PyKavro(SCHEMA, POLICY)
    decided = engine.evaluate_arrow(pa.table(columns), ignore_unknown_columns=True).to_pylist()
    assert [row["effect"] for row in decided] == [expected]
    if "actor.verified" in columns:
        # A declared field the policy does not read is not typed, flag or not.
        assert engine.evaluate_arrow(pa.table(columns)).to_pylist() == decided


def test_ignore_flag_must_be_a_bool() -> None:
    raises_exactly(TypeError, "argument 'ignore_unknown_columns': 'int' object cannot be "
                   "converted to 'PyBool'", PyKavro(SCHEMA, POLICY).evaluate_arrow,
                   pa.table({"action.type": ["refund"]}), ignore_unknown_columns=1)


DECIMAL_POLICY = """\
version: 1
rules:
  - id: tenth
    scope: { action: refund }
    when: { subject: [action, amount], operator: equals, value: { literal: 0.1 } }
    effect: require_approval
  - id: large
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: block
"""
AMOUNTS = ["0.1", "1000.00", "1000.01", "1500.5", "-5", "0", "99999999.99", None]


@pytest.mark.parametrize(
    "arrow_type",
    [pa.decimal128(10, 2), pa.decimal256(40, 2), pa.decimal64(12, 2), pa.decimal32(9, 1),
     pa.decimal128(38, 20)],
    ids=str,
)
def test_decimals_decide_as_evaluate_does(arrow_type: Any) -> None:
    engine = PyKavro(SCHEMA, DECIMAL_POLICY)
    values = [None if text is None else Decimal(text) for text in AMOUNTS]
    fit = [value if value is None or value == round(value, arrow_type.scale) and
           abs(value) < 10 ** (arrow_type.precision - arrow_type.scale) else None
           for value in values]
    table = pa.table({"action.type": ["refund"] * len(fit),
                      "action.amount": pa.array(fit, arrow_type)})
    expected = [engine.evaluate({"action": {"type": "refund", "amount": value}}
                                if value is not None else {"action": {"type": "refund"}})
                for value in fit]
    assert engine.evaluate_arrow(table).to_pylist() == expected
    assert {"tenth", "large"} <= {row["matched_rule"] for row in expected}


# A producer whose release callbacks are Python functions (through ctypes):
# an exception pending while they run would turn into SystemError.
class _Stream(ctypes.Structure):
    pass


_GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p)
_RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
_Stream._fields_ = [("get_schema", _GET_SCHEMA), ("get_next", _GET_NEXT),
                    ("get_last_error", _LAST_ERROR), ("release", _RELEASE),
                    ("private_data", ctypes.c_void_p)]


def _capsule_pointer(capsule: Any, name: bytes) -> int:
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return int(get(capsule, name))


def python_released_stream(table: Any, released: list[str]) -> Any:
    """An object lending `table` through a stream whose release runs Python."""
    inner_capsule = table.__arrow_c_stream__()
    inner = _Stream.from_address(_capsule_pointer(inner_capsule, b"arrow_array_stream"))
    inner_address = ctypes.addressof(inner)
    keep: list[Any] = [inner_capsule]

    def release(_: int) -> None:
        released.append("stream")
        inner.release(inner_address)
        outer.release = _RELEASE()

    outer = _Stream(_GET_SCHEMA(lambda _, out: inner.get_schema(inner_address, out)),
                    _GET_NEXT(lambda _, out: inner.get_next(inner_address, out)),
                    _LAST_ERROR(lambda _: inner.get_last_error(inner_address)),
                    _RELEASE(release), None)
    keep += [outer, release]
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

    class Lender:
        def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
            return new_capsule(ctypes.addressof(outer), b"arrow_array_stream", None)

    lender = Lender()
    lender.keep = keep  # type: ignore[attr-defined]
    return lender


@pytest.mark.parametrize(
    "columns, error, message",
    [
        pytest.param({"action.type": ["refund"], "action.amount": pa.array([1], pa.date32())},
                     TypeError, "column 'action.amount' has unsupported type 'date32'",
                     id="unsupported-type"),
        pytest.param({"Action": LARGE_REFUND}, ValueError,
                     f"column 'Action' is not read: {FORMS}{IGNORE}", id="unknown-column"),
    ],
)
def test_release_callbacks_run_before_the_error_is_raised(columns: dict, error: type,
                                                          message: str) -> None:
    released: list[str] = []
    lender = python_released_stream(pa.table(columns), released)
    raises_exactly(error, message, PyKavro(SCHEMA, POLICY).evaluate_arrow, lender)
    assert released == ["stream"]


def test_python_released_stream_decides() -> None:
    released: list[str] = []
    table = pa.table({"action.type": ["refund"], "action.amount": [5000]})
    decided = PyKavro(SCHEMA, POLICY).evaluate_arrow(python_released_stream(table, released))
    assert decided.to_pylist() == [{"effect": "block", "matched_rule": "deny-large-refunds"}]
    assert released == ["stream"]


def _decisions(batches: int) -> Any:
    engine = PyKavro(SCHEMA, POLICY)
    table = pa.table({"action.type": ["refund", "delete", "refund", "other"] * 3,
                      "action.amount": [5000, 1, 5, None] * 3,
                      "actor.role": ["clerk", "clerk", None, "admin"] * 3})
    return engine.evaluate_arrow(table.to_reader(max_chunksize=12 // batches))


@pytest.mark.parametrize("batches", [1, 3])
def test_decisions_pickle(batches: int) -> None:
    decisions = _decisions(batches)
    restored = pickle.loads(pickle.dumps(decisions))
    assert type(restored) is kavro.Decisions
    assert restored.to_pylist() == decisions.to_pylist()
    assert pa.table(restored).equals(pa.table(decisions).combine_chunks())
    empty = PyKavro(SCHEMA, POLICY).evaluate_arrow(pa.table({"action.type": pa.array([], pa.string())}))
    assert pickle.loads(pickle.dumps(empty)).to_pylist() == []


_ROWS = (b"\x01\x00", b"\x00\x00\x00\x00\xff\xff\xff\xff", ["r"])


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        pytest.param((2, *_ROWS), ValueError, "not pickled decisions: unknown version",
                     id="version"),
        pytest.param((1, "ab", _ROWS[1], _ROWS[2]), ValueError,
                     "not pickled decisions: parts of the wrong types", id="effects-not-bytes"),
        pytest.param((1, b"\x01", _ROWS[1], _ROWS[2]), ValueError,
                     "not pickled decisions: rows differ in length", id="lengths"),
        pytest.param((1, b"\x07\x00", _ROWS[1], _ROWS[2]), ValueError,
                     "not pickled decisions: unknown effect", id="effect"),
        pytest.param((1, b"\x01\x00", b"\x05\x00\x00\x00\xff\xff\xff\xff", _ROWS[2]), ValueError,
                     "not pickled decisions: rule out of range", id="rule-index"),
        pytest.param((1, b"\x01\x01", _ROWS[1], _ROWS[2]), ValueError,
                     "not pickled decisions: a decision without a rule that is not allow",
                     id="block-without-rule"),
        pytest.param((1, *_ROWS[:2], [3]), ValueError,
                     "not pickled decisions: a rule id that is not a str", id="rule-not-str"),
        pytest.param((1, *_ROWS[:2]), TypeError, "_restore_decisions expected 4 arguments, got 3",
                     id="too-few"),
    ],
)
def test_tampered_decisions_fail_loudly(arguments: tuple, error: type, message: str) -> None:
    raises_exactly(error, message, kavro._kavro._restore_decisions, *arguments)


def test_untampered_parts_restore() -> None:
    # The rows the tampered cases start from: block by rule r, then allow.
    restored = kavro._kavro._restore_decisions(1, *_ROWS)
    assert restored.to_pylist() == [{"effect": "block", "matched_rule": "r"},
                                    {"effect": "allow", "matched_rule": None}]


@pytest.mark.parametrize(
    "call, expected",
    [
        pytest.param("len(bare)", "TypeError: Decisions object is not initialised", id="len"),
        pytest.param("repr(bare)", "TypeError: Decisions object is not initialised", id="repr"),
        pytest.param("bare.to_pylist()", "TypeError: Decisions object is not initialised",
                     id="to_pylist"),
        pytest.param("pa.table(bare)", "TypeError: Decisions object is not initialised",
                     id="pa.table"),
        pytest.param("bare.__arrow_c_array__()", "TypeError: Decisions object is not initialised",
                     id="arrow_c_array"),
        pytest.param("pickle.dumps(bare)", "TypeError: Decisions object is not initialised",
                     id="pickle"),
        pytest.param("del bare; gc.collect(); print(len(decided))", "1", id="dropped"),
    ],
)
def test_decisions_that_skipped_construction(call: str, expected: str) -> None:
    # The class stays patchable; a real Decisions is made and dropped first,
    # so stale memory is not all zeros.
    script = f"""
        import gc, pickle
        import pyarrow as pa
        from conftest import POLICY, SCHEMA
        from kavro import Decisions, PyKavro
        engine = PyKavro(SCHEMA, POLICY)
        engine.evaluate_arrow(pa.table({{"action.type": ["refund"]}}))
        decided = engine.evaluate_arrow(pa.table({{"action.type": ["refund"]}}))
        Decisions.__new__ = staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))
        bare = Decisions()
        try:
            {call}
        except TypeError as error:
            print("TypeError:", error)
    """
    done = run_fresh(script)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == expected
