"""Many decisions at once: evaluate_many, evaluate_arrow over Arrow data, and
engines that pickle and copy. The differential test holds evaluate_arrow and
evaluate_many to evaluate, row by row, over random policies and tables."""

from __future__ import annotations

import copy
import math
import pickle
import random
import subprocess
import sys
from typing import Any

import pytest

import kavro
from conftest import POLICY, SCHEMA, raises_exactly
from kavro import PyKavro

pa = pytest.importorskip("pyarrow")

# Two actions and fields of every kind in every domain.
FIELDS = {
    "action": {"n": "number", "m": "number", "s": "string", "b": "boolean"},
    "actor": {"n": "number", "s": "string", "é": "string", "b": "boolean"},
    "snapshot": {"n": "number", "s": "string", "b": "boolean"},
}
ACTIONS = ("pay", "sell")
RANDOM_SCHEMA = "version: 1\nactions:\n" + "".join(
    f"  {name}: {{ fields: {{ n: number, m: number, s: string, b: boolean }} }}\n"
    for name in ACTIONS
) + ("actor: { fields: { n: number, s: string, 'é': string, b: boolean } }\n"
     "snapshot: { fields: { n: number, s: string, b: boolean } }\n")

NUMBERS = (-1, 0, 1, 2.5, 100, 2**53 + 1, -(2**63))
TEXTS = ("", "a", "ü€", "pay", "x" * 20)


def _atom(rng: random.Random, domains: list[str]) -> str:
    domain = rng.choice(domains)
    field, kind = rng.choice(list(FIELDS[domain].items()))
    ops = ["equals"] * 3 + ["not_equals"] + (["greater_than", "less_than"] if kind == "number" else [])
    if rng.random() < 0.2:
        others = [(d, f) for d in domains for f, k in FIELDS[d].items() if k == kind]
        other = rng.choice(others)
        value = f"{{ subject: [{other[0]}, '{other[1]}'] }}"
    else:
        literal = {"number": lambda: rng.choice(NUMBERS),
                   "string": lambda: "'" + rng.choice(TEXTS) + "'",
                   "boolean": lambda: rng.choice(["true", "false"])}[kind]()
        value = f"{{ literal: {literal} }}"
    return f"{{ subject: [{domain}, '{field}'], operator: {rng.choice(ops)}, value: {value} }}"


def random_policy(rng: random.Random, rules: int) -> str:
    out = ["version: 1", "rules:"]
    for index in range(rules):
        scope = rng.choice([f"{{ action: {a} }}" for a in ACTIONS] + ["{ global: true }"])
        # Global rules cannot read action fields.
        domains = ["actor", "snapshot"] + (["action"] if "action" in scope else [])
        shape = rng.random()
        if shape < 0.5:
            when = _atom(rng, domains)
        else:
            members = ", ".join(_atom(rng, domains) for _ in range(rng.randint(2, 3)))
            when = f"{{ {'all' if shape < 0.75 else 'any'}: [{members}] }}"
        effect = rng.choice(["allow", "block", "require_approval"])
        out.append(f"  - {{ id: r{index}, scope: {scope}, when: {when}, effect: {effect} }}")
    return "\n".join(out) + "\n"


def _values(rng: random.Random, kind: str, rows: int) -> list:
    """Mostly values of the field's own kind (near the literals), some nulls."""
    special = {"number": [math.nan, -0.0, 0.0, math.inf], "string": [], "boolean": []}[kind]
    pool = {"number": list(NUMBERS) + special, "string": list(TEXTS),
            "boolean": [True, False]}[kind]
    return [None if rng.random() < 0.2 else rng.choice(pool) for _ in range(rows)]


