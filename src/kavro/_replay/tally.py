"""Counts over decisions that add up across partitions: effects and rule
hits for one policy, and the changes between two policies."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field

import pyarrow as pa
import pyarrow.compute as pc

from kavro._kavro import EFFECTS


@dataclass
class Tally:
    """Decisions of one policy: per effect and per deciding rule (None: the default)."""

    effects: Counter[str] = field(default_factory=Counter)
    rules: Counter[str | None] = field(default_factory=Counter)

    @classmethod
    def of(cls, effect: pa.Array, matched_rule: pa.Array) -> Tally:
        # Refused rows are null in both columns and counted by the caller.
        if effect.null_count:
            decided = pc.is_valid(effect)
            effect, matched_rule = pc.filter(effect, decided), pc.filter(matched_rule, decided)
        return cls(_counts(effect), _rule_counts(matched_rule))

    def add(self, other: Tally) -> None:
        self.effects.update(other.effects)
        self.rules.update(other.rules)

    @property
    def decided(self) -> int:
        return sum(self.effects.values())


@dataclass
class Changes:
    """Old effect -> new effect counts over every decided row, and for the
    rows whose decision changed, the rules that took or gave them up, and the
    rules that kept deciding them with another effect."""

    matrix: Counter[tuple[str, str]] = field(default_factory=Counter)
    gained: Counter[str | None] = field(default_factory=Counter)
    lost: Counter[str | None] = field(default_factory=Counter)
    changed: int = 0
    new_effect: Counter[str | None] = field(default_factory=Counter)

    def add(self, other: Changes) -> None:
        self.matrix.update(other.matrix)
        self.gained.update(other.gained)
        self.lost.update(other.lost)
        self.new_effect.update(other.new_effect)
        self.changed += other.changed


def _counts(values: pa.Array) -> Counter[str]:
    counts: Counter[str] = Counter()
    for item in pc.value_counts(values).to_pylist():
        if item["values"] is not None:
            counts[item["values"]] += item["counts"]
    return counts


def effect_codes(effect: pa.Array) -> pa.Array:
    """Each row's effect as its index in EFFECTS (null where refused)."""
    if not pa.types.is_dictionary(effect.type):
        return pc.index_in(effect, value_set=pa.array(EFFECTS))
    lookup = pa.array([EFFECTS.index(value) for value in effect.dictionary.to_pylist()], pa.int8())
    return pc.take(lookup, effect.indices)


# How strict each effect is, in the order of EFFECTS: the distance between two
# effects orders the changed requests a diff shows, allow <-> block first and
# a new deciding rule with the same effect last.
_STRICTNESS = (0, 2, 1)


def effect_change(old: str, new: str) -> int:
    return abs(_STRICTNESS[EFFECTS.index(old)] - _STRICTNESS[EFFECTS.index(new)])


def most_changed(old: pa.Array, new: pa.Array, mask: pa.Array, count: int) -> list[int]:
    """The first `count` rows of `mask`, the largest change of effect first,
    in row order within one size of change."""
    strictness = pa.array(_STRICTNESS, pa.int8())
    distance = pc.abs(pc.subtract(pc.take(strictness, effect_codes(old)),
                                  pc.take(strictness, effect_codes(new))))
    chosen: list[int] = []
    for size in sorted(set(_STRICTNESS), reverse=True):
        if len(chosen) >= count:
            break
        rows = pc.fill_null(pc.and_(mask, pc.equal(distance, size)), False)
        chosen += pc.indices_nonzero(rows).to_pylist()[:count - len(chosen)]
    return chosen


def _same_rule(old: pa.Array, new: pa.Array) -> pa.Array:
    """Equal rule ids, or both rows decided by the default (null)."""
    both_default = pc.and_(pc.is_null(old), pc.is_null(new))
    return pc.or_(pc.fill_null(pc.equal(old, new), False), both_default)


def changed_rows(old: tuple[pa.Array, pa.Array], new: tuple[pa.Array, pa.Array]) -> pa.Array:
    """A boolean mask: the rows both policies decided, with another effect or rule."""
    old_codes, new_codes = effect_codes(old[0]), effect_codes(new[0])
    effect_differs = pc.fill_null(pc.not_equal(old_codes, new_codes), False)
    return pc.or_(effect_differs, pc.invert(_same_rule(old[1], new[1])))


def changes_of(old: tuple[pa.Array, pa.Array], new: tuple[pa.Array, pa.Array]) -> Changes:
    pairs = pc.add(pc.multiply(effect_codes(old[0]).cast(pa.int16()), len(EFFECTS)),
                   effect_codes(new[0]).cast(pa.int16()))
    matrix: Counter[tuple[str, str]] = Counter()
    for item in pc.value_counts(pairs).to_pylist():
        if item["values"] is not None:
            before, after = divmod(item["values"], len(EFFECTS))
            matrix[EFFECTS[before], EFFECTS[after]] += item["counts"]
    mask = changed_rows(old, new)
    old_rules, new_rules = pc.filter(old[1], mask), pc.filter(new[1], mask)
    kept = _same_rule(old_rules, new_rules)
    moved = pc.invert(kept)
    return Changes(matrix, _rule_counts(pc.filter(new_rules, moved)),
                   _rule_counts(pc.filter(old_rules, moved)), _true_count(mask),
                   _rule_counts(pc.filter(old_rules, kept)))


def _rule_counts(rules: pa.Array) -> Counter[str | None]:
    counts: Counter[str | None] = Counter(_counts(rules))
    if rules.null_count:
        counts[None] = rules.null_count
    return counts


def _true_count(mask: pa.Array) -> int:
    return int(pc.sum(mask.cast(pa.int64())).as_py() or 0)
