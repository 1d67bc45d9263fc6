"""Decisions as the command and the reports print them."""

from __future__ import annotations

# An expectation that leaves the deciding rule open.
ANY_RULE = object()


def describe_decision(effect: str, rule: object) -> str:
    """`effect` with the deciding rule: a rule id, None for the default, or ANY_RULE."""
    if rule is ANY_RULE:
        return effect
    if rule is None:
        return f"{effect} (by the default: no rule matched)"
    return f"{effect} (rule {rule!r})"
