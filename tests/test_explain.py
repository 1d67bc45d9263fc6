"""explain and check_request: explain decides exactly as evaluate does, and its
trace is consistent with the decision; check_request names what the schema
does not expect."""

from __future__ import annotations

import json
import random
from typing import Any

import pytest

from kavro import PyKavro

FIELDS = {"action": [("amount", "number"), ("currency", "string")],
          "actor": [("role", "string"), ("verified", "boolean")],
          "snapshot": [("maintenance", "boolean"), ("load", "number")]}
RANDOM_SCHEMA = f"""\
version: 1
actions:
  refund: {{ fields: {{ amount: number, currency: string }} }}
  delete: {{ fields: {{ amount: number, currency: string }} }}
actor: {{ fields: {{ role: string, verified: boolean }} }}
snapshot: {{ fields: {{ maintenance: boolean, load: number }} }}
"""
TEXTS = ["a", "b", "c"]
# Equality is the most frequent, so that long sequences get the evaluator's
# equality index and explain's plain scan is compared with it.
OPERATORS = {"number": ["equals", "equals", "not_equals", "greater_than", "less_than"],
             "string": ["equals", "equals", "equals", "not_equals"],
             "boolean": ["equals", "not_equals"]}
SCOPES = [{"action": "refund"}] * 4 + [{"action": "delete"}, {"global": True}, {"global": True},
                                       {"actor": "x"}]


def random_literal(rng: random.Random, kind: str) -> Any:
    return {"number": lambda: rng.choice([0, 1, 2.5, -3]), "string": lambda: rng.choice(TEXTS),
            "boolean": lambda: rng.random() < 0.5}[kind]()


def random_condition(rng: random.Random, scoped: bool) -> dict[str, Any]:
    domains = ["action", "actor", "snapshot"] if scoped else ["actor", "snapshot"]
    domain = rng.choice(domains)
    field, kind = rng.choice(FIELDS[domain])
    same_kind = [(d, f) for d in domains for f, k in FIELDS[d] if k == kind]
    if rng.random() < 0.2:
        other_domain, other_field = rng.choice(same_kind)
        value: dict[str, Any] = {"subject": {"domain": other_domain, "field": other_field}}
    else:
        value = {"literal": random_literal(rng, kind)}
    return {"subject": {"domain": domain, "field": field},
            "operator": rng.choice(OPERATORS[kind]), "value": value}


def random_policy(rng: random.Random) -> str:
    rules = []
    for index in range(rng.randint(0, 30)):
        scope = rng.choice(SCOPES)
        scoped = "action" in scope
        shape = rng.choice(["atomic", "all", "any"])
        when = (random_condition(rng, scoped) if shape == "atomic" else
                {shape: [random_condition(rng, scoped) for _ in range(rng.randint(2, 3))]})
        rules.append({"id": f"r{index}", "scope": scope, "when": when,
                      "effect": rng.choice(["allow", "block", "require_approval"])})
    return json.dumps({"version": 1, "rules": rules})  # JSON is YAML


def random_request(rng: random.Random) -> dict[str, Any]:
    request: dict[str, Any] = {}
    for domain, fields in FIELDS.items():
        values = {}
        for field, kind in fields:
            roll = rng.random()
            if roll < 0.6:
                values[field] = random_literal(rng, kind)
            elif roll < 0.8:  # a value of another kind
                values[field] = random_literal(rng, rng.choice(["number", "string", "boolean"]))
        if domain == "action" and rng.random() < 0.9:
            values["type"] = rng.choice(["refund", "delete", "other"])
        request[domain] = values
    return request


@pytest.mark.parametrize("seed", range(40))
def test_explain_agrees_with_evaluate(seed: int) -> None:
    rng = random.Random(seed)
    for _ in range(8):
        engine = PyKavro(RANDOM_SCHEMA, random_policy(rng))
        for _ in range(25):
            request = random_request(rng)
            explanation = engine.explain(request)
            decision = engine.evaluate(request)
            assert {key: explanation[key] for key in ("effect", "matched_rule")} == decision
            examined = explanation["rules"]
            # Every rule before the deciding one was examined and did not hold.
            assert [rule["held"] for rule in examined] == (
                [False] * (len(examined) - 1) + [True] if decision["matched_rule"] is not None
                else [False] * len(examined))
            assert explanation["default_decided"] == (decision["matched_rule"] is None)
            for rule in examined:
                holds = [comparison["held"] for comparison in rule["comparisons"]]
                assert rule["held"] in (all(holds), any(holds))


