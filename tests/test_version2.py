"""Version 2 of the policy language: default, presence tests, the new
comparisons, list literals, nesting and rule documentation. A differential
test holds evaluate, evaluate_many, evaluate_arrow and explain to a plain
evaluator written here."""

from __future__ import annotations

import math
import pickle
import random
from typing import Any

import pytest

from kavro import PolicyError, PyKavro, check

SCHEMA = """\
version: 1
actions:
  pay: { fields: { amount: number, currency: string, path: string, urgent: boolean, fee: number } }
  mail: { fields: { to: string } }
actor: { fields: { id: string, level: number } }
snapshot: { fields: { budget_left: number, mode: string, open: boolean } }
"""

FIELDS = {
    "action": {"amount": "number", "currency": "string", "path": "string", "urgent": "boolean",
               "fee": "number"},
    "actor": {"id": "string", "level": "number"},
    "snapshot": {"budget_left": "number", "mode": "string", "open": "boolean"},
}


def v2(*rules: str, default: str | None = None) -> str:
    head = "version: 2\n" + (f"default: {default}\n" if default else "")
    return head + "rules:\n" + "".join(rules)


def rule(rule_id: str, when: str, effect: str = "block", scope: str = "{ action: pay }",
         extra: str = "") -> str:
    return (f"  - id: {rule_id}\n    scope: {scope}\n    when: {when}\n    effect: {effect}\n"
            + extra)


def cmp(domain: str, field: str, op: str, value: str | None = None) -> str:
    tail = "" if value is None else f", value: {value}"
    return f"{{ subject: {{ domain: {domain}, field: {field} }}, operator: {op}{tail} }}"


def pay(**fields: Any) -> dict[str, Any]:
    return {"type": "pay", **fields}


# The agent guard: a payment with no actor and no snapshot must not pass.
AGENT_GUARD = v2(
    rule("who-pays", cmp("actor", "id", "absent")),
    rule("no-budget", cmp("snapshot", "budget_left", "absent")),
    rule("over-budget", "{ all: [" + cmp("action", "amount", "greater_than", "{ literal: 0 }") + ", "
         + cmp("snapshot", "budget_left", "less_than", "{ literal: 0 }") + "] }"),
    rule("known-currency", cmp("action", "currency", "in", "{ literal: [EUR, USD] }"), "allow"),
    default="block")


@pytest.mark.parametrize("request_, effect, matched", [
    pytest.param({"action": pay(amount=400, currency="EUR")}, "block", "who-pays",
                 id="no-actor-no-snapshot"),
    pytest.param({"action": pay(amount=400, currency="EUR"), "actor": {"id": "a"}}, "block",
                 "no-budget", id="no-snapshot"),
    pytest.param({"action": pay(amount=400, currency="EUR"), "actor": {"id": 7},
                  "snapshot": {"budget_left": 5}}, "block", "who-pays",
                 id="actor-id-of-another-kind-is-absent"),
    pytest.param({"action": pay(amount=400, currency="EUR"), "actor": {"id": "a"},
                  "snapshot": {"budget_left": 5}}, "allow", "known-currency", id="allowed"),
    pytest.param({"action": pay(amount=400, currency="GBP"), "actor": {"id": "a"},
                  "snapshot": {"budget_left": 5}}, "block", None, id="default-decides"),
    pytest.param({"action": {"type": "mail", "to": "x"}}, "block", None, id="other-action"),
])
def test_agent_guard_fails_closed(request_: dict, effect: str, matched: str | None) -> None:
    engine = PyKavro(SCHEMA, AGENT_GUARD)
    assert engine.evaluate(request_) == {"effect": effect, "matched_rule": matched}
    explained = engine.explain(request_)
    assert (explained["effect"], explained["matched_rule"]) == (effect, matched)
    assert explained["default_decided"] is (matched is None)


AMOUNT = ("action", "amount")
CURRENCY = ("action", "currency")


