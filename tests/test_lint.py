"""PolicyError's attributes and kavro.check's findings: every error placed in
its document, every lint code triggered by the mistake it exists for."""

from __future__ import annotations

import pytest

from conftest import POLICY, SCHEMA
from kavro import Finding, PolicyError, PyKavro, Violation, check

GOVERNANCE = """\
version: 1
governance:
  rules:
    - id: few-blocks
      select: { where: { effect: block } }
      must: { max_count: 1 }
      error: at most one blocking rule
"""
MISMATCH = POLICY.replace("literal: admin", "literal: 5")


@pytest.mark.parametrize("schema, policy, governance, expected", [
    pytest.param(SCHEMA.replace("role: string", "role: String"), POLICY, None,
                 ("schema", "Load", 5, 26, "actor.fields.role", None, None), id="schema-load"),
    pytest.param(SCHEMA, POLICY.replace("value: { literal: 1000 }", "value: 1000"), None,
                 ("policy", "Load", 3, 5, "rules[0]", None, None), id="condition-shape"),
    pytest.param(SCHEMA, MISMATCH, None,
                 ("policy", "TypeMismatch", 9, 11, "rules[1].when", "approve-deletions", 1),
                 id="type-mismatch"),
    pytest.param(SCHEMA, POLICY.replace("action: delete", "action: remove"), None,
                 ("policy", "UnknownAction", 8, 12, "rules[1].scope", "approve-deletions", 1),
                 id="unknown-action"),
    pytest.param(SCHEMA, POLICY, GOVERNANCE.replace("must:", "mustt:"),
                 ("governance", "Load", 4, 7, "governance.rules[0]", None, None),
                 id="governance-load"),
    pytest.param(SCHEMA, MISMATCH, GOVERNANCE,
                 ("governance", "GovernanceFailed", 4, 7, "governance.rules[0]", None, None),
                 id="violation-before-compile-error"),
])
def test_policy_error_points_at_its_cause(schema: str, policy: str, governance: str | None,
                                          expected: tuple[object, ...]) -> None:
    with pytest.raises(PolicyError) as info:
        PyKavro(schema, policy, governance)
    error = info.value
    assert isinstance(error, ValueError)
    assert (error.document, error.kind, error.line, error.column, error.path, error.rule_id,
            error.rule_index) == expected
    assert error.args == (str(error),)


def test_violations_say_what_was_demanded_and_found() -> None:
    with pytest.raises(PolicyError) as info:
        PyKavro(SCHEMA, POLICY, GOVERNANCE)
    assert info.value.violations == (Violation(
        ("few-blocks", "at most one blocking rule", "max_count: 1",
         "2 rules selected: 'deny-large-refunds', 'maintenance'", 4, 7)),)
    assert str(info.value) == ('governance validation failed: [GovernanceViolation { rule_id: '
                               '"few-blocks", message: "at most one blocking rule" }]')



def test_violation_details_stay_bounded_on_large_documents() -> None:
    # Each violation names ten selected rules and counts the rest; only the first
    # hundred are described, so a failure costs time in proportion to the documents.
    rules = "".join(f"  - {{ id: b{i}, scope: {{ global: true }}, when: {{ subject: [action, amount], "
                    f"operator: equals, value: {{ literal: 1 }} }}, effect: block }}\n"
                    for i in range(12))
    governance = "version: 1\ngovernance:\n  rules:\n" + "".join(
        f"    - {{ id: g{i}, select: {{ where: {{ effect: block }} }}, must: {{ max_count: 0 }}, "
        f"error: e }}\n" for i in range(101))
    with pytest.raises(PolicyError) as info:
        PyKavro(SCHEMA, "version: 1\nrules:\n" + rules, governance)
    first, last = info.value.violations[0], info.value.violations[100]
    assert first.found == ("12 rules selected: " + ", ".join(f"'b{i}'" for i in range(10))
                           + " and 2 more")
    assert (last.constraint, last.found) == ("max_count: 0", "")


LINTED_POLICY = """\
version: 1
rules:
  - id: deny-large-refunds
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: block
    unless: { literal: true }
  - id: deny-large-refunds
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: block
  - id: verified-actors
    scope: { actor: admin, note: x }
    when: { subject: [actor, verified], operator: equals, value: { literal: true } }
    effect: allow
  - id: pointless
    scope: { global: true }
    when: { subject: [actor, role], operator: equals, value: { subject: [actor, role] } }
    effect: block
    whenn: { subject: [actor, role], operator: equals, value: { literal: x } }
"""
LINTED_GOVERNANCE = """\
version: 1
governance:
  rules:
    - id: no-allow
      aplies_to: { actions: [refund] }
      select: { where: { effect: Allow, scope: { action: refnd } } }
      must: { forbid: true }
      error: no allow
    - id: fields
      select: { where: { when: { subject: { domain: actr, field: role } } } }
      must: { allowed_fields: [actor.rol] }
      error: few fields
"""


