"""Explain traces as the command prints them: one line per rule examined and
one per comparison, then the decision."""

from __future__ import annotations

import json
from typing import Any

from kavro._decisions import describe_decision


def trace_lines(explanation: Any) -> list[str]:
    """The readable trace of a dict returned by PyKavro.explain."""
    bucket = explanation["bucket"]
    lines = [f"action bucket: {bucket!r}, then the global rules" if bucket is not None
             else "action bucket: none for this action type; global rules only"]
    for rule in explanation["rules"]:
        outcome = "held" if rule["held"] else "did not hold"
        lines.append(f"rule {rule['rule_id']!r} ({rule['scope']}): {outcome}")
        if "description" in rule:
            lines.append(f"  ({rule['description']})")
        lines += [f"  {_comparison(comparison)}" for comparison in rule["comparisons"]]
    if "policy_default" in explanation and explanation["matched_rule"] is None:
        lines.append(f"decision: {explanation['effect']} (by the policy default: no rule matched)")
    else:
        lines.append("decision: " + describe_decision(explanation["effect"],
                                                      explanation["matched_rule"]))
    return lines


def _comparison(comparison: Any) -> str:
    against_subject = comparison["against_subject"]
    found = _value(comparison["found"])
    if comparison["operator"] in ("present", "absent"):
        text = f"{comparison['subject']} {comparison['operator']}: found {found}"
    elif "against_list" in comparison:
        members = comparison["against_list"]
        shown = ", ".join(_value(member) for member in members[:8])
        more = f", ... ({len(members)} members)" if len(members) > 8 else ""
        text = f"{comparison['subject']} {comparison['operator']} [{shown}{more}]: found {found}"
    elif against_subject is None:
        against = _value(comparison["against"])
        text = f"{comparison['subject']} {comparison['operator']} {against}: found {found}"
    else:
        text = (f"{comparison['subject']} {comparison['operator']} {against_subject}: "
                f"found {found} and {_value(comparison['against'])}")
    return f"{text} -> {'held' if comparison['held'] else 'did not hold'}"


def _value(value: Any) -> str:
    if value is None:
        return "nothing (absent)"
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return json.dumps(value)