@pytest.mark.parametrize("field, op, value, fields, holds", [
    (AMOUNT, "greater_or_equal", "{ literal: 500 }", {"amount": 500}, True),
    (AMOUNT, "greater_or_equal", "{ literal: 500 }", {"amount": 499.99}, False),
    (AMOUNT, "less_or_equal", "{ literal: 0 }", {"amount": -0.0}, True),
    (AMOUNT, "greater_or_equal", "{ literal: -0.0 }", {"amount": 0}, True),
    (AMOUNT, "greater_or_equal", "{ literal: 1 }", {"amount": math.nan}, False),
    (AMOUNT, "less_or_equal", "{ literal: 1 }", {"amount": math.nan}, False),
    (AMOUNT, "less_or_equal", "{ literal: .nan }", {"amount": 1}, False),
    (AMOUNT, "greater_or_equal", "{ literal: 1 }", {"amount": "2"}, False),
    (AMOUNT, "present", None, {"amount": math.nan}, True),
    (AMOUNT, "present", None, {"amount": "5"}, False),
    (AMOUNT, "present", None, {"amount": True}, False),
    (AMOUNT, "absent", None, {"amount": True}, True),
    (AMOUNT, "absent", None, {}, True),
    (AMOUNT, "absent", None, {"amount": 0}, False),
    (AMOUNT, "in", "{ literal: [0, 1, 2] }", {"amount": -0.0}, True),
    (AMOUNT, "in", "{ literal: [0, 1, 2] }", {"amount": math.nan}, False),
    (AMOUNT, "not_in", "{ literal: [0, 1, 2] }", {"amount": math.nan}, True),
    (AMOUNT, "not_in", "{ literal: [0, 1, 2] }", {}, False),
    (AMOUNT, "not_in", "{ literal: [0, 1, 2] }", {"amount": "7"}, False),
    (CURRENCY, "in", "{ literal: [EUR, USD] }", {"currency": "EUR"}, True),
    (CURRENCY, "in", "{ literal: [EUR, USD] }", {"currency": "eur"}, False),
    (CURRENCY, "not_in", "{ literal: [EUR, USD] }", {"currency": "GBP"}, True),
    (CURRENCY, "in", "{ literal: ['1', '2'] }", {"currency": 1}, False),
    (("action", "urgent"), "in", "{ literal: [true] }", {"urgent": True}, True),
    (("action", "urgent"), "not_in", "{ literal: [true] }", {"urgent": False}, True),
    (("action", "path"), "starts_with", "{ literal: /tmp/ }", {"path": "/tmp/x"}, True),
    (("action", "path"), "starts_with", "{ literal: /tmp/ }", {"path": "/tmp"}, False),
    (("action", "path"), "starts_with", "{ literal: '' }", {"path": ""}, True),
    (("action", "path"), "ends_with", "{ literal: .pdf }", {"path": "a.pdf"}, True),
    (("action", "path"), "ends_with", "{ literal: .pdf }", {"path": "a.PDF"}, False),
    (("action", "path"), "starts_with", "{ literal: é }", {"path": "e\u0301"}, False),
    (("action", "path"), "starts_with", "{ literal: é }", {"path": "é!"}, True),
    (AMOUNT, "greater_or_equal", "{ subject: { domain: action, field: fee } }",
     {"amount": 3, "fee": 3}, True),
    (AMOUNT, "less_or_equal", "{ subject: { domain: action, field: fee } }",
     {"amount": 3}, False),
])
def test_comparisons(field: tuple[str, str], op: str, value: str | None, fields: dict,
                     holds: bool) -> None:
    engine = PyKavro(SCHEMA, v2(rule("r", cmp(*field, op, value))))
    request = {"action": pay(**fields)}
    expected = {"effect": "block" if holds else "allow", "matched_rule": "r" if holds else None}
    assert engine.evaluate(request) == expected
    assert engine.explain(request)["rules"][0]["comparisons"][0]["held"] is holds


