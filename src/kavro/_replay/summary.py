"""What a replay or a diff found, gathered from the partitions' results in
log order: the summary printed, written as JSON and drawn in the report."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from kavro._replay.parts import ChangedRow, PartResult
from kavro._kavro import EFFECTS
from kavro._replay.tally import Changes, Tally, effect_change

KEPT_REFUSALS = 20


@dataclass
class PolicyRun:
    """One policy's side of a run."""

    path: str
    policy_hash: str
    rule_ids: list[str]
    tally: Tally = field(default_factory=Tally)
    # The description of each rule that has one (a version-2 policy's).
    descriptions: dict[str, str] = field(default_factory=dict)

    @property
    def never_hit(self) -> list[str]:
        return [rule for rule in self.rule_ids if not self.tally.rules.get(rule)]

    def as_json(self) -> dict[str, Any]:
        return {"file": self.path, "policy_hash": self.policy_hash,
                "effects": {effect: self.tally.effects.get(effect, 0) for effect in EFFECTS},
                "rule_hits": [{"rule": rule, "hits": hits} for rule, hits in rule_hits(self)],
                "never_hit": self.never_hit,
                **({"descriptions": self.descriptions} if self.descriptions else {})}


@dataclass
class Summary:
    """A replay (one policy) or a diff (old, then new)."""

    logs: list[str]
    policies: list[PolicyRun]
    rows: int = 0
    refused: int = 0
    refusals: list[tuple[str, int, str]] = field(default_factory=list)
    changes: Changes | None = None
    sample: list[tuple[str, ChangedRow]] = field(default_factory=list)
    sample_size: int = 0

    def add(self, result: PartResult) -> None:
        self.rows += result.rows
        self.refused += len(result.refusals)
        room = KEPT_REFUSALS - len(self.refusals)
        self.refusals += [(result.part.path, row, message)
                          for row, message in result.refusals[:max(room, 0)]]
        for policy, tally in zip(self.policies, result.tallies):
            policy.tally.add(tally)
        if result.changes is not None:
            if self.changes is None:
                self.changes = Changes()
            self.changes.add(result.changes)
            # Partitions come in log order, so the stable sort keeps log
            # order among changes of one size.
            self.sample += [(result.part.path, row) for row in result.sample]
            self.sample.sort(key=lambda item: -effect_change(item[1].old["effect"],
                                                             item[1].new["effect"]))
            del self.sample[self.sample_size:]

    @property
    def decided(self) -> int:
        return self.rows - self.refused

    def as_json(self) -> dict[str, Any]:
        summary: dict[str, Any] = {
            "logs": self.logs, "rows": self.rows, "decided": self.decided,
            "refused": self.refused,
            "refusals": [{"file": path, "row": row, "error": message}
                         for path, row, message in self.refusals],
        }
        if self.changes is None:
            summary.update(self.policies[0].as_json())
            return summary
        changes = self.changes
        summary.update({
            "old": self.policies[0].as_json(), "new": self.policies[1].as_json(),
            "changed": changes.changed,
            "matrix": [{"old": old, "new": new, "rows": changes.matrix.get((old, new), 0)}
                       for old in EFFECTS for new in EFFECTS],
            "gained": [{"rule": rule, "rows": rows} for rule, rows in changes.gained.most_common()],
            "lost": [{"rule": rule, "rows": rows} for rule, rows in changes.lost.most_common()],
            "new_effect": [{"rule": rule, "rows": rows}
                           for rule, rows in changes.new_effect.most_common()],
            "sample": [{"file": path, "row": row.row, "request_id": row.request_id,
                        "request": row.request, "old": row.old, "new": row.new}
                       for path, row in self.sample],
        })
        return summary


def rule_hits(policy: PolicyRun) -> list[tuple[str | None, int]]:
    """Rules by hits, most first, then the default; never-hit rules excluded."""
    hits: list[tuple[str | None, int]] = [
        (rule, count) for rule, count in policy.tally.rules.most_common() if rule is not None]
    if policy.tally.rules.get(None):
        hits.append((None, policy.tally.rules[None]))
    return hits