def test_check_reports_each_silent_trap() -> None:
    findings = check(SCHEMA, LINTED_POLICY, LINTED_GOVERNANCE)
    assert [(f.severity, f.code, f.document, f.line, f.column, f.path, f.rule_id)
            for f in findings] == [
        ("info", "unused-field", "schema", 3, 49, "actions.refund.fields.currency", None),
        ("info", "unused-field", "schema", 6, 36, "snapshot.fields.maintenance", None),
        ("warning", "unknown-key", "policy", 7, 5, "rules[0].unless", "deny-large-refunds"),
        ("warning", "duplicate-rule-id", "policy", 8, 5, "rules[1].id", "deny-large-refunds"),
        ("warning", "shadowed-rule", "policy", 8, 5, "rules[1]", "deny-large-refunds"),
        ("warning", "unknown-key", "policy", 13, 12, "rules[2].scope.note", "verified-actors"),
        ("warning", "actor-scoped-rule", "policy", 13, 12, "rules[2].scope", "verified-actors"),
        ("warning", "self-comparison", "policy", 18, 11, "rules[3].when", "pointless"),
        ("warning", "unknown-key", "policy", 20, 5, "rules[3].whenn", "pointless"),
        ("warning", "unknown-key", "governance", 5, 7, "governance.rules[0].aplies_to", None),
        ("warning", "filter-unknown-effect", "governance", 6, 34,
         "governance.rules[0].select.where.effect", "no-allow"),
        ("warning", "filter-unknown-action", "governance", 6, 58,
         "governance.rules[0].select.where.scope.action", "no-allow"),
        ("warning", "filter-unknown-field", "governance", 10, 53,
         "governance.rules[1].select.where.when.subject.domain", "fields"),
        ("warning", "filter-unknown-field", "governance", 11, 13, "governance.rules[1].must",
         "fields"),
    ]
    suggestions = [f.message.rpartition("(did you mean ")[2] for f in findings
                   if "did you mean" in f.message]
    assert suggestions == ["'when'?)", "'applies_to'?)", "'allow'?)", "'refund'?)",
                           "'actor'?)", "'actor.role'?)"]


def test_check_leads_with_the_construction_error() -> None:
    findings = check(SCHEMA, MISMATCH.replace("effect: block\n", "effect: block\n    on: x\n", 1))
    # Placed on the literal at fault (PyKavro's error stays at the rule's `when`).
    assert findings[0] == Finding("error", "type-mismatch",
                                  "type mismatch: left is 'String', right is 'Number'", "policy",
                                  10, 77, "rules[1].when.value.literal", "approve-deletions")
    assert [f.code for f in findings[1:]] == ["unused-field", "unused-field", "unknown-key"]
    assert check(SCHEMA, POLICY) == [f for f in check(SCHEMA, POLICY) if f.severity == "info"]


# Rules of every form a comparison is written in, each with one mistake.
FORMS = """\
version: 1
rules:
  - id: long-form
    scope: { action: refund }
    when:
      all:
        - subject: { domain: actor, field: role }
          operator: equals
          value: { literal: clerk }
        - subject: { domain: action, field: amount }
          operator: greater_than
          value: { subject: { domain: actor, field: role } }
    effect: block
  - id: list-form
    scope: { global: true }
    when: [[snapshot, maintenance], equals, { literal: true }]
    effect: block
"""