@pytest.mark.parametrize("when, request_fields, holds", [
    pytest.param("{ not: " + cmp(*AMOUNT, "present") + " }", {}, True, id="not"),
    pytest.param("{ not: { not: " + cmp(*AMOUNT, "present") + " } }", {}, False, id="not-not"),
    pytest.param("{ all: [" + cmp(*AMOUNT, "present") + ", { any: [" +
                 cmp(*CURRENCY, "equals", "{ literal: EUR }") + ", " +
                 cmp(*CURRENCY, "absent") + "] }] }", {"amount": 1}, True, id="any-in-all"),
    pytest.param("{ any: [" + cmp(*AMOUNT, "absent") + ", { all: [" +
                 cmp(*AMOUNT, "greater_than", "{ literal: 5 }") + ", " +
                 cmp(*CURRENCY, "equals", "{ literal: EUR }") + "] }] }",
                 {"amount": 6, "currency": "USD"}, False, id="all-in-any"),
])
def test_nesting(when: str, request_fields: dict, holds: bool) -> None:
    engine = PyKavro(SCHEMA, v2(rule("r", when)))
    assert engine.evaluate({"action": pay(**request_fields)})["matched_rule"] == \
        ("r" if holds else None)


def nested(levels: int) -> str:
    when = cmp(*AMOUNT, "present")
    for _ in range(levels):
        when = "{ not: " + when + " }"
    return when


def test_eight_levels_nest_and_a_ninth_is_refused() -> None:
    engine = PyKavro(SCHEMA, v2(rule("r", nested(8))))
    assert engine.evaluate({"action": pay(amount=1)})["matched_rule"] == "r"
    with pytest.raises(PolicyError) as info:
        PyKavro(SCHEMA, v2(rule("r", nested(9))))
    assert "conditions nest at most 8 levels of all, any and not" in str(info.value)
    assert info.value.path.startswith("rules[0].when" + ".not" * 8)  # type: ignore[attr-defined]


@pytest.mark.parametrize("when, message, path", [
    (cmp(*AMOUNT, "'>='", "{ literal: 5 }"), "unknown operator '>=': use greater_or_equal",
     "rules[0].when.operator"),
    (cmp(*AMOUNT, "greater_or_equa", "{ literal: 5 }"),
     "unknown operator 'greater_or_equa': use greater_or_equal", "rules[0].when.operator"),
    (cmp(*CURRENCY, "in", "{ literal: [EUR, EUR] }"),
     "member 2 of the list repeats member 1: remove it", "rules[0].when.value.literal"),
    (cmp(*AMOUNT, "in", "{ literal: [0, -0.0] }"),
     "member 2 of the list repeats member 1: remove it", "rules[0].when.value.literal"),
    (cmp(*AMOUNT, "in", "{ literal: [" + ", ".join(map(str, range(40))) + ", 7] }"),
     "member 41 of the list repeats member 8: remove it", "rules[0].when.value.literal"),
    (cmp(*CURRENCY, "in", "{ literal: [EUR, 5] }"),
     "member 2 of the list is a number, the first a string: members are all of one kind",
     "rules[0].when.value.literal"),
    (cmp(*CURRENCY, "in", "{ literal: [] }"), "operator 'in' needs at least one member in its list",
     "rules[0].when.value.literal"),
    (cmp(*AMOUNT, "in", "{ literal: [1, .nan] }"),
     "member 2 of the list is .nan, which equals nothing: remove it",
     "rules[0].when.value.literal"),
    (cmp(*CURRENCY, "in", "{ literal: EUR }"),
     "operator 'in' takes a list: write {literal: [...]}; for one value use equals",
     "rules[0].when.value"),
    (cmp(*AMOUNT, "equals", "{ literal: [1, 2] }"),
     "operator 'equals' compares with one value: for a list use in", "rules[0].when.value"),
    (cmp(*AMOUNT, "present", "{ literal: 1 }"),
     "operator 'present' takes no value: remove the value key", "rules[0].when.value"),
    (cmp(*AMOUNT, "equals"), "operator 'equals' needs a value, such as {literal: 10}",
     "rules[0].when"),
    ("{ all: [" + cmp(*AMOUNT, "present") + "] }",
     "'all' needs at least two conditions: write a single condition without it",
     "rules[0].when.all"),
    ("{ not: [" + cmp(*AMOUNT, "present") + "] }",
     "'not' holds one condition, not a list: wrap several in all or any", "rules[0].when.not"),
    ("{ subject: { domain: action, field: amount }, operator: present, valeu: 1 }",
     "unknown key 'valeu' in a condition: use subject, operator and value, or one of all, any, "
     "not", "rules[0].when.valeu"),
    ("{ all: [" + cmp(*AMOUNT, "present") + ", " + cmp(*AMOUNT, "present") + "], "
     "subject: { domain: action, field: amount } }",
     "a condition holds either subject, operator and value, or one of all, any, not: put the "
     "others inside it", "rules[0].when"),
    (cmp(*CURRENCY, "starts_with", "{ subject: { domain: action, field: path } }"),
     "operator 'starts_with' compares with a string literal, not a field", "rules[0].when.value"),
])
def test_load_messages_steer(when: str, message: str, path: str) -> None:
    with pytest.raises(PolicyError) as info:
        PyKavro(SCHEMA, v2(rule("r", when)))
    error: Any = info.value
    assert (error.kind, error.path) == ("Load", path)
    assert str(error).startswith(f"{path}: {message} at line ")


