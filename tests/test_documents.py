"""Documents through PyKavro: loading, compile and governance errors, in construction order.

Every message of loading and compiling is tabled once, in the C++ tests
(tests/cpp/document_*_test.cpp, compiler_test.cpp); the cases here check a few
of each kind end to end, through the module and in construction order."""

from __future__ import annotations

import pytest

from conftest import POLICY, SCHEMA, raises_exactly
from kavro import PolicyError, PyKavro


def rule(rule_id: str, scope: str, when: str, effect: str = "block") -> str:
    return (f"  - id: {rule_id}\n    scope: {scope}\n    when: {when}\n"
            f"    effect: {effect}\n")


def policy(*rules: str) -> str:
    return "version: 1\nrules:\n" + "".join(rules)


def atomic(domain: str, field: str, operator: str, value: str) -> str:
    return (f"{{ subject: {{ domain: {domain}, field: {field} }}, operator: {operator}, "
            f"value: {value} }}")


GLOBAL = "{ global: true }"
REFUND = "{ action: refund }"
LARGE_AMOUNT = atomic("action", "amount", "greater_than", "{ literal: 1000 }")
IN_MAINTENANCE = atomic("snapshot", "maintenance", "equals", "{ literal: true }")
NOT_ADMIN = atomic("actor", "role", "not_equals", "{ literal: admin }")

BAD_FIELD_TYPE = """\
version: 1
actions:
  refund:
    fields:
      amount: String
actor:
  fields: {}
snapshot:
  fields: {}
"""


class TestLoadingMessages:
    @pytest.mark.parametrize(
        "schema, policy_text, message",
        [
            pytest.param("", POLICY, "EOF while parsing a value", id="empty-schema"),
            pytest.param(SCHEMA, "# policy\nversion: 1\n", "missing field `rules` at line 2 "
                         "column 1", id="position-after-comment"),
            pytest.param(SCHEMA, policy(rule("r1", GLOBAL, IN_MAINTENANCE, "deny")),
                         "rules[0].effect: unknown variant `deny`, expected one of `allow`, "
                         "`block`, `require_approval` at line 6 column 13", id="unknown-effect"),
            pytest.param(SCHEMA, 'version: 1\nrules: "unterminated\n', "found unexpected end "
                         "of stream at line 3 column 1, while scanning a quoted scalar at line 2 "
                         "column 8", id="syntax-error-with-context"),
            pytest.param(BAD_FIELD_TYPE, POLICY, "actions.refund.fields.amount: unknown "
                         "variant `String`, expected one of `string`, `number`, `boolean` at "
                         "line 5 column 15", id="schema-field-type"),
            pytest.param("version: 1\nactions: {}\n", "", "missing field `actor`",
                         id="schema-before-policy"),
        ],
    )
    def test_load_error(self, schema: str, policy_text: str, message: str) -> None:
        raises_exactly(PolicyError, message, PyKavro, schema, policy_text)

    def test_empty_governance_text_is_not_none(self) -> None:
        raises_exactly(PolicyError, "EOF while parsing a value", PyKavro, SCHEMA, POLICY, "")

    def test_policy_error_hides_governance_error(self) -> None:
        raises_exactly(PolicyError, "missing field `rules`", PyKavro, SCHEMA, "version: 1\n", "")

    def test_valid_documents_with_extras_load(self) -> None:
        extra_keys = SCHEMA + "description: ignored\n"
        anchored = policy(
            "  - &first\n    id: r1\n    scope: { global: true }\n    when: " + IN_MAINTENANCE
            + "\n    effect: block\n", "  - *first\n")
        assert PyKavro(extra_keys, anchored).evaluate(
            {"snapshot": {"maintenance": True}})["matched_rule"] == "r1"


class TestCompileMessages:
    @pytest.mark.parametrize(
        "rules, message",
        [
            pytest.param([rule("r1", "{ action: transfer }", "{ all: [] }")],
                         "unknown action 'transfer' in scope", id="unknown-action-first"),
            pytest.param([rule("r1", GLOBAL, atomic("actor", "role", "greater_than",
                                                    "{ literal: admin }"))],
                         "operator 'GreaterThan' not supported for type 'string'",
                         id="ordering-on-text"),
            pytest.param([rule("r1", REFUND, LARGE_AMOUNT), rule("r2", "{ action: wire }",
                                                                 LARGE_AMOUNT)],
                         "unknown action 'wire' in scope", id="second-rule"),
        ],
    )
    def test_compile_error(self, rules: list[str], message: str) -> None:
        raises_exactly(PolicyError, message, PyKavro, SCHEMA, policy(*rules))

    def test_worked_loading_example_is_rejected_by_the_compiler(self) -> None:
        schema = ("version: 1\nactions:\n  refund:\n    fields: { amount: number }\n"
                  "actor:\n  fields: { role: string, id: string }\nsnapshot:\n  fields: {}\n")
        document = policy(
            rule("deny-large-refunds", REFUND, f"{{ all: [{LARGE_AMOUNT}, "
                 f"{atomic('actor', 'role', 'not_equals', '{ literal: manager }')}] }}"),
            rule("approve-self", GLOBAL, atomic("actor", "id", "equals",
                                                "{ subject: { domain: action, field: owner } }"),
                 "require_approval"))
        raises_exactly(PolicyError, "unknown field 'owner' in domain 'action'", PyKavro, schema,
                       document)

    def test_rules_that_compile(self) -> None:
        document = policy(
            rule("actor-scoped", "{ actor: auditor }", NOT_ADMIN),
            rule("same-id", GLOBAL, IN_MAINTENANCE),
            rule("same-id", GLOBAL, atomic("actor", "verified", "not_equals",
                                           "{ subject: [actor, verified] }")),
            rule("no-fields", "{ action: delete }", NOT_ADMIN))
        assert PyKavro(SCHEMA, document).evaluate(
            {"snapshot": {"maintenance": True}})["matched_rule"] == "same-id"


