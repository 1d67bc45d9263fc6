"""Decisions of evaluate and the policy hash, end to end from YAML documents."""

from __future__ import annotations

import hashlib
from typing import Any

import pytest

from conftest import SCHEMA
from kavro import PyKavro
from test_documents import GLOBAL, IN_MAINTENANCE, REFUND, atomic, policy, rule

REFUND_REQUEST = {"type": "refund", "amount": 1500, "currency": "EUR"}


class TestRefundPolicy:
    @pytest.mark.parametrize(
        "request_, effect, matched_rule",
        [
            pytest.param({"action": REFUND_REQUEST}, "block", "deny-large-refunds",
                         id="large-refund"),
            pytest.param({"action": {"type": "refund", "amount": 1000}}, "allow", None,
                         id="limit-is-strict"),
            pytest.param({"action": {"type": "refund", "amount": 1000.5}}, "block",
                         "deny-large-refunds", id="just-above"),
            pytest.param({"action": {"type": "refund", "amount": "1500"}}, "allow", None,
                         id="text-amount-never-compares"),
            pytest.param({"action": {"type": "Refund", "amount": 1500}}, "allow", None,
                         id="type-is-case-sensitive"),
            pytest.param({"action": {"type": 1, "amount": 1500}}, "allow", None,
                         id="type-must-be-text"),
            pytest.param({"action": {"amount": 1500}}, "allow", None, id="no-type"),
            pytest.param({"action": REFUND_REQUEST, "snapshot": {"maintenance": True}}, "block",
                         "deny-large-refunds", id="action-rules-first"),
            pytest.param({"action": {"type": "refund", "amount": 5},
                          "snapshot": {"maintenance": True}}, "block", "maintenance",
                         id="then-global-rules"),
            pytest.param({"snapshot": {"maintenance": 1}}, "allow", None,
                         id="number-is-not-boolean"),
            pytest.param({"action": {"type": "delete"}, "actor": {"role": "clerk"}},
                         "require_approval", "approve-deletions", id="deletion-by-clerk"),
            pytest.param({"action": {"type": "delete"}, "actor": {"role": "admin"}}, "allow",
                         None, id="deletion-by-admin"),
            pytest.param({"action": {"type": "delete"}}, "allow", None,
                         id="not-equals-on-missing-field"),
        ],
    )
    def test_decision(self, engine: PyKavro, request_: dict[str, Any], effect: str,
                      matched_rule: str | None) -> None:
        assert engine.evaluate(request_) == {"effect": effect, "matched_rule": matched_rule}


BUCKETS = policy(
    rule("global-block", GLOBAL, IN_MAINTENANCE),
    rule("small-refund", REFUND, atomic("action", "amount", "less_than", "{ literal: 100 }"),
         "allow"),
    rule("unverified", GLOBAL, atomic("actor", "verified", "equals", "{ literal: false }"),
         "require_approval"),
    rule("unverified-again", GLOBAL, atomic("actor", "verified", "equals", "{ literal: false }")),
    rule("any-of", GLOBAL, "{ any: [" + atomic("actor", "role", "equals", "{ literal: ops }")
         + ", " + atomic("actor", "role", "equals", "{ literal: sre }") + "] }"),
    rule("all-of", GLOBAL, "{ all: [" + atomic("actor", "role", "equals", "{ literal: lead }")
         + ", " + atomic("actor", "verified", "equals", "{ literal: true }") + "] }"),
)

FIELDS_SCHEMA = """\
version: 1
actions:
  refund:
    fields: { amount: number }
actor:
  fields: { level: number, role: string }
snapshot:
  fields: { threshold: number, owner: string }
"""

FIELDS = policy(
    rule("not-one", GLOBAL, atomic("actor", "level", "not_equals", "{ literal: 1 }")),
)

COMPARED_FIELDS = policy(
    rule("above-threshold", GLOBAL, atomic("actor", "level", "greater_than",
                                           "{ subject: [snapshot, threshold] }")),
    rule("owner", GLOBAL, atomic("actor", "role", "equals", "{ subject: [snapshot, owner] }")),
)


class TestEvaluationOrder:
    @pytest.mark.parametrize(
        "request_, matched_rule",
        [
            pytest.param({"action": {"type": "refund", "amount": 50},
                          "snapshot": {"maintenance": True}}, "small-refund",
                         id="action-allow-beats-earlier-global-block"),
            pytest.param({"action": {"type": "refund", "amount": 500},
                          "snapshot": {"maintenance": True}}, "global-block",
                         id="global-when-action-rule-fails"),
            pytest.param({"actor": {"verified": False}}, "unverified",
                         id="first-matching-global-wins"),
            pytest.param({"actor": {"role": "sre"}}, "any-of", id="any-second-member"),
            pytest.param({"actor": {"role": "lead", "verified": True}}, "all-of",
                         id="all-members"),
            pytest.param({"actor": {"role": "lead"}}, None, id="all-missing-member"),
        ],
    )
    def test_matched_rule(self, request_: dict[str, Any], matched_rule: str | None) -> None:
        assert PyKavro(SCHEMA, BUCKETS).evaluate(request_)["matched_rule"] == matched_rule

    def test_effect_of_first_match(self) -> None:
        assert PyKavro(SCHEMA, BUCKETS).evaluate({"actor": {"verified": False}}) == {
            "effect": "require_approval", "matched_rule": "unverified"}

    @pytest.mark.parametrize(
        "level, matched",
        [(float("nan"), True), (1, False), (1.0000001, True), (None, False)],
        ids=["nan", "equal", "different", "missing"],
    )
    def test_not_equals(self, level: float | None, matched: bool) -> None:
        actor = {} if level is None else {"level": level}
        result = PyKavro(FIELDS_SCHEMA, FIELDS).evaluate({"actor": actor})
        assert (result["matched_rule"] == "not-one") is matched

    @pytest.mark.parametrize(
        "actor, snapshot, matched_rule",
        [
            pytest.param({"level": 5}, {"threshold": 4}, "above-threshold", id="greater"),
            pytest.param({"level": 4}, {"threshold": 4}, None, id="equal"),
            pytest.param({"level": 5}, {}, None, id="right-missing"),
            pytest.param({"role": "ana"}, {"owner": "ana"}, "owner", id="same-text"),
            pytest.param({"role": "ana"}, {"owner": "Ana"}, None, id="case-sensitive"),
        ],
    )
    def test_subject_on_the_right(self, actor: dict[str, Any], snapshot: dict[str, Any],
                                  matched_rule: str | None) -> None:
        result = PyKavro(FIELDS_SCHEMA, COMPARED_FIELDS).evaluate(
            {"actor": actor, "snapshot": snapshot})
        assert result["matched_rule"] == matched_rule