@pytest.mark.parametrize("when, message, path", [
    ("{ any: [" + cmp(*AMOUNT, "present") + ", " +
     cmp(*AMOUNT, "starts_with", "{ literal: x }") + "] }",
     "operator 'starts_with' does not apply to number field 'action.amount': use one of equals, "
     "not_equals, greater_than, less_than, in, not_in, greater_or_equal, less_or_equal, present, "
     "absent", "rules[0].when.any[1]"),
    (cmp(*CURRENCY, "greater_or_equal", "{ literal: 1 }"),
     "operator 'greater_or_equal' does not apply to string field 'action.currency': use one of "
     "equals, not_equals, in, not_in, present, absent, starts_with, ends_with", "rules[0].when"),
    (cmp(*CURRENCY, "in", "{ literal: [1, 2] }"),
     "field 'action.currency' is a string, the list holds a number: write strings",
     "rules[0].when"),
    ("{ not: " + cmp(*AMOUNT, "equals", "{ literal: x }") + " }",
     "field 'action.amount' is a number, the value a string: write a number",
     "rules[0].when.not"),
    (cmp(*AMOUNT, "equals", "{ subject: { domain: action, field: currency } }"),
     "field 'action.amount' is a number, field 'action.currency' a string: compare fields of one "
     "type", "rules[0].when"),
])
def test_compile_messages_steer(when: str, message: str, path: str) -> None:
    with pytest.raises(PolicyError) as info:
        PyKavro(SCHEMA, v2(rule("r", when)))
    error: Any = info.value
    assert (error.kind, error.path, str(error)) == ("InvalidComparison", path, message)
    assert error.line is not None


V1_HEAD = "version: 1\nrules:\n"


@pytest.mark.parametrize("when, message", [
    (cmp(*AMOUNT, "greater_or_equal", "{ literal: 5 }"), "unknown operator 'greater_or_equal'"),
    (cmp(*AMOUNT, "present", "{ literal: 5 }"), "unknown operator 'present'"),
    (cmp(*CURRENCY, "in", "{ literal: EUR }"), "operator 'In' not supported for type 'string'"),
])
def test_version_one_keeps_its_messages(when: str, message: str) -> None:
    with pytest.raises(PolicyError) as info:
        PyKavro(SCHEMA, V1_HEAD + rule("r", when))
    assert str(info.value) == message


def test_version_one_reads_no_version_two_key() -> None:
    # default, description and tags are unknown keys to version 1: skipped.
    text = V1_HEAD.replace("rules:", "default: block\nrules:") + rule(
        "r", cmp(*AMOUNT, "greater_than", "{ literal: 5 }"), extra="    description: d\n")
    engine = PyKavro(SCHEMA, text)
    assert engine.evaluate({"action": pay()}) == {"effect": "allow", "matched_rule": None}
    assert engine.rules()[0].description is None


FLAT = rule("r", "{ any: [" + cmp(*AMOUNT, "greater_than", "{ literal: 5 }") + ", " +
            cmp(*CURRENCY, "equals", "{ subject: { domain: snapshot, field: mode } }") + "] }")

