"""Documents of about 1 MB built to make construction slow or memory-hungry
end with their sound outcome. Their cost is measured by bench/attacks.py."""

from __future__ import annotations

from typing import Optional

import pytest

import attack_documents as hostile
from conftest import SCHEMA
from kavro import PyKavro


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
