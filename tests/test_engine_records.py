"""What the library takes from the engine as data instead of deriving it
again: the rule table, the refused field of a request, the typing of plain
YAML scalars, and the policy's hash, computed once."""

from __future__ import annotations

import math
import threading
from typing import Any

import pytest

import kavro
from kavro import PyKavro
from kavro._command.replay import _rule_ids
from kavro._command.yaml_text import load_yaml
from kavro._kavro import _plain_scalar
from kavro._refusals import describe_refusal

from hostile_documents import SCHEMA



def policy_with_ids(*ids: str) -> str:
    rules = "".join(f"""  - id: {rule_id}
    scope: {{global: true}}
    when: {{subject: {{domain: actor, field: role}}, operator: equals, value: {{literal: r{i}}}}}
    effect: block
""" for i, rule_id in enumerate(ids))
    return "version: 1\nrules:\n" + rules


# Ids that a YAML 1.1 reader would turn into another value: the engine keeps
# each as written, and so must every tool that lists rules.
@pytest.mark.parametrize("written", ["1.10", "0x10", "007", "true", "1e3", "yes", "~x", "-0"])
def test_rule_ids_are_reported_as_the_engine_holds_them(written: str) -> None:
    engine = PyKavro(SCHEMA, policy_with_ids("first", written))
    assert [rule.id for rule in engine.rules()] == ["first", written]
    assert _rule_ids(engine) == ["first", written]
    decided = engine.evaluate({"action": {"type": "refund"}, "actor": {"role": "r1"}})
    assert decided["matched_rule"] == written


def test_rule_table_numbers_scopes_and_lines() -> None:
    policy = """version: 1
rules:
  - id: big
    scope: {action: refund}
    when: {subject: {domain: action, field: amount}, operator: greater_than, value: {literal: 10}}
    effect: require_approval
  - id: ops
    scope: {actor: ops}
    when: {subject: {domain: actor, field: role}, operator: equals, value: {literal: a}}
    effect: allow
  - id: big
    scope: {global: true}
    when: {subject: {domain: actor, field: role}, operator: equals, value: {literal: b}}
    effect: block
"""
    rules = PyKavro(SCHEMA, policy).rules()
    assert [tuple(rule) for rule in rules] == [
        ("big", 0, "action:refund", "require_approval", 3),
        ("ops", 1, "actor:ops", "allow", 7),
        ("big", 2, "global", "block", 11),
    ]
    assert all(isinstance(rule, kavro.Rule) for rule in rules)
    # The replay summary lists each id once.
    assert _rule_ids(PyKavro(SCHEMA, policy)) == ["big", "ops"]


class Opaque:
    pass


@pytest.mark.parametrize(("part", "value", "found"), [
    ("snapshot", None, "null"),
    ("snapshot", [1], "list"),
    ("actor", {"a": 1}, "dict"),
    ("action", 10 ** 400, "int"),
    ("actor", Opaque(), "Opaque"),
])
def test_a_refused_value_is_named_by_the_engine(part: str, value: Any, found: str) -> None:
    request: dict[str, Any] = {"action": {"type": "refund"}, "actor": {}, "snapshot": {}}
    request[part]["bad"] = value
    engine = PyKavro(SCHEMA, policy_with_ids("a"))
    for call in (engine.evaluate, engine.explain, engine.check_request,
                 lambda one: engine.evaluate_many([{}, one])):
        with pytest.raises(TypeError) as raised:
            call(request)
        assert (raised.value.field, raised.value.found) == (f"{part}.bad", found)  # type: ignore[attr-defined]
        assert describe_refusal(raised.value) == (
            f"TypeError: Unsupported value type ({part}.bad is {found})")


def test_a_text_refused_for_its_encoding_is_not_named() -> None:
    engine = PyKavro(SCHEMA, policy_with_ids("a"))
    with pytest.raises(TypeError) as raised:
        engine.evaluate({"actor": {"role": "\ud800"}})
    assert not hasattr(raised.value, "field")
    assert describe_refusal(raised.value) == "TypeError: Unsupported value type"


@pytest.mark.parametrize(("text", "value"), [
    ("", None), ("~", None), ("null", None), ("NULL", None),
    ("true", True), ("False", False), ("yes", "yes"), ("on", "on"),
    ("0", 0), ("-7", -7), ("+5", 5), ("0x10", 16), ("0o17", 15), ("0b101", 5),
    ("-0x10", "-0x10"), ("0123", "0123"), ("-007", "-007"),
    ("18446744073709551615", 18446744073709551615), ("-9223372036854775808", -2 ** 63),
    ("1.10", 1.1), ("1.", 1.0), (".5", 0.5), ("1e3", 1000.0), ("1e-400", 0.0),
    ("1e400", "1e400"), (".inf", math.inf), ("-.Inf", -math.inf), ("1_000", "1_000"),
])
def test_plain_scalars_are_typed_as_policy_literals(text: str, value: Any) -> None:
    typed = _plain_scalar(text)
    assert type(typed) is type(value)
    assert typed == value


def test_test_files_type_scalars_as_the_engine_does() -> None:
    data, _ = load_yaml("a: 0123\nb: 0x10\nc: yes\n1.10: ~\n", "cases.yaml")
    assert data == {"a": "0123", "b": 16, "c": "yes", 1.1: None}


def test_nan_is_a_float() -> None:
    assert math.isnan(_plain_scalar(".nan"))  # type: ignore[arg-type]


def test_the_hash_is_made_once_and_shared_by_threads() -> None:
    engine = PyKavro(SCHEMA, policy_with_ids(*[f"r{i}" for i in range(300)]))
    hashes: list[str] = []
    threads = [threading.Thread(target=lambda: hashes.append(engine.policy_hash()))
               for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(hashes) == 8 and len(set(hashes)) == 1
    assert PyKavro(SCHEMA, policy_with_ids(*[f"r{i}" for i in range(300)])).policy_hash() == hashes[0]
