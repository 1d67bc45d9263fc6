"""Counts over decisions that add up across partitions: effects and rule
hits for one policy, and the changes between two policies."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

import pyarrow as pa
import pyarrow.compute as pc

EFFECTS = ("allow", "block", "require_approval")


@dataclass
class Tally:
    """Decisions of one policy: per effect and per deciding rule (None: the default)."""

    effects: Counter[str] = field(default_factory=Counter)
    rules: Counter[str | None] = field(default_factory=Counter)

    @classmethod
    def of(cls, effect: pa.Array, matched_rule: pa.Array) -> Tally:
        # Refused rows are null in both columns and counted by the caller.
        decided = pc.is_valid(effect)
        rules = pc.filter(matched_rule, decided)
        return cls(_counts(pc.drop_null(effect)), _rule_counts(rules))

    def add(self, other: Tally) -> None:
        self.effects.update(other.effects)
        self.rules.update(other.rules)

    @property
    def decided(self) -> int:
        return sum(self.effects.values())


@dataclass
class Changes:
    """Old effect -> new effect counts over every decided row, and for the
    rows whose decision changed, the rules that took or gave them up."""

    matrix: Counter[tuple[str, str]] = field(default_factory=Counter)
    gained: Counter[str | None] = field(default_factory=Counter)
    lost: Counter[str | None] = field(default_factory=Counter)
    changed: int = 0

    def add(self, other: Changes) -> None:
        self.matrix.update(other.matrix)
        self.gained.update(other.gained)
        self.lost.update(other.lost)
        self.changed += other.changed


def _counts(values: pa.Array) -> Counter[str]:
    counts: Counter[str] = Counter()
    for item in pc.value_counts(values).to_pylist():
        if item["values"] is not None:
            counts[item["values"]] += item["counts"]
    return counts


_DEFAULT = "\x00"  # stands for "no rule" where nulls would not compare


def changed_rows(old: tuple[pa.Array, pa.Array], new: tuple[pa.Array, pa.Array]) -> pa.Array:
    """A boolean mask: the rows both policies decided, with another effect or rule."""
    effect_differs = pc.not_equal(old[0], new[0])
    rule_differs = pc.not_equal(old[1].fill_null(_DEFAULT), new[1].fill_null(_DEFAULT))
    return pc.fill_null(pc.or_(effect_differs, rule_differs), False)


def changes_of(old: tuple[pa.Array, pa.Array], new: tuple[pa.Array, pa.Array]) -> Changes:
    pairs = pa.table({"old": old[0], "new": new[0]}).filter(pc.is_valid(old[0]))
    matrix = Counter({(row["old"], row["new"]): row["count_all"] for row in
                      pairs.group_by(["old", "new"]).aggregate([([], "count_all")]).to_pylist()})
    mask = changed_rows(old, new)
    old_rules, new_rules = pc.filter(old[1], mask), pc.filter(new[1], mask)
    moved = pc.not_equal(old_rules.fill_null(_DEFAULT), new_rules.fill_null(_DEFAULT))
    return Changes(matrix, _rule_counts(pc.filter(new_rules, moved)),
                   _rule_counts(pc.filter(old_rules, moved)), _true_count(mask))


def _rule_counts(rules: pa.Array) -> Counter[str | None]:
    counts: Counter[str | None] = Counter(_counts(rules))
    if rules.null_count:
        counts[None] = rules.null_count
    return counts


def _true_count(mask: pa.Array) -> int:
    return int(pc.sum(mask.cast(pa.int64())).as_py() or 0)
