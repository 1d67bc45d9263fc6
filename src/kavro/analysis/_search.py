"""Exact searches over boxes of value classes: where two rule sequences decide
differently, where one rule decides, where a missing field lets a request
through. Each search splits a box only on a comparison that some rule still
holds on part of it, so every leaf is decided alike for all its requests."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from kavro.analysis._space import (
    ABSENT, EFFECT_STRICTNESS, FALSE, SOME, TRUE, Check, Context, FieldClasses, LaidRule, bits,
    rule_status, split_check,
)

try:
    import resource
except ImportError:  # no resource module (Windows): the time budget alone holds
    resource = None  # type: ignore[assignment]


class BudgetExhausted(Exception):
    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class Budget:
    """A wall-clock and peak-memory allowance shared by every search of one question."""

    def __init__(self, seconds: float = 60.0, memory_mb: int = 1024) -> None:
        self.seconds = seconds
        self.memory_mb = memory_mb
        self.started = time.monotonic()
        self.boxes = 0

    def tick(self) -> None:
        self.boxes += 1
        if self.boxes & 255:
            return
        if time.monotonic() - self.started > self.seconds:
            raise BudgetExhausted(f"the time budget of {self.seconds:g} s ran out")
        if resource is not None and not self.boxes & 4095:
            peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            if peak_kb > self.memory_mb * 1024:
                raise BudgetExhausted(f"the memory budget of {self.memory_mb} MB ran out")


Box = list[int]


@dataclass
class Step:
    """What a sequence does on a box: the rules not false there, up to the first
    that holds on all of it (`decided` when that rule, or the default, is reached
    on the whole box)."""

    rules: list[tuple[LaidRule, int, Check | None]]

    @property
    def decided(self) -> bool:
        return not self.rules or self.rules[0][1] == TRUE

    @property
    def decider(self) -> LaidRule | None:
        return self.rules[0][0] if self.rules else None

    @property
    def reaches_default(self) -> bool:
        return not self.rules or self.rules[-1][1] != TRUE


def step(sequence: list[LaidRule], box: Box) -> Step:
    kept = []
    for laid in sequence:
        status, check = rule_status(laid, box)
        if status == FALSE:
            continue
        kept.append((laid, status, check))
        if status == TRUE:
            break
    return Step(kept)


def _empty(box: Box) -> bool:
    return any(mask == 0 for mask in box)


def _boxes(stack: list[Box], budget: Budget) -> Iterator[Box]:
    """The boxes a search pushes, last first, each charged to the budget; the
    empty ones (a split may leave a field no class) are passed over."""
    while stack:
        box = stack.pop()
        budget.tick()
        if not _empty(box):
            yield box


@dataclass
class Side:
    """One of the two sequences a pair search runs: `view` shows it the box
    (a field forced absent, say) and `key` names its rules so that equal
    keys mean equal truth on every box."""

    sequence: list[LaidRule]
    key: Callable[[LaidRule], Any]
    default: str = "allow"   # the effect when no rule decides
    view: Callable[[Box], Box] = lambda box: box


def effect_of(laid: LaidRule | None, default: str) -> str:
    """The effect of a deciding rule, or `default` when no rule decides."""
    return default if laid is None else laid.rule.effect


def pair_search(old: Side, new: Side, box: Box, budget: Budget, *, by_rule: bool,
                ) -> Iterator[tuple[Box, LaidRule | None, LaidRule | None]]:
    """Every leaf box on which the two sides decide differently (by effect, or
    also by deciding rule id with `by_rule`), with the two deciding rules."""
    stack = [box]
    for box in _boxes(stack, budget):
        left, right = step(old.sequence, old.view(box)), step(new.sequence, new.view(box))
        left_keys = [old.key(laid) for laid, _, _ in left.rules]
        right_keys = [new.key(laid) for laid, _, _ in right.rules]
        if left_keys == right_keys and left.reaches_default == right.reaches_default and (
                old.default == new.default or not left.reaches_default):
            continue
        if not by_rule:
            effects = {laid.rule.effect for laid, _, _ in left.rules + right.rules}
            if left.reaches_default:
                effects.add(old.default)
            if right.reaches_default:
                effects.add(new.default)
            if len(effects) == 1:
                continue
        if left.decided and right.decided:
            a, b = left.decider, right.decider
            if effect_of(a, old.default) != effect_of(b, new.default) or (
                    by_rule and (None if a is None else a.rule.rule_id) !=
                    (None if b is None else b.rule.rule_id)):
                yield box, a, b
            continue
        stack.extend(split_check(_split_for(left, right, left_keys, right_keys), box))


def _split_for(left: Step, right: Step, left_keys: list[Any], right_keys: list[Any]) -> Check:
    differ = next((i for i, (a, b) in enumerate(zip(left_keys, right_keys)) if a != b),
                  min(len(left_keys), len(right_keys)))
    for rules in (left.rules, right.rules):
        if differ < len(rules) and rules[differ][1] == SOME:
            return rules[differ][2]  # type: ignore[return-value]
    for rules in (left.rules, right.rules):
        for _, status, check in rules:
            if status == SOME:
                return check  # type: ignore[return-value]
    raise AssertionError("an undecided box has no comparison to split on")


def deciding_box(sequence: list[LaidRule], target: int, box: Box, budget: Budget) -> Box | None:
    """A box of requests that rule `target` of the sequence decides, or None when
    no request reaches it holding (it never holds, or earlier rules catch it all)."""
    goal = sequence[target]
    earlier = sequence[:target]
    stack = [box]
    for box in _boxes(stack, budget):
        status, split = rule_status(goal, box)
        if status == FALSE:
            continue
        caught = False
        for laid in earlier:
            earlier_status, check = rule_status(laid, box)
            if earlier_status == TRUE:
                caught = True
                break
            if earlier_status == SOME and split is None:
                split = check
        if caught:
            continue
        if split is None:
            return box
        stack.extend(reversed(split_check(split, box)))
    return None


def present_classes(classes: FieldClasses) -> int:
    """The classes of a field that hold a value of the kind it is compared as."""
    return classes.present


def escape_search(sequence: list[LaidRule], index: int, present: int, missing: int, box: Box,
                  budget: Budget, default: str,
                  ) -> Iterator[tuple[Box, LaidRule | None, list[LaidRule]]]:
    """Boxes of requests (the field at `index` left to range over `present`)
    that a stricter rule decides whatever present value the field holds, and
    that end more permissively when the field is missing: the box, the rule
    (or default) deciding without the field, and the catching rule per value."""
    box = list(box)
    box[index] = present
    places = {id(laid): place for place, laid in enumerate(sequence)}
    readers = [laid for laid in sequence if index in laid.fields]
    stack = [box]
    for box in _boxes(stack, budget):
        without = step(sequence, _at(box, index, missing))
        # Without the field, each request ends at one of these rules (or the
        # default); an escape needs a stricter rule reading the field before it.
        loosest = min((laid.rule.effect for laid, _, _ in without.rules),
                      key=EFFECT_STRICTNESS.__getitem__, default=default)
        if without.reaches_default and stricter(loosest, default):
            loosest = default
        last = len(sequence) if without.reaches_default else places[id(without.rules[-1][0])]
        if not any(stricter(laid.rule.effect, loosest) for laid in readers
                   if places[id(laid)] < last):
            continue
        if not without.decided:
            stack.extend(split_check(_first_open(without), box))
            continue
        effect = effect_of(without.decider, default)
        end = len(sequence) if without.decider is None else places[id(without.decider)]
        if not any(stricter(laid.rule.effect, effect) for laid in readers if
                   places[id(laid)] < end):
            continue  # no rule before the one deciding could catch it more strictly
        whole = step(sequence, box)
        if whole.decided:
            # One rule decides whatever present value the field holds.
            if whole.decider is not None and stricter(whole.decider.rule.effect, effect):
                yield box, without.decider, [whole.decider] * len(bits(present))
            continue
        catchers: list[LaidRule] = []
        undecided: tuple[Step, Box] | None = None
        for value_class in bits(present):
            view = _at(box, index, 1 << value_class)
            result = step(sequence, view)
            if not result.decided:
                if undecided is None:
                    undecided = (result, view)
                continue
            # A rule must catch it: a stricter policy default is no escape.
            if result.decider is None or not stricter(result.decider.rule.effect, effect):
                catchers = []
                break
            catchers.append(result.decider)
        else:
            if undecided is None:
                yield box, without.decider, catchers
                continue
            children = split_check(_first_open(undecided[0]), undecided[1])
            stack.extend(_at(child, index, present) for child in children)


def _first_open(result: Step) -> Check:
    return next(check for _, status, check in result.rules if status == SOME)  # type: ignore


def _at(box: Box, index: int, mask: int) -> Box:
    copy = list(box)
    copy[index] = mask
    return copy


def property_search(sequence: list[LaidRule], conditions: list[LaidRule], effect: str,
                    never: bool, box: Box, budget: Budget, default: str) -> Box | None:
    """A box of requests meeting the property's conditions (`when`, then
    `unless`, either left out) whose decision breaks it, or None."""
    when = next((c for c in conditions if c.rule.rule_id == "when"), None)
    unless = next((c for c in conditions if c.rule.rule_id == "unless"), None)
    stack = [box]
    for box in _boxes(stack, budget):
        result = step(sequence, box)
        if result.decided and (effect_of(result.decider, default) == effect) != never:
            continue
        split: Check | None = None
        if when is not None:
            status, check = rule_status(when, box)
            if status == FALSE:
                continue
            split = check
        if unless is not None:
            status, check = rule_status(unless, box)
            if status == TRUE:
                continue
            split = split or check
        if not result.decided:
            split = split or _first_open(result)
        if split is None:
            return box
        stack.extend(reversed(split_check(split, box)))
    return None


def default_boxes(sequence: list[LaidRule], box: Box, budget: Budget,
                  most: int) -> Iterator[Box]:
    """Up to `most` leaf boxes of requests no rule of the sequence holds for."""
    stack = [box]
    for box in _boxes(stack, budget):
        result = step(sequence, box)
        if result.decided:
            if result.decider is None:
                yield box
                most -= 1
                if most == 0:
                    return
            continue
        stack.extend(reversed(split_check(_first_open(result), box)))


def settle(sequence: list[LaidRule], box: Box) -> Box:
    """A part of the box that the sequence decides alike for all its requests."""
    while True:
        result = step(sequence, box)
        if result.decided:
            return box
        box = next(child for child in split_check(_first_open(result), box) if not _empty(child))


def decide(sequence: list[LaidRule], box: Box) -> LaidRule | None:
    """The rule that decides every request of a leaf box (None: the default)."""
    result = step(sequence, box)
    if not result.decided:
        raise AssertionError("the box is not decided alike")
    return result.decider


def stricter(a: str, b: str) -> bool:
    return EFFECT_STRICTNESS[a] > EFFECT_STRICTNESS[b]


def witness(context: Context, box: Box) -> dict[str, Any]:
    """One request of the box: the first class of each field, absent left out."""
    request: dict[str, dict[str, Any]] = {}
    if context.action is not None:
        request["action"] = {"type": context.action}
    for classes, mask in zip(context.fields, box):
        value = classes.classes[(mask & -mask).bit_length() - 1].value
        if value is ABSENT:
            continue
        domain, name = classes.key
        request.setdefault(domain, {})[name] = _plain(value)
    return request


def _plain(value: Any) -> Any:
    if isinstance(value, float) and value == value and abs(value) < 2**53 and value == int(value):
        return int(value)
    return value