def test_trace_of_one_request(engine: PyKavro) -> None:
    explanation = engine.explain({"action": {"type": "refund", "amount": 5}})
    assert explanation == {
        "effect": "allow", "matched_rule": None, "bucket": "refund", "default_decided": True,
        "rules": [
            {"rule_id": "deny-large-refunds", "scope": "action", "held": False, "comparisons": [
                {"subject": "action.amount", "operator": "greater_than", "found": 5.0,
                 "against": 1000.0, "against_subject": None, "held": False}]},
            {"rule_id": "maintenance", "scope": "global", "held": False, "comparisons": [
                {"subject": "snapshot.maintenance", "operator": "equals", "found": None,
                 "against": True, "against_subject": None, "held": False}]},
        ]}


@pytest.mark.parametrize("request_", [
    pytest.param([], id="not-a-dict"),
    pytest.param({"actor": {"role": None}}, id="unsupported-value"),
    pytest.param({"actor": []}, id="section-not-a-dict"),
])
def test_explain_and_check_request_refuse_as_evaluate_does(engine: PyKavro,
                                                           request_: Any) -> None:
    with pytest.raises(TypeError) as evaluated:
        engine.evaluate(request_)
    for method in (engine.explain, engine.check_request):
        with pytest.raises(TypeError) as refused:
            method(request_)
        assert str(refused.value) == str(evaluated.value)


@pytest.mark.parametrize("request_, problems", [
    pytest.param({"action": {"type": "refund", "amount": 5, "currency": "EUR"},
                  "actor": {"role": "x", "verified": True}, "snapshot": {"maintenance": False}},
                 [], id="clean"),
    pytest.param({"action": {"type": "Refund", "amount": 5}},
                 [("action.type", "UnknownAction", "action type 'Refund' is not declared in the "
                   "schema: only global rules apply (did you mean 'refund'?)")],
                 id="action-type-in-the-wrong-case"),
    pytest.param({"action": {"amount": 5}},
                 [("action.type", "MissingActionType",
                   "the request has no action type: only global rules apply")], id="no-type"),
    pytest.param({"action": {"type": "refund"}, "actor": {"Role": "admin"}},
                 [("actor.Role", "UndeclaredField", "actor.Role is not declared for the actor "
                   "and no rule reads it (did you mean 'role'?)")], id="misspelt-field"),
    pytest.param({"action": {"type": "refund", "amount": "1500"}},
                 [("action.amount", "WrongType", "action.amount is declared Number, but the "
                   "request holds a str: no comparison with it holds")], id="number-as-text"),
    pytest.param({"action": {"type": "delete", "amount": 1}, "snapshot": {"maintenance": 1}},
                 [("action.amount", "UndeclaredField", "action.amount is not declared for the "
                   "action 'delete' and no rule reads it"),
                  ("snapshot.maintenance", "WrongType", "snapshot.maintenance is declared "
                   "Boolean, but the request holds a int: no comparison with it holds")],
                 id="other-action-and-number-as-boolean"),
    pytest.param({"action": {"type": "refund"}, "actr": {}},
                 [("actr", "UnknownSection", "'actr' is not one of 'action', 'actor', "
                   "'snapshot' and is ignored (did you mean 'actor'?)")], id="unknown-section"),
])
def test_check_request(engine: PyKavro, request_: dict[str, Any],
                       problems: list[tuple[str, str, str]]) -> None:
    decision = engine.evaluate(request_)
    assert [(p["path"], p["kind"], p["message"]) for p in engine.check_request(request_)] == (
        problems)
    assert engine.evaluate(request_) == decision