def governance(*rules: str) -> str:
    return "version: 1\ngovernance:\n  rules:\n" + "".join(rules)


def governance_rule(rule_id: str, where: str, must: str, error: str,
                    applies_to: str | None = None) -> str:
    gate = f"      applies_to: {{ actions: {applies_to} }}\n" if applies_to else ""
    return (f"    - id: {rule_id}\n{gate}      select: {{ where: {where} }}\n"
            f"      must: {must}\n      error: {error}\n")


NO_DELETES = governance_rule("r1", "{ scope: { action: delete } }", "{ forbid: true }",
                             "no deletes")


class TestGovernance:
    @pytest.mark.parametrize(
        "rules, message",
        [
            pytest.param([NO_DELETES], 'governance validation failed: [GovernanceViolation { '
                         'rule_id: "r1", message: "no deletes" }]', id="one"),
            pytest.param([
                NO_DELETES,
                governance_rule("r2", "{ effect: allow }", "{ exists: true }", "need allow"),
                governance_rule("r3", "{ effect: block }", "{ max_count: 0 }", "no blocks"),
                governance_rule("r4", "{}", "{ min_count: 3 }", "three rules"),
            ], 'governance validation failed: [GovernanceViolation { rule_id: "r1", message: '
                '"no deletes" }, GovernanceViolation { rule_id: "r2", message: "need allow" }, '
                'GovernanceViolation { rule_id: "r3", message: "no blocks" }]',
                id="all-in-document-order"),
            pytest.param([governance_rule("r1", "{ when: { subject: { domain: actor } } }",
                                          "{ allowed_fields: [actor.verified] }",
                                          '"say \\"no\\"\\nthen stop"')],
                         'governance validation failed: [GovernanceViolation { rule_id: "r1", '
                         'message: "say \\"no\\"\\nthen stop" }]', id="escaped-message"),
        ],
    )
    def test_violations(self, rules: list[str], message: str) -> None:
        raises_exactly(PolicyError, message, PyKavro, SCHEMA, POLICY, governance(*rules))

    def test_violation_hides_compile_error(self) -> None:
        faulty = policy(rule("r1", "{ action: delete }", NOT_ADMIN),
                        rule("r2", "{ action: transfer }", LARGE_AMOUNT))
        raises_exactly(PolicyError, 'governance validation failed: [GovernanceViolation { '
                       'rule_id: "r1", message: "no deletes" }]', PyKavro, SCHEMA, faulty,
                       governance(NO_DELETES))

    def test_compile_error_after_passing_governance(self) -> None:
        faulty = policy(rule("r2", "{ action: transfer }", LARGE_AMOUNT))
        raises_exactly(PolicyError, "unknown action 'transfer' in scope", PyKavro, SCHEMA,
                       faulty, governance(NO_DELETES))

    @pytest.mark.parametrize(
        "rules",
        [
            pytest.param([], id="no-rules"),
            pytest.param([governance_rule("r1", "{ effect: allow }", "{ exists: true }", "e",
                                          applies_to="[transfer]")], id="gate-closed"),
            pytest.param([governance_rule("r1", "{ effect: Block }", "{ forbid: true }", "e")],
                         id="effect-spelling-is-exact"),
            pytest.param([governance_rule("r1", "{ effect: block }", "{ min_count: 2 }", "e",
                                          applies_to="[refund]")], id="gate-open-counts-all"),
            pytest.param([governance_rule("r1", "{ when: { subject: { domain: actor } } }",
                                          "{ allowed_fields: [actor.role] }", "e")],
                         id="allowed-fields"),
        ],
    )
    def test_passing_governance_compiles_the_same_policy(self, engine: PyKavro,
                                                         rules: list[str]) -> None:
        text = governance(*rules) if rules else "version: 1\ngovernance:\n  rules: []\n"
        assert PyKavro(SCHEMA, POLICY, text).policy_hash() == engine.policy_hash()
