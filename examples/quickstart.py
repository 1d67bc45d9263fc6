"""Quickstart: compile a small refund and deletion policy, then ask it questions."""

from kavro import PyKavro

SCHEMA = """\
version: 1
actions:
  refund:
    fields:
      amount: number
      currency: string
  delete_account:
    fields:
      account_age_days: number
actor:
  fields:
    role: string
snapshot:
  fields:
    maintenance: boolean
"""

POLICY = """\
version: 1
rules:
  - id: deny-large-refunds
    scope: { action: refund }
    when:
      all:
        - subject: { domain: action, field: amount }
          operator: greater_than
          value: { literal: 1000 }
        - subject: { domain: actor, field: role }
          operator: not_equals
          value: { literal: manager }
    effect: block

  - id: review-account-deletions
    scope: { action: delete_account }
    when:
      subject: { domain: actor, field: role }
      operator: not_equals
      value: { literal: admin }
    effect: require_approval

  - id: maintenance-freeze
    scope: { global: true }
    when:
      subject: { domain: snapshot, field: maintenance }
      operator: equals
      value: { literal: true }
    effect: block
"""

GOVERNANCE = """\
version: 1
governance:
  rules:
    - id: refunds-need-a-limit
      applies_to: { actions: [refund] }
      select: { where: { effect: block, scope: { action: refund } } }
      must: { min_count: 1 }
      error: every policy with refunds must block some of them

    - id: reviewed-fields-only
      select: { where: { when: { subject: { domain: actor } } } }
      must: { allowed_fields: [actor.role, action.amount] }
      error: rules about the actor may test only the role and the amount
"""

# The amount is compared with text: the compiler rejects the rule.
BROKEN_POLICY = """\
version: 1
rules:
  - id: deny-large-refunds
    scope: { action: refund }
    when:
      subject: { domain: action, field: amount }
      operator: greater_than
      value: { literal: "1000" }
    effect: block
"""


def main() -> None:
    engine = PyKavro(SCHEMA, POLICY, GOVERNANCE)
    print(f"compiler {PyKavro.compiler_version()}, policy hash {engine.policy_hash()}")

    requests = {
        "small refund by a clerk": {
            "action": {"type": "refund", "amount": 40, "currency": "EUR"},
            "actor": {"role": "clerk"},
        },
        "large refund by a clerk": {
            "action": {"type": "refund", "amount": 1500, "currency": "EUR"},
            "actor": {"role": "clerk"},
        },
        "large refund by a manager": {
            "action": {"type": "refund", "amount": 1500, "currency": "EUR"},
            "actor": {"role": "manager"},
        },
        "account deletion by support": {
            "action": {"type": "delete_account", "account_age_days": 12},
            "actor": {"role": "support"},
        },
        "small refund during maintenance": {
            "action": {"type": "refund", "amount": 40, "currency": "EUR"},
            "actor": {"role": "clerk"},
            "snapshot": {"maintenance": True},
        },
    }
    for label, request in requests.items():
        decision = engine.evaluate(request)
        rule = decision["matched_rule"] or "no rule"
        print(f"{label:32} -> {decision['effect']:16} ({rule})")

    try:
        PyKavro(SCHEMA, BROKEN_POLICY)
    except ValueError as error:
        print(f"broken policy rejected: {error}")


if __name__ == "__main__":
    main()