def _column(rng: random.Random, kind: str, rows: int) -> Any:
    """A column of one of the Arrow types that can carry `kind` (or, rarely, another kind)."""
    if rng.random() < 0.1:
        kind = rng.choice(["number", "string", "boolean"])
    values = _values(rng, kind, rows)
    if kind == "boolean":
        return pa.array(values, pa.bool_())
    if kind == "string":
        if rng.random() < 0.25:
            return pa.array(values, pa.string()).dictionary_encode()
        return pa.array(values, rng.choice([pa.string(), pa.large_string(), pa.string_view()]))
    floats = [pa.float16(), pa.float32(), pa.float64()]
    ints = [pa.int8(), pa.int16(), pa.int32(), pa.int64(), pa.uint8(), pa.uint16(), pa.uint32(),
            pa.uint64()]
    arrow_type = rng.choice(floats + ints)
    if pa.types.is_floating(arrow_type):
        return pa.array([None if v is None else float(v) for v in values], pa.float64()).cast(
            arrow_type)
    info = (arrow_type.bit_width, pa.types.is_signed_integer(arrow_type))
    low, high = (-(2 ** (info[0] - 1)), 2 ** (info[0] - 1) - 1) if info[1] else (0, 2 ** info[0] - 1)
    ints_only = [v if isinstance(v, int) and low <= v <= high else
                 rng.choice([low, high, None]) for v in values]
    return pa.array(ints_only, arrow_type)


def random_table(rng: random.Random, rows: int) -> Any:
    columns: dict[str, Any] = {}
    types = [None if rng.random() < 0.15 else rng.choice(ACTIONS + ("other",)) for _ in range(rows)]
    action = {"type": pa.array(types, pa.string())}
    action.update({f: _column(rng, k, rows) for f, k in FIELDS["action"].items()})
    for domain, fields in (("action", action),
                           ("actor", {f: _column(rng, k, rows) for f, k in FIELDS["actor"].items()}),
                           ("snapshot",
                            {f: _column(rng, k, rows) for f, k in FIELDS["snapshot"].items()})):
        if rng.random() < 0.5:
            mask = pa.array([rng.random() < 0.1 for _ in range(rows)])
            columns[domain] = pa.StructArray.from_arrays(
                list(fields.values()), names=list(fields), mask=mask)
        else:
            columns.update({f"{domain}.{name}": column for name, column in fields.items()})
    columns["ignored"] = pa.array([[1]] * rows)
    return pa.table(columns)


def row_dicts(table: Any) -> list[dict]:
    """Each row as the input dict evaluate takes: the row's non-null values."""
    rows: list[dict] = [{} for _ in range(table.num_rows)]
    for name, column in zip(table.column_names, table.columns):
        domain, _, field = name.partition(".")
        if domain not in FIELDS:
            continue
        for row, value in zip(rows, column.to_pylist()):
            if value is None:
                continue
            for key, item in value.items() if not field else [(field, value)]:
                if item is not None:
                    row.setdefault(domain, {})[key] = item
    return rows


# Each way evaluate_arrow can decide a batch: the one measured cheaper, every
# bucket by columns, every bucket row by row, each row alone.
WAYS = ("measured", "columns", "grouped-rows", "rows")