TRANSFER_SCHEMA = """\
version: 1
actions:
  transfer:
    fields: { amount: number }
actor:
  fields: { role: string }
snapshot:
  fields: { locked: boolean }
"""

TRANSFER_POLICY = policy(
    rule("r1", "{ action: transfer }",
         atomic("action", "amount", "greater_than", "{ literal: 1000 }")),
    rule("r2", GLOBAL, "{ any: [" + atomic("actor", "role", "equals", '{ literal: "manager" }')
         + ", " + atomic("snapshot", "locked", "equals", "{ literal: true }") + "] }",
         "require_approval"),
)

TRANSFER_TEXT = (
    'CompiledPolicy { action_rules: {"transfer": [CompiledRule { rule_id: "r1", condition: '
    'Atomic(AtomicCondition { lhs: SubjectRef { domain: Action, field: "amount" }, operator: '
    'GreaterThan, rhs: Literal(Number(1000.0)) }), effect: Block }]}, actor_rules: {}, '
    'global_rules: [CompiledRule { rule_id: "r2", condition: Any([AtomicCondition { lhs: '
    'SubjectRef { domain: Actor, field: "role" }, operator: Equals, rhs: Literal(String('
    '"manager")) }, AtomicCondition { lhs: SubjectRef { domain: Snapshot, field: "locked" }, '
    'operator: Equals, rhs: Literal(Boolean(true)) }]), effect: RequireApproval }] }'
)


def sha256(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def digest(policy_text: str, schema: str = TRANSFER_SCHEMA) -> str:
    return PyKavro(schema, policy_text).policy_hash()


class TestPolicyHash:
    def test_worked_example(self) -> None:
        assert digest(TRANSFER_POLICY) == sha256(TRANSFER_TEXT)

    def test_empty_policy(self) -> None:
        assert digest("version: 1\nrules: []\n") == sha256(
            "CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [] }")

    @pytest.mark.parametrize(
        "variant",
        [
            pytest.param(TRANSFER_POLICY.replace("{ literal: 1000 }", "{ literal: 1000.0 }"),
                         id="100-vs-100.0"),
            pytest.param(TRANSFER_POLICY.replace("    scope: { action: transfer }\n", "")
                         .replace("    effect: block\n",
                                  "    effect: block\n    scope:\n      action: transfer\n"),
                         id="key-order-and-layout"),
            pytest.param("# comment\n" + TRANSFER_POLICY.replace("version: 1", "version: 2"),
                         id="comment-and-version"),
        ],
    )
    def test_same_model_same_digest(self, variant: str) -> None:
        assert digest(variant) == digest(TRANSFER_POLICY)

    @pytest.mark.parametrize(
        "variant",
        [
            pytest.param(TRANSFER_POLICY.replace("id: r2", "id: r3"), id="rule-id"),
            pytest.param(TRANSFER_POLICY.replace("require_approval", "block"), id="effect"),
        ],
    )
    def test_different_model_different_digest(self, variant: str) -> None:
        assert digest(variant) != digest(TRANSFER_POLICY)

    def test_order_within_a_sequence_matters(self) -> None:
        first = rule("a", GLOBAL, atomic("snapshot", "locked", "equals", "{ literal: true }"))
        second = rule("b", GLOBAL, atomic("actor", "role", "equals", "{ literal: x }"))
        assert digest(policy(first, second)) != digest(policy(second, first))

    def test_escaped_rule_id(self) -> None:
        text = policy(rule('"say \\"hi\\"\\n"', GLOBAL,
                           atomic("snapshot", "locked", "equals", "{ literal: true }")))
        assert digest(text) == sha256(
            'CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [CompiledRule { '
            'rule_id: "say \\"hi\\"\\n", condition: Atomic(AtomicCondition { lhs: SubjectRef { '
            'domain: Snapshot, field: "locked" }, operator: Equals, rhs: Literal(Boolean(true)) '
            '}), effect: Block }] }')

    def test_governance_and_schema_take_no_part(self) -> None:
        wider_schema = TRANSFER_SCHEMA.replace("{ role: string }", "{ role: string, age: number }")
        with_governance = PyKavro(TRANSFER_SCHEMA, TRANSFER_POLICY,
                                  "version: 1\ngovernance:\n  rules: []\n")
        assert digest(TRANSFER_POLICY, wider_schema) == with_governance.policy_hash() == digest(
            TRANSFER_POLICY)
