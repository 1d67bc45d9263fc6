"""Messy request logs for the replay tests, and the decisions evaluate gives them."""

from __future__ import annotations

import json
import random
from pathlib import Path
from typing import Any

from conftest import POLICY
from kavro import PyKavro

# The new policy of the diffs: a lower refund threshold, deletions allowed,
# and a rule for verified actors that the old policy does not have.
NEW_POLICY = POLICY.replace("literal: 1000", "literal: 500").replace(
    "effect: require_approval", "effect: allow") + """\
  - id: unverified
    scope: { global: true }
    when: { subject: [actor, verified], operator: equals, value: { literal: false } }
    effect: require_approval
"""

# Lines of JSON as logs have them: fields whose kind changes from row to row,
# action types missing or not text, parts absent or not maps, values that
# evaluate refuses, and lines that are not JSON at all.
MESSY_LINES = [
    '{"id": "r1", "action": {"type": "refund", "amount": 1500}}',
    '{"action": {"type": "refund", "amount": "1500"}}',
    '{"action": {"type": "refund", "amount": 700}, "actor": {"role": "clerk"}}',
    '{"action": {"amount": 5000}}',
    '{"action": {"type": 7, "amount": 5000}}',
    '{"action": {"type": "delete"}, "actor": {"role": 5, "verified": false}}',
    '{"action": {"type": "delete"}, "actor": {"role": "admin", "verified": "no"}}',
    '{"snapshot": {"maintenance": true}}',
    '{"snapshot": {"maintenance": "true"}}',
    '{"snapshot": {"maintenance": 1}, "id": 42}',
    '{"action": {"type": "refund", "amount": 1e308}}',
    '{"action": {"type": "refund", "amount": true}}',
    '{"action": {"type": "refund", "amount": 9' + "0" * 400 + '}}',
    '{"action": {"type": "refund", "amount": null}}',
    '{"action": {"type": "refund", "amount": 9' + "0" * 5000 + '}}',
    '{"actor": {"role": ' + "[" * 100_000 + "]" * 100_000 + '}}',
    '{"actor": {"role": "admin", "tags": ["x"]}}',
    '{"actor": [1, 2]}',
    '{"actor": null}',
    '[1, 2, 3]',
    '{}',
    '{"action": {"type": "refund", "amount": 1500}, "other": {"x": null}}',
    'not json',
]


def expected(engine: PyKavro, line: str) -> dict[str, Any] | None:
    """What evaluate decides for one line, or None when it refuses it."""
    try:
        return dict(engine.evaluate(json.loads(line)))
    except (TypeError, ValueError, RecursionError):
        return None


def request_id(line: str) -> str | None:
    """The id a line carries, as text."""
    try:
        value = json.loads(line)
    except (ValueError, RecursionError):
        return None
    found = value.get("id") if isinstance(value, dict) else None
    return None if found is None else str(found)


def messy_log(path: Path, rows: int, seed: int = 7) -> list[str]:
    """A JSON Lines log of `rows` lines drawn from MESSY_LINES, with blank
    lines between some of them; returns the lines (index = line number - 1)."""
    chosen = random.Random(seed)
    lines = []
    for _ in range(rows):
        lines.append(chosen.choice(MESSY_LINES) if chosen.random() < 0.5 else
                     MESSY_LINES[chosen.randrange(3)])
        if chosen.random() < 0.05:
            lines.append("")
    path.write_text("\n".join(lines) + "\n")
    return lines


def clean_requests(count: int, seed: int = 3) -> list[dict[str, Any]]:
    chosen = random.Random(seed)
    return [{"action": {"type": chosen.choice(["refund", "delete", "other"]),
                        "amount": chosen.choice([100, 700, 1500, 2500.5])},
             "actor": {"role": chosen.choice(["clerk", "admin"]),
                       "verified": chosen.random() < 0.8},
             "snapshot": {"maintenance": chosen.random() < 0.1}} for _ in range(count)]