@pytest.fixture(params=WAYS)
def way(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    monkeypatch.setenv("KAVRO_COLUMNAR_WAY", request.param)
    return str(request.param)


@pytest.mark.parametrize("seed", range(12))
def test_arrow_and_many_decide_as_evaluate(seed: int, way: str) -> None:
    rng = random.Random(seed)
    engine = PyKavro(RANDOM_SCHEMA, random_policy(rng, rng.randint(1, 25)))
    table = random_table(rng, 300)
    # Slices and several batches give the arrays offsets and the stream chunks.
    table = pa.concat_tables([table.slice(0, 120), table.slice(120)]).slice(7)
    expected = [engine.evaluate(row) for row in row_dicts(table)]
    decisions = engine.evaluate_arrow(table)
    assert decisions.to_pylist() == expected
    assert pa.table(decisions).to_pylist() == expected
    assert pa.record_batch(decisions).to_pylist() == expected
    assert engine.evaluate_arrow(table.to_batches()[0]).to_pylist() == \
        expected[:table.to_batches()[0].num_rows]
    assert engine.evaluate_many(iter(row_dicts(table))) == expected


@pytest.mark.parametrize("seed", range(6))
def test_long_batches_decide_as_evaluate(seed: int, way: str) -> None:
    """Batches of several chunks of rows, many rules per bucket (a fifth of the
    comparisons between two fields), rows of no bucket, and an offset that
    puts chunk edges inside validity bytes."""
    rng = random.Random(100 + seed)
    engine = PyKavro(RANDOM_SCHEMA, random_policy(rng, rng.randint(40, 120)))
    table = random_table(rng, 2600).slice(rng.randint(0, 9))
    expected = [engine.evaluate(row) for row in row_dicts(table)]
    assert engine.evaluate_arrow(table).to_pylist() == expected


@pytest.mark.parametrize("size", [30, 300])
def test_mixed_workload_with_field_pairs(size: int, way: str) -> None:
    """The benchmarks' policies, whose exceptions compare two fields, over
    their own requests as a table holds them."""
    import mixed_workload

    workload = mixed_workload.make_workload(size, field_pairs=True)
    engine = PyKavro(workload.schema_yaml, workload.policy_yaml)
    requests = [
        {domain: {k: v for k, v in values.items() if not k.startswith("extra_")}
         for domain, values in request.data.items()}
        for request in workload.requests if isinstance(request.data["action"].get("type"), str)
    ] * 20
    table = pa.Table.from_pylist(requests)
    expected = [engine.evaluate(row) for row in row_dicts(table)]
    assert engine.evaluate_arrow(table).to_pylist() == expected


@pytest.mark.parametrize("seed", range(4))
def test_later_batches_keep_no_values_of_earlier_ones(seed: int, way: str) -> None:
    """A stream whose second batch nulls whole columns, and fields fed by two columns
    (of a part in flat columns: a part in both forms is refused)."""
    rng = random.Random(seed)
    engine = PyKavro(RANDOM_SCHEMA, random_policy(rng, 25))
    full = random_table(rng, 150)
    for domain, fields in FIELDS.items():
        field, kind = rng.choice(list(fields.items()))
        if domain not in full.column_names:
            full = full.append_column(f"{domain}.{field}", _column(rng, kind, 150))
    emptied = pa.table([pa.nulls(150, column.type) if rng.random() < 0.5 else column
                        for column in full.columns], schema=full.schema)
    table = pa.concat_tables([full, emptied, full.slice(0, 70)])
    expected = [engine.evaluate(row) for row in row_dicts(table)]
    assert engine.evaluate_arrow(table).to_pylist() == expected


# Per Arrow type: the field it feeds, the values rows hold, and the column of them.
DENSE_COLUMNS = [
    pytest.param("b", [True, False], lambda v: pa.array(v, pa.bool_()), id="bool"),
    pytest.param("n", [-1, 0, 7], lambda v: pa.array(v, pa.int8()), id="int8"),
    pytest.param("n", [-1.0, 2.5, 100.0], lambda v: pa.array(v).cast(pa.float16()), id="float16"),
    pytest.param("s", ["", "ü€", "x"], lambda v: pa.array(v, pa.string()), id="utf8"),
    pytest.param("s", ["a", "pay"], lambda v: pa.array(v, pa.large_string()), id="large_utf8"),
    pytest.param("s", ["a", "x" * 20], lambda v: pa.array(v, pa.string_view()), id="string_view"),
]


@pytest.mark.parametrize("offset", [0, 5])
@pytest.mark.parametrize("field, pool, build", DENSE_COLUMNS)
def test_full_blocks_rewrite_every_value(field: str, pool: list, build: Any, offset: int) -> None:
    """A column without nulls for several blocks of rows, then with some: each
    block overwrites the values the one before left, and each row's decision
    names its own value."""
    rng = random.Random(f"{field}-{pool}-{offset}")
    literals = [str(v).lower() if isinstance(v, bool) else f"'{v}'" if isinstance(v, str) else v
                for v in pool]
    rules = "".join(f"  - {{ id: v{i}, scope: {{ global: true }}, when: {{ subject: [actor, "
                    f"{field}], operator: equals, value: {{ literal: {literal} }} }}, "
                    f"effect: block }}\n" for i, literal in enumerate(literals))
    engine = PyKavro(RANDOM_SCHEMA, "version: 1\nrules:\n" + rules)
    values = [None if 250 <= row < 330 and rng.random() < 0.3 else rng.choice(pool)
              for row in range(400)]
    table = pa.table({f"actor.{field}": build(values)}).slice(offset)
    expected = [engine.evaluate(row) for row in row_dicts(table)]
    assert engine.evaluate_arrow(table).to_pylist() == expected
    assert len({result["matched_rule"] for result in expected}) == len(pool) + 1


def test_numbers_convert_as_float_does() -> None:
    """Integers beyond 2**53 round like float(); float16 and float32 widen exactly."""
    policy = ("version: 1\nrules:\n"
              "  - { id: big, scope: { global: true }, when: { subject: [snapshot, n], "
              "operator: equals, value: { literal: 9007199254740992 } }, effect: block }\n"
              "  - { id: third, scope: { global: true }, when: { subject: [snapshot, n], "
              "operator: equals, value: { literal: 0.333251953125 } }, effect: block }\n")
    engine = PyKavro(RANDOM_SCHEMA, policy)
    for arrow_type, value, rule in [(pa.int64(), 2**53 + 1, "big"), (pa.uint64(), 2**53 + 1, "big"),
                                    (pa.float16(), 1 / 3, "third"), (pa.float32(), 1 / 3, None)]:
        column = pa.array([value], pa.float64() if arrow_type.bit_width < 64 and
                          pa.types.is_floating(arrow_type) else arrow_type).cast(arrow_type)
        result = engine.evaluate_arrow(pa.table({"snapshot.n": column})).to_pylist()
        assert result == [{"effect": "block" if rule else "allow", "matched_rule": rule}], arrow_type


@pytest.mark.parametrize(
    "columns, message",
    [
        pytest.param({"action.amount": pa.array([1], pa.date32())},
                     "column 'action.amount' has unsupported type 'date32'", id="date"),
        pytest.param({"actor.role": pa.array([b"x"])},
                     "column 'actor.role' has unsupported type 'binary'", id="binary"),
        pytest.param({"snapshot": pa.array([{"maintenance": {"x": 1}}])},
                     "column 'snapshot.maintenance' has unsupported type 'struct'",
                     id="nested-struct"),
        pytest.param({"action": pa.array(["pay"])},
                     "column 'action' has unsupported type 'utf8'", id="domain-not-struct"),
        pytest.param({"action.amount": pa.array([1, 2]).dictionary_encode()},
                     "column 'action.amount' has unsupported type 'dictionary<int64>'",
                     id="dictionary-of-numbers"),
        pytest.param({"action.amount": pa.array([[1]])},
                     "column 'action.amount' has unsupported type 'list'", id="list"),
        pytest.param({"action.amount": pa.array([1], pa.timestamp("s"))},
                     "column 'action.amount' has unsupported type 'timestamp'", id="timestamp"),
    ],
)
def test_unsupported_column_types(columns: dict, message: str) -> None:
    engine = PyKavro(SCHEMA, POLICY)
    raises_exactly(TypeError, message, engine.evaluate_arrow, pa.table(columns))


def test_columns_outside_the_domains_are_ignored() -> None:
    engine = PyKavro(SCHEMA, POLICY)
    table = pa.table({"when": pa.array([1], pa.date32()), "action.type": ["refund"],
                      "action.amount": [2000]})
    assert engine.evaluate_arrow(table).to_pylist() == [
        {"effect": "block", "matched_rule": "deny-large-refunds"}]


@pytest.mark.parametrize(
    "data, message",
    [
        pytest.param([{}], "argument 'data': 'list' object cannot be converted to 'ArrowStream'",
                     id="list"),
        pytest.param(pa.array([1]), "Arrow data must be a table or a struct array, not 'int64'",
                     id="plain-array"),
    ],
)
def test_evaluate_arrow_rejects(data: Any, message: str) -> None:
    raises_exactly(TypeError, message, PyKavro(SCHEMA, POLICY).evaluate_arrow, data)


def test_data_frames_and_streams() -> None:
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    engine = PyKavro(SCHEMA, POLICY)
    frame = pd.DataFrame({"action.type": pd.Categorical(["refund", "delete", "refund"]),
                          "action.amount": [2000.0, None, 5.0],
                          "actor.role": ["admin", "clerk", None]})
    expected = [{"effect": "block", "matched_rule": "deny-large-refunds"},
                {"effect": "require_approval", "matched_rule": "approve-deletions"},
                {"effect": "allow", "matched_rule": None}]
    assert engine.evaluate_arrow(frame).to_pylist() == expected
    assert engine.evaluate_arrow(pl.from_pandas(frame)).to_pylist() == expected
    reader = pa.RecordBatchReader.from_batches(
        pa.Schema.from_pandas(frame, preserve_index=False),
        pa.Table.from_pandas(frame, preserve_index=False).to_batches(max_chunksize=1))
    decisions = engine.evaluate_arrow(reader)
    assert len(decisions) == 3
    assert pl.DataFrame(decisions)["matched_rule"].to_list() == [e["matched_rule"] for e in expected]


def test_decisions_without_rows_and_not_constructible() -> None:
    engine = PyKavro(SCHEMA, POLICY)
    empty = engine.evaluate_arrow(pa.table({"action.type": pa.array([], pa.string())}))
    assert len(empty) == 0 and empty.to_pylist() == []
    assert pa.table(empty).schema.names == ["effect", "matched_rule"]
    with pytest.raises(TypeError):
        kavro.Decisions()


class TestEvaluateMany:
    @pytest.mark.parametrize(
        "inputs, index, error, message",
        [
            pytest.param([{}, None], 1, TypeError,
                         "argument 'input': 'NoneType' object cannot be converted to 'PyDict'",
                         id="not-a-dict"),
            pytest.param([{}, {}, {"action": {"x": [1]}}], 2, TypeError,
                         "Unsupported value type", id="unsupported-value"),
            pytest.param([{"actor": []}], 0, TypeError,
                         "'list' object cannot be converted to 'PyDict'", id="map-not-a-dict"),
        ],
    )
    def test_first_failing_input_names_its_index(self, inputs: list, index: int,
                                                 error: type[BaseException], message: str) -> None:
        raised = raises_exactly(error, message, PyKavro(SCHEMA, POLICY).evaluate_many, inputs)
        assert getattr(raised, "index") == index

    def test_not_iterable(self) -> None:
        with pytest.raises(TypeError, match="^argument 'inputs': 'int' object is not iterable$"):
            PyKavro(SCHEMA, POLICY).evaluate_many(5)

    def test_results_are_independent_dicts(self) -> None:
        engine = PyKavro(SCHEMA, POLICY)
        request = {"action": {"type": "refund", "amount": 5000}}
        first, second = engine.evaluate_many([request, request])
        first["effect"] = "changed"
        assert second == engine.evaluate(request) and first is not second

    def test_hooks_that_drop_earlier_texts(self) -> None:
        """A later input's float hook clears an earlier input: its texts must stay alive."""
        # A text built at run time: the dict holds its only reference.
        first = {"action": {"type": "".join(["ref", "und"]), "amount": 5000}}

        class Clearing:
            def __float__(self) -> float:
                first["action"].clear()
                return 1.0

        result = PyKavro(SCHEMA, POLICY).evaluate_many(
            [first, {"action": {"amount": Clearing()}}])
        assert result[0] == {"effect": "block", "matched_rule": "deny-large-refunds"}


GOVERNANCE = "version: 1\ngovernance:\n  rules: []\n"


class TestTravel:
    @pytest.mark.parametrize("governance", [None, GOVERNANCE], ids=["plain", "governed"])
    def test_pickle_into_a_fresh_process(self, governance: str | None) -> None:
        engine = PyKavro(SCHEMA, POLICY, governance)
        script = ("import pickle, sys; e = pickle.loads(sys.stdin.buffer.read()); "
                  "print(e.policy_hash(), e.evaluate({'action': {'type': 'refund', "
                  "'amount': 5000}})['matched_rule'])")
        done = subprocess.run([sys.executable, "-c", script], input=pickle.dumps(engine),
                              capture_output=True, check=True)
        assert done.stdout.decode().split() == [engine.policy_hash(), "deny-large-refunds"]

    def test_load_fails_loudly_on_another_policy_hash(self) -> None:
        restore, args = PyKavro(SCHEMA, POLICY).__reduce__()
        with pytest.raises(ValueError, match="policy hash"):
            restore(*args[:3], "0" * 64)

    def test_copies_are_the_engine(self) -> None:
        engine = PyKavro(SCHEMA, POLICY)
        assert copy.copy(engine) is engine and copy.deepcopy(engine) is engine

    def test_repr_counts_rules_and_version(self) -> None:
        assert repr(PyKavro(SCHEMA, POLICY)) == (
            "<PyKavro action_rules=2 actions=2 actor_rules=0 actors=0 global_rules=1>")
        assert kavro.__version__ == PyKavro.compiler_version()