@pytest.mark.parametrize("policy, errors", [
    pytest.param(MISMATCH.replace("literal: true", "literal: on"), [
        ("type-mismatch", "rules[1].when.value.literal", 9, "5 ", "approve-deletions"),
        ("type-mismatch", "rules[2].when.value.literal", 13, "on ", "maintenance")],
        id="after-the-first"),
    pytest.param(MISMATCH.replace("{ action: refund }", "{ action: refnd }").replace(
        "[snapshot, maintenance]", "[action, amount]"), [
        ("unknown-action", "rules[0].scope.action", 4, "refnd", "deny-large-refunds"),
        ("type-mismatch", "rules[1].when.value.literal", 9, "5 ", "approve-deletions"),
        ("unknown-field", "rules[2].when.subject[1]", 13, "amount]", "maintenance")],
        id="each-rule-its-own"),
    pytest.param(FORMS, [
        ("type-mismatch", "rules[0].when.all[1].value.subject.field", 12, "role }",
         "long-form")], id="second-member-compared-with-a-field"),
    pytest.param(FORMS.replace("field: role }\n", "field: rol }\n", 1).replace(
        "equals, {", "equal, {"), [
        ("unknown-field", "rules[0].when.all[0].subject.field", 7, "rol }", "long-form"),
        ("unknown-operator", "rules[1].when[1]", 16, "equal,", "list-form")],
        id="first-member-and-list-form"),
    pytest.param(FORMS.replace("{ global: true }", "{ global: false }"), [
        ("type-mismatch", "rules[0].when.all[1].value.subject.field", 12, "role }",
         "long-form"),
        ("invalid-scope", "rules[1].scope.global", 15, "false", "list-form")],
        id="scope-value"),
    # actor.role compared with action.role: the second is unknown.
    pytest.param(FORMS.replace("domain: action, field: amount }", "domain: actor, field: role }")
                 .replace("greater_than", "equals").replace("{ domain: actor, field: role } }",
                                                            "{ domain: action, field: role } }"),
                 [("unknown-field", "rules[0].when.all[1].value.subject.field", 12, "role }",
                   "long-form")], id="the-compared-field-of-the-same-name"),
    pytest.param(FORMS.replace("domain: actor, field: role }\n", "domain: actr, field: role }\n",
                               1), [
        ("unknown-domain", "rules[0].when.all[0].subject.domain", 7, "actr", "long-form")],
        id="domain"),
    pytest.param(POLICY, [], id="none"),
])
def test_check_reports_the_compile_error_of_every_rule(
        policy: str, errors: list[tuple[str, str, int, str, str]]) -> None:
    # The construction error comes first, once; the other rules' errors follow in order, each
    # placed on the token at fault.
    found = [f for f in check(SCHEMA, policy) if f.severity == "error"]
    assert [(f.code, f.path, f.line, f.rule_id) for f in found] == [
        (code, path, line, rule) for code, path, line, _, rule in errors]
    lines = policy.splitlines()
    assert [lines[f.line - 1][f.column - 1:][:len(row[3])] for f, row in zip(found, errors)
            if f.line is not None and f.column is not None] == [row[3] for row in errors]


ALIASED_SCHEMA = """\
version: 1
actions:
  refund: &fields { fields: { amount: number, currency: string } }
  payout: *fields
  delete: { fields: {} }
actor: { fields: { role: string, verified: boolean } }
snapshot: { fields: { maintenance: boolean }, colour: x }
"""


# Lint notes only the places it looks up, and a schema's places only when a
# field goes unread: each finding must still be placed where it stands.
@pytest.mark.parametrize("schema, governance, expected", [
    pytest.param(SCHEMA.replace("{ maintenance: boolean }", "{ maintenance: boolean }, colour: x"),
                 None,
                 [("unused-field", 3, 49, "actions.refund.fields.currency"),
                  ("unused-field", 5, 44, "actor.fields.verified"),
                  ("unknown-key", 6, 47, "snapshot.colour")],
                 id="ignored-key-beside-unused-fields"),
    pytest.param(ALIASED_SCHEMA, None,
                 [("unused-field", 3, 39, "actions.payout.fields.amount"),
                  ("unused-field", 3, 57, "actions.payout.fields.currency"),
                  ("unused-field", 3, 57, "actions.refund.fields.currency"),
                  ("unused-field", 6, 44, "actor.fields.verified"),
                  ("unknown-key", 7, 47, "snapshot.colour")],
                 id="fields-of-an-alias-at-its-anchor"),
    pytest.param(SCHEMA, "version: 1\ngovernance:\n  rules:\n    - id: g\n"
                 "      applies_to: { actions: [refund, refnd] }\n"
                 "      select: { where: { effect: allow } }\n"
                 "      must: { allowed_fields: [actor.rol] }\n      error: e\n",
                 [("unused-field", 3, 49, "actions.refund.fields.currency"),
                  ("unused-field", 5, 44, "actor.fields.verified"),
                  ("filter-unknown-action", 5, 39, "governance.rules[0].applies_to.actions[1]"),
                  ("filter-unknown-field", 7, 13, "governance.rules[0].must")],
                 id="governance-list-member-and-key"),
])
def test_check_places_findings_it_notes_sparingly(schema: str, governance: str | None,
                                                  expected: list[tuple[object, ...]]) -> None:
    findings = check(schema, POLICY, governance)
    assert [(f.code, f.line, f.column, f.path) for f in findings] == expected