LISTED = rule("r", "{ all: [[[action, amount], greater_than, { literal: 5 }], "
              "[[action, currency], equals, { literal: EUR }]] }")


@pytest.mark.parametrize("left, right, same", [
    pytest.param(V1_HEAD + FLAT, v2(FLAT), True, id="v2-without-new-forms"),
    pytest.param(V1_HEAD + LISTED, v2(LISTED), True, id="listed-comparisons"),
    pytest.param(v2(FLAT), v2(FLAT, default="allow"), True, id="default-allow-said"),
    pytest.param(v2(FLAT), v2(FLAT.replace("effect: block", "effect: block\n    description: x\n"
                                           "    tags: [a, b]")), True, id="documentation"),
    pytest.param(v2(FLAT), v2(FLAT, default="block"), False, id="default-block"),
    pytest.param(v2(rule("r", cmp(*CURRENCY, "in", "{ literal: [EUR, USD] }"))),
                 v2(rule("r", cmp(*CURRENCY, "in", "{ literal: [EUR, GBP] }"))), False,
                 id="list-members"),
    pytest.param(v2(rule("r", cmp(*AMOUNT, "present"))), v2(rule("r", cmp(*AMOUNT, "absent"))),
                 False, id="presence"),
    pytest.param(v2(rule("r", "{ not: " + cmp(*AMOUNT, "present") + " }")),
                 v2(rule("r", cmp(*AMOUNT, "present"))), False, id="negation"),
])
def test_policy_hash(left: str, right: str, same: bool) -> None:
    assert (PyKavro(SCHEMA, left).policy_hash() == PyKavro(SCHEMA, right).policy_hash()) is same


def test_compiled_rules_and_documentation() -> None:
    text = v2(
        rule("flat", "{ all: [" + cmp(*AMOUNT, "greater_or_equal", "{ literal: 5 }") + ", " +
             cmp(*AMOUNT, "less_than", "{ subject: { domain: action, field: fee } }") + "] }",
             extra="    description: Large payments.\n    tags: [money, large]\n"),
        rule("tree", "{ any: [" + cmp("snapshot", "budget_left", "absent") + ", { not: " +
             cmp("snapshot", "mode", "in", "{ literal: [EUR, USD] }") + " }] }",
             scope="{ global: true }"),
        default="require_approval")
    engine = PyKavro(SCHEMA, text)
    assert engine._compiled_rules() == [
        ("action", "pay", 0, "flat", "block",
         ("all", (("action", "amount", "greater_or_equal", ("literal", 5.0)),
                  ("action", "amount", "less_than", ("subject", "action", "fee"))))),
        ("global", None, 0, "tree", "block",
         ("any", (("snapshot", "budget_left", "absent", None),
                  ("not", (("atomic", (("snapshot", "mode", "in",
                                        ("list", ("EUR", "USD"))),)),))))),
    ]
    assert engine._policy_default() == "require_approval"
    flat, tree = engine.rules()
    assert (flat.description, flat.tags, tuple(flat)) == \
        ("Large payments.", ("money", "large"), ("flat", 0, "action:pay", "block", 4))
    assert (tree.description, tree.tags) == (None, ())
    explained = engine.explain({"action": pay(amount=10, fee=5),
                                "snapshot": {"budget_left": 1, "mode": "EUR"}})
    assert explained["rules"][0]["description"] == "Large payments."
    assert "description" not in explained["rules"][1]
    assert explained["rules"][1]["comparisons"][1]["against_list"] == ["EUR", "USD"]
    assert PyKavro(SCHEMA, V1_HEAD + FLAT)._policy_default() == "allow"


def test_default_travels_with_arrow_decisions() -> None:
    pa = pytest.importorskip("pyarrow")
    engine = PyKavro(SCHEMA, AGENT_GUARD)
    table = pa.table({"action.type": pa.array(["pay", "pay"]),
                      "action.currency": pa.array(["EUR", "GBP"]),
                      "actor.id": pa.array(["a", "a"]),
                      "snapshot.budget_left": pa.array([1.0, 1.0])})
    decisions = engine.evaluate_arrow(table)
    expected = [{"effect": "allow", "matched_rule": "known-currency"},
                {"effect": "block", "matched_rule": None}]
    assert decisions.to_pylist() == expected
    assert pickle.loads(pickle.dumps(decisions)).to_pylist() == expected


