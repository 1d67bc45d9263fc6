"""Documents of about 1 MB built to make construction slow or memory-hungry
end with their sound outcome. Their cost is measured by bench/attacks.py."""

from __future__ import annotations

import re
from typing import Optional

import pytest

import attack_documents as hostile
from conftest import SCHEMA
from kavro import PyKavro, check


def outcome(documents: hostile.Documents) -> str:
    try:
        PyKavro(*documents)
    except ValueError as error:
        return str(error)
    return "constructed"


@pytest.mark.parametrize(
    "attack, expected",
    [
        pytest.param("aliased-long-list", "repetition limit exceeded", id="aliased-long-list"),
        pytest.param("aliased-wide-field-map", "repetition limit exceeded",
                     id="aliased-wide-field-map"),
        pytest.param("tag-directives", "more than 64 %TAG directives at line 65 column 1",
                     id="tag-directives"),
        pytest.param("colliding-field-names", "constructed", id="colliding-field-names"),
    ],
)
def test_attack_outcome(attack: str, expected: str) -> None:
    assert outcome(hostile.ATTACKS[attack]()) == expected


def test_every_governance_rule_is_checked_against_every_policy_rule() -> None:
    def violation(rule_id: str) -> str:
        return f'GovernanceViolation {{ rule_id: "{rule_id}", message: "e" }}'

    expected = [violation("g")] * 60_000 + [violation(f"g{i}") for i in range(4_000)]
    assert outcome(hostile.governance_times_policy()) == (
        "governance validation failed: [" + ", ".join(expected) + "]")


def test_colliding_action_names_each_find_their_rule() -> None:
    schema, policy, _ = hostile.colliding_action_names()
    engine = PyKavro(schema, policy)
    names = [name.decode() for name in hostile.colliding_names(6_000)]
    for index in (0, 2_999, 5_999):
        decision = engine.evaluate({"action": {"type": names[index]}, "actor": {"role": "x"}})
        assert decision == {"effect": "block", "matched_rule": f"r{index}"}
    assert engine.evaluate({"action": {"type": names[1] + "!"}, "actor": {"role": "x"}}) == {
        "effect": "allow", "matched_rule": None}


@pytest.mark.parametrize(
    "directives, expected",
    [
        pytest.param(64, None, id="sixty-four-load"),
        pytest.param(65, "more than 64 %TAG directives at line 65 column 1", id="sixty-five"),
        pytest.param(200, "more than 64 %TAG directives at line 65 column 1", id="two-hundred"),
    ],
)
def test_tag_directive_limit(directives: int, expected: Optional[str]) -> None:
    tags = "".join(f"%TAG !t{i}! tag:x,1:\n" for i in range(directives))
    policy = tags + "---\nversion: 1\nrules: []\n"
    assert outcome((SCHEMA, policy, None)) == (expected or "constructed")


@pytest.mark.parametrize(
    "copies, expected",
    [
        pytest.param(7, "constructed", id="seven-copies"),
        pytest.param(8, "repetition limit exceeded", id="eight-copies"),
    ],
)
def test_alias_replay_is_bounded_by_the_document(copies: int, expected: str) -> None:
    # A map of 200,000 events is replayed `copies` times where the schema
    # reads it (the fields of an action): the document's events twice over
    # plus 1 Mi events may be replayed, so 7 copies fit and 8 do not.
    fields = ", ".join(f"f{i}: string" for i in range(100_000))
    actions = "\n".join(f"  a{i}: *m" for i in range(1, copies + 1))
    schema = ("version: 1\nactions:\n  a0: &m {fields: {" + fields + "}}\n" + actions
              + "\nactor: {fields: {}}\nsnapshot: {fields: {}}\n")
    assert outcome((schema, "version: 1\nrules: []\n", None)) == expected


def test_lint_reports_every_unknown_filter_name() -> None:
    documents = hostile.unknown_filter_names()
    assert outcome(documents) == "constructed"
    findings = check(*documents)
    actions = [f for f in findings if f.code == "filter-unknown-action"]
    fields = [f for f in findings if f.code == "filter-unknown-field"]
    assert len(actions) == 7_000
    assert len(fields) == sum(1 for i in range(7_000) if i % 90 >= 50)
    # Fifty declared fields: all compared, one of those an edit away suggested.
    assert re.search(r"\(did you mean 'action\.f[0-4]0'\?\)$", fields[0].message), (
        fields[0].message)


@pytest.mark.parametrize(
    "attack, expected",
    [
        pytest.param("long-request-names",
                     [("action.type", "UnknownAction"), ("x" * 100_000, "UnknownSection")],
                     id="long-request-names"),
        pytest.param("many-unknown-request-fields",
                     [(f"action.feild{i:06d}", "UndeclaredField") for i in range(400)],
                     id="many-unknown-request-fields"),
    ],
)
def test_check_request_on_hostile_requests(attack: str, expected: list) -> None:
    documents, request = hostile.REQUEST_ATTACKS[attack]()
    problems = PyKavro(*documents).check_request(request)
    assert sorted((p["path"], p["kind"]) for p in problems) == sorted(expected)
    if attack == "long-request-names":
        # No suggestion for names longer than any a search compares.
        assert all("did you mean" not in p["message"] for p in problems)