# The differential test -----------------------------------------------------

NUMBERS = [-1.0, 0.0, -0.0, 0.5, 1.0, 2.0, 500.0, math.inf, -math.inf, math.nan]
TEXTS = ["", "a", "ab", "abc", "b", "EUR", "USD", "/tmp/x", "x.pdf", "é"]
OPERATORS = {
    "number": ["equals", "not_equals", "greater_than", "less_than", "greater_or_equal",
               "less_or_equal", "in", "not_in", "present", "absent"],
    "string": ["equals", "not_equals", "in", "not_in", "present", "absent", "starts_with",
               "ends_with"],
    "boolean": ["equals", "not_equals", "in", "not_in", "present", "absent"],
}


def yaml_literal(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        if math.isnan(value):
            return ".nan"
        if math.isinf(value):
            return ".inf" if value > 0 else "-.inf"
        return repr(value)
    return "'" + value + "'"


def draw_value(rng: random.Random, kind: str) -> Any:
    if kind == "number":
        return rng.choice(NUMBERS)
    if kind == "string":
        return rng.choice(TEXTS)
    return rng.random() < 0.5


def draw_list(rng: random.Random, kind: str) -> list[Any]:
    if kind == "boolean":
        return rng.sample([True, False], rng.randint(1, 2))
    if kind == "number":
        pool = [v for v in NUMBERS if not math.isnan(v) and v != 0.0] + [0.0]
        if rng.random() < 0.2:
            # A long list: ids filed by one probe whatever its length.
            return rng.sample(pool, 3) + [float(n) for n in range(1000, 3000)]
    else:
        pool = TEXTS
    return rng.sample(pool, rng.randint(1, len(pool)))


class Comparison:
    def __init__(self, rng: random.Random, scope_action: bool) -> None:
        domains = ["action", "actor", "snapshot"] if scope_action else ["actor", "snapshot"]
        self.domain = rng.choice(domains)
        self.field = rng.choice(list(FIELDS[self.domain]))
        self.kind = FIELDS[self.domain][self.field]
        self.op = rng.choice(OPERATORS[self.kind])
        self.other: tuple[str, str] | None = None
        self.value: Any = None
        if self.op in ("in", "not_in"):
            self.value = draw_list(rng, self.kind)
        elif self.op in ("present", "absent"):
            pass
        elif self.op not in ("starts_with", "ends_with") and rng.random() < 0.2:
            peers = [(d, f) for d in domains for f, k in FIELDS[d].items() if k == self.kind]
            self.other = rng.choice(peers)
        else:
            self.value = draw_value(rng, self.kind)

    def yaml(self) -> str:
        if self.op in ("present", "absent"):
            return cmp(self.domain, self.field, self.op)
        if self.other:
            return cmp(self.domain, self.field, self.op,
                       f"{{ subject: {{ domain: {self.other[0]}, field: {self.other[1]} }} }}")
        if isinstance(self.value, list):
            return cmp(self.domain, self.field, self.op,
                       "{ literal: [" + ", ".join(map(yaml_literal, self.value)) + "] }")
        return cmp(self.domain, self.field, self.op, "{ literal: " + yaml_literal(self.value) + " }")

    def holds(self, request: dict) -> bool:
        left = request.get(self.domain, {}).get(self.field)
        typed = kind_of(left) == self.kind
        if self.op == "present":
            return typed
        if self.op == "absent":
            return not typed
        if self.other:
            # Two fields compare by the kinds their values have, as in version 1.
            right = request.get(self.other[0], {}).get(self.other[1])
            kind = kind_of(left)
            if kind is None or kind != kind_of(right):
                return False
            if kind != "number" and self.op not in ("equals", "not_equals"):
                return False
            return self.compare(left, right)
        if not typed:
            return False
        if self.op in ("in", "not_in"):
            member = any(left == m for m in self.value)
            return member if self.op == "in" else not member
        if self.op == "starts_with":
            return str(left).startswith(self.value)
        if self.op == "ends_with":
            return str(left).endswith(self.value)
        return self.compare(left, self.value)

    def compare(self, left: Any, right: Any) -> bool:
        return {"equals": lambda a, b: a == b, "not_equals": lambda a, b: a != b,
                "greater_than": lambda a, b: a > b, "less_than": lambda a, b: a < b,
                "greater_or_equal": lambda a, b: a >= b,
                "less_or_equal": lambda a, b: a <= b}[self.op](left, right)


def kind_of(value: Any) -> str | None:
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return None


class Node:
    """A condition: a comparison, or all / any / not of nodes."""

    def __init__(self, rng: random.Random, scope_action: bool, levels: int) -> None:
        self.kind = "comparison"
        if levels > 0 and rng.random() < 0.45:
            self.kind = rng.choice(["all", "any", "not"])
        self.comparison = Comparison(rng, scope_action) if self.kind == "comparison" else None
        count = 1 if self.kind == "not" else rng.randint(2, 3)
        self.members = [] if self.comparison else [
            Node(rng, scope_action, levels - 1) for _ in range(count)]

    def yaml(self) -> str:
        if self.comparison:
            return self.comparison.yaml()
        if self.kind == "not":
            return "{ not: " + self.members[0].yaml() + " }"
        return "{ " + self.kind + ": [" + ", ".join(m.yaml() for m in self.members) + "] }"

    def holds(self, request: dict) -> bool:
        if self.comparison:
            return self.comparison.holds(request)
        if self.kind == "not":
            return not self.members[0].holds(request)
        results = (m.holds(request) for m in self.members)
        return all(results) if self.kind == "all" else any(results)


def random_policy(rng: random.Random) -> tuple[str, list[tuple[str, str, Node, str]], str]:
    rules = []
    for i in range(rng.randint(1, 40)):
        scope = rng.choice(["pay", "pay", "global"])
        levels = 8 if rng.random() < 0.05 else rng.randint(0, 3)
        rules.append((f"r{i}", scope, Node(rng, scope == "pay", levels),
                      rng.choice(["allow", "block", "require_approval"])))
    default = rng.choice(["allow", "block", "require_approval", None])
    text = v2(*(rule(rid, node.yaml(), effect,
                     "{ action: pay }" if scope == "pay" else "{ global: true }")
                for rid, scope, node, effect in rules), default=default)
    return text, rules, default or "allow"


def reference(rules: list[tuple[str, str, Node, str]], default: str, request: dict) -> dict:
    action_type = request.get("action", {}).get("type")
    for wanted in (["pay"] if action_type == "pay" else []) + ["global"]:
        for rid, scope, node, effect in rules:
            if scope == wanted and node.holds(request):
                return {"effect": effect, "matched_rule": rid}
    return {"effect": default, "matched_rule": None}


def random_request(rng: random.Random, typed_only: bool) -> dict:
    request: dict[str, dict[str, Any]] = {}
    if rng.random() < 0.9:
        request["action"] = {"type": "pay" if rng.random() < 0.85 else "mail"}
    for domain, fields in FIELDS.items():
        for field, kind in fields.items():
            roll = rng.random()
            if roll < 0.25:
                continue
            if roll < 0.35 and not typed_only:
                value = draw_value(rng, rng.choice([k for k in OPERATORS if k != kind]))
            elif kind == "number" and roll < 0.45:
                value = float(rng.randrange(990, 3010))
            else:
                value = draw_value(rng, kind)
            request.setdefault(domain, {})[field] = value
    return request


@pytest.mark.parametrize("seed", range(40))
def test_random_policies_decide_as_the_reference(seed: int) -> None:
    rng = random.Random(seed)
    text, rules, default = random_policy(rng)
    engine = PyKavro(SCHEMA, text)
    requests = [random_request(rng, typed_only=False) for _ in range(150)]
    expected = [reference(rules, default, request) for request in requests]
    for request, wanted in zip(requests, expected):
        assert engine.evaluate(request) == wanted, (text, request)
        explained = engine.explain(request)
        assert {"effect": explained["effect"], "matched_rule": explained["matched_rule"]} == wanted
    assert engine.evaluate_many(requests) == expected


ARROW_TYPES = {"number": "float64", "string": "string", "boolean": "bool_"}


@pytest.mark.parametrize("seed", range(12))
def test_random_policies_decide_alike_over_arrow(seed: int) -> None:
    pa = pytest.importorskip("pyarrow")
    rng = random.Random(1000 + seed)
    text, rules, default = random_policy(rng)
    engine = PyKavro(SCHEMA, text)
    requests = [random_request(rng, typed_only=True) for _ in range(200)]
    columns = {"action.type": pa.array([r.get("action", {}).get("type") for r in requests],
                                       pa.string())}
    for domain, fields in FIELDS.items():
        for field, kind in fields.items():
            values = [r.get(domain, {}).get(field) for r in requests]
            columns[f"{domain}.{field}"] = pa.array(values, getattr(pa, ARROW_TYPES[kind])())
    decisions = engine.evaluate_arrow(pa.table(columns)).to_pylist()
    assert decisions == [reference(rules, default, request) for request in requests]


@pytest.mark.parametrize("text, request_, missing", [
    pytest.param(AGENT_GUARD, {"action": pay(amount=400)},
                 ["actor.id", "snapshot.budget_left", "action.currency"], id="agent-guard"),
    pytest.param(AGENT_GUARD, {"action": pay(amount=400, currency="EUR"), "actor": {"id": 5},
                               "snapshot": {"budget_left": 1}}, [], id="other-kind-is-carried"),
    pytest.param(V1_HEAD + rule("r", cmp(*AMOUNT, "greater_than", "{ subject: { domain: "
                                "snapshot, field: budget_left } }")) +
                 rule("g", cmp("snapshot", "open", "equals", "{ literal: true }"),
                      scope="{ global: true }"),
                 {"action": pay()}, ["action.amount", "snapshot.budget_left", "snapshot.open"],
                 id="version-1-and-global"),
    pytest.param(V1_HEAD + rule("r", cmp(*AMOUNT, "greater_than", "{ literal: 1 }")),
                 {"action": {"type": "mail"}}, [], id="other-action-reads-nothing"),
])
def test_missing_fields(text: str, request_: dict, missing: list[str]) -> None:
    engine = PyKavro(SCHEMA, text)
    problems = engine.missing_fields(request_)
    assert [p["path"] for p in problems] == missing
    assert {p["kind"] for p in problems} <= {"MissingField"}
    assert engine.check_request(request_) == [] or missing == []


def test_no_default_is_a_warning_of_lint() -> None:
    codes = [f.code for f in check(SCHEMA, v2(FLAT))]
    assert "no-default" in codes
    assert "no-default" not in [f.code for f in check(SCHEMA, v2(FLAT, default="allow"))]
    assert "no-default" not in [f.code for f in check(SCHEMA, V1_HEAD + FLAT)]
    described = v2(FLAT.replace("effect: block", "effect: block\n    description: x\n"
                                "    tags: [a]"), default="block")
    assert {"unknown-key", "no-default"}.isdisjoint(f.code for f in check(SCHEMA, described))
    assert "unknown-key" in [f.code for f in check(SCHEMA, V1_HEAD + FLAT.replace(
        "effect: block", "effect: block\n    description: x"))]


def test_check_reports_each_rules_invalid_comparison_where_it_is() -> None:
    text = v2(rule("a", cmp(*CURRENCY, "less_or_equal", "{ literal: 1 }")),
              rule("b", "{ all: [" + cmp(*AMOUNT, "present") + ", " +
                   cmp(*AMOUNT, "ends_with", "{ literal: x }") + "] }"), default="block")
    errors = [(f.code, f.path, f.line, f.rule_id) for f in check(SCHEMA, text)
              if f.severity == "error"]
    assert errors == [("invalid-comparison", "rules[0].when", 6, "a"),
                      ("invalid-comparison", "rules[1].when.all[1]", 10, "b")]
