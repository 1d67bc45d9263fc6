"""The rules of a built engine and the finite value classes of the fields they read.

A request reaches one bucket (by its action type) and then the global rules; in
that context every field the rules read is cut into classes whose members no
comparison can tell apart: each literal, the gaps between literals, NaN, the
infinities, and "absent or of another kind". Fields compared with each other
keep, per gap and per kind, as many distinct values as their group has fields,
so that every order and equality between them stays possible. A box gives each
field a set of classes (a bit mask); a rule holds on all, none or some of it.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from dataclasses import dataclass, field
from typing import Any

from kavro._kavro import PyKavro

EFFECT_STRICTNESS = {"allow": 0, "require_approval": 1, "block": 2}
ABSENT: Any = object()

TRUE, FALSE, SOME = 1, 0, 2

_KIND_NAMES = {"number": "number", "text": "string", "boolean": "boolean"}
# `in` and `not_in` are words of the language that no field type accepts yet:
# refused until their meaning over lists is modelled.
_OPERATORS = frozenset({"equals", "not_equals", "greater_than", "less_than"})


class AnalysisRefused(ValueError):
    """The policy uses a form the analysis does not model; the message names it."""


FieldKey = tuple[str, str]


@dataclass(frozen=True)
class Comparison:
    lhs: FieldKey
    operator: str
    literal: Any = ABSENT          # the literal value, or ABSENT for a field
    rhs: FieldKey | None = None   # the other field, when the value is one

    def text(self) -> str:
        right = _literal_text(self.literal) if self.rhs is None else ".".join(self.rhs)
        return f"{'.'.join(self.lhs)} {self.operator} {right}"


@dataclass(frozen=True)
class Rule:
    scope: str                 # "action", "actor" or "global"
    scope_name: str | None
    number: int                # place in its bucket, from 0
    rule_id: str
    effect: str
    kind: str                  # "atomic", "all" or "any"
    members: tuple[Comparison, ...]
    # The document line the rule starts on, when the engine knows it.
    line: int | None = field(default=None, compare=False)

    @property
    def place(self) -> str:
        bucket = "global" if self.scope == "global" else f"{self.scope} {self.scope_name}"
        return f"{bucket} rule #{self.number + 1}"

    @functools.cached_property
    def shape(self) -> tuple[Any, ...]:
        """What decides a request: the same shape and effect decide alike."""
        return (self.effect, self.kind, tuple(
            (m.lhs, m.operator, _value_key(m.literal), m.rhs) for m in self.members))


def _value_key(value: Any) -> Any:
    # 1.0 and True are equal in Python but never compare equal in the engine.
    return ("absent",) if value is ABSENT else (type(value).__name__, repr(value))


def read_rules(engine: PyKavro) -> list[Rule]:
    """The compiled rules of `engine`, refusing any form the analysis does not model."""
    default = getattr(engine, "_policy_default", None)
    if default is not None and default() != "allow":
        raise AnalysisRefused(f"the policy default {default()!r} is not covered by the "
                              "analysis (only a default of 'allow' is)")
    lines = _rule_lines(engine)
    rules = []
    for compiled in engine._compiled_rules():
        rule = _read_rule(*compiled)
        bucket = "global" if rule.scope == "global" else f"{rule.scope}:{rule.scope_name}"
        rules.append(dataclasses.replace(rule, line=lines.get((bucket, rule.number))))
    return rules


def _rule_lines(engine: PyKavro) -> dict[tuple[str, int], int | None]:
    """The line of each rule by its bucket ("action:refund", "global") and its
    place there: the engine lists the rules in document order, each with its
    bucket, and ids need not be unique."""
    listed = getattr(engine, "rules", None)
    if listed is None:
        return {}
    counts: dict[str, int] = {}
    lines = {}
    for record in listed():
        place = counts.get(record.scope, 0)
        counts[record.scope] = place + 1
        lines[(record.scope, place)] = record.line
    return lines


def _read_rule(scope: str, scope_name: str | None, number: int, rule_id: str, effect: str,
               condition: Any) -> Rule:
    def refuse(what: str) -> AnalysisRefused:
        return AnalysisRefused(f"rule {rule_id!r}: {what} is not covered by the analysis")

    if scope not in ("action", "actor", "global"):
        raise refuse(f"the scope {scope!r}")
    if effect not in EFFECT_STRICTNESS:
        raise refuse(f"the effect {effect!r}")
    if not isinstance(condition, tuple) or len(condition) != 2:
        raise refuse(f"the condition shape {condition!r}")
    kind, members = condition
    if kind not in ("atomic", "all", "any"):
        raise refuse(f"the condition form {kind!r}")
    comparisons = []
    for member in members:
        if len(member) != 4:
            # A condition inside a condition: ("any", (...)) within an `all`.
            raise refuse(f"the nested condition form {member[0]!r}")
        domain, name, operator, value = member
        if operator not in _OPERATORS:
            raise refuse(f"the operator {operator!r}")
        if not isinstance(value, tuple) or not value:
            raise refuse(f"the value form {value!r} (of operator {operator!r})")
        if value[0] == "literal":
            if _literal_kind(value[1]) is None:
                raise refuse(f"a literal of type {type(value[1]).__name__!r}")
            comparisons.append(Comparison((domain, name), operator, literal=value[1]))
        elif value[0] == "subject":
            comparisons.append(Comparison((domain, name), operator, rhs=(value[1], value[2])))
        else:
            raise refuse(f"the value form {value[0]!r}")
    return Rule(scope, scope_name, number, rule_id, effect, kind, tuple(comparisons))


def _literal_kind(value: Any) -> str | None:
    """The kind of a literal the classes model, or None for any other value."""
    if isinstance(value, (bool, str)):
        return _kind(value)
    return "number" if isinstance(value, (int, float)) else None


def _kind(value: Any) -> str:
    if value is ABSENT:
        return "absent"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, str):
        return "text"
    return "number"


def holds(operator: str, left: Any, right: Any) -> bool:
    """One comparison as the evaluator makes it: absent or mixed kinds are false,
    numbers follow IEEE-754, texts compare exactly, only numbers have an order."""
    kind = _kind(left)
    if kind == "absent" or kind != _kind(right):
        return False
    if operator == "equals":
        return bool(left == right)
    if operator == "not_equals":
        return bool(left != right)
    if kind != "number":
        return False
    if operator == "greater_than":
        return bool(left > right)
    if operator == "less_than":
        return bool(left < right)
    raise AssertionError(f"no model of the operator {operator!r}")


def _literal_text(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return repr(int(value)) if value == int(value) and abs(value) < 2**53 else repr(value)


@dataclass
class ValueClass:
    value: Any           # a member, used in witnesses
    kind: str            # "absent", "missing", "number", "gap", "nan", "text", "other-text", "boolean"
    order: float = 0.0   # position among the number classes
    low: float = 0.0     # a gap's bounds (open)
    high: float = 0.0


@dataclass
class FieldClasses:
    key: FieldKey
    classes: list[ValueClass]
    missing: int          # mask of "absent" (and "of another kind" when merged)
    missing_text: str = "absent"
    present: int = 0      # mask of the values of the kind the field is compared as

    @property
    def full(self) -> int:
        return (1 << len(self.classes)) - 1


def _gap_values(low: float, high: float, count: int) -> list[float]:
    """Up to `count` distinct doubles strictly between low and high, ascending:
    round numbers where they exist, neighbouring doubles where they do not."""
    if math.isinf(low) and math.isinf(high):
        seeds = [float(i) for i in range(count)]
    elif math.isinf(low):
        seeds = [high - float(i + 1) for i in range(count)]
    elif math.isinf(high):
        seeds = [low + float(i + 1) for i in range(count)]
    else:
        seeds = [low + (high - low) * (i + 1) / (count + 1) for i in range(count)]
    values = {v for v in seeds if low < v < high}
    walk = low if not math.isinf(low) else high
    toward = high if not math.isinf(low) else low
    while len(values) < count:
        walk = math.nextafter(walk, toward)
        if not low < walk < high:
            break
        values.add(walk)
    return sorted(values)


def build_field(key: FieldKey, literals: list[Any], group_size: int,
                ordered: bool = False) -> FieldClasses:
    """The classes of one field from the literals it (or its group) is compared
    with; `ordered` when it (or its group) is compared by order (a number)."""
    numbers = {float(v) for v in literals if _kind(v) == "number" and not math.isnan(v)}
    texts = sorted({v for v in literals if _kind(v) == "text"})
    kinds = {_kind(v) for v in literals}
    grouped = group_size > 1
    classes: list[ValueClass] = []
    if grouped:
        classes.append(ValueClass(ABSENT, "absent"))
        missing_text = "absent"
    else:
        classes.append(ValueClass(ABSENT, "missing"))
        names = [_KIND_NAMES[k] for k in ("number", "text", "boolean") if k in kinds]
        missing_text = ("absent or not a " + " or ".join(names)) if names else \
            "absent or any value"
    if grouped or "number" in kinds:
        points = sorted(numbers | {-math.inf, math.inf})
        order = 0
        for index, point in enumerate(points):
            if index:
                low = points[index - 1]
                for value in _gap_values(low, point, group_size):
                    classes.append(ValueClass(value, "gap", order, low, point))
                    order += 1
            classes.append(ValueClass(0.0 if point == 0 else point, "number", order, point, point))
            order += 1
        classes.append(ValueClass(math.nan, "nan"))
    if grouped or "text" in kinds:
        for text in texts:
            classes.append(ValueClass(text, "text"))
        fresh = [f"other-{i}" for i in range(len(texts) + group_size + 1)]
        for text in [t for t in fresh if t not in set(texts)][:group_size]:
            classes.append(ValueClass(text, "other-text"))
    if grouped or "boolean" in kinds:
        classes += [ValueClass(False, "boolean"), ValueClass(True, "boolean")]
    compared_as = kinds | ({"number"} if ordered else set())
    families = {"number": ("number", "gap", "nan"), "text": ("text", "other-text"),
                "boolean": ("boolean",)}
    wanted = {k for kind in (compared_as or families) for k in families[kind]}
    present = sum(1 << bit for bit, c in enumerate(classes) if c.kind in wanted)
    return FieldClasses(key, classes, 1, missing_text, present)


@dataclass
class Check:
    """One comparison laid out over a context's fields."""

    comparison: Comparison
    left: int
    mask: int = 0                    # classes of `left` for which it holds (literal value)
    right: int = -1                  # the other field's index, when the value is a field
    relation: list[int] = field(default_factory=list)  # per left class: right classes it holds for


@dataclass
class LaidRule:
    rule: Rule
    checks: list[Check]
    fields: frozenset[int]
    # For rule_status: the status one member settles the rule with (TRUE for
    # an `any`, FALSE otherwise), and per check (left, mask, the check when
    # it compares two fields, the check), unpacked faster than attributes.
    settling: int = field(init=False)
    plan: tuple[tuple[int, int, Check | None, Check], ...] = field(init=False)

    def __post_init__(self) -> None:
        self.settling = TRUE if self.rule.kind == "any" else FALSE
        self.plan = tuple((c.left, c.mask, None if c.right < 0 else c, c) for c in self.checks)


class Context:
    """The fields, classes and laid-out rule sequences of one kind of request:
    those of one action (its bucket, then the global rules) or of none."""

    def __init__(self, action: str | None, sequences: list[list[Rule]]) -> None:
        self.action = action
        literals: dict[FieldKey, list[Any]] = {}
        links: dict[FieldKey, set[FieldKey]] = {}
        self_compared: set[FieldKey] = set()
        ordered: set[FieldKey] = set()
        for sequence in sequences:
            for rule in sequence:
                for comparison in rule.members:
                    if comparison.operator in ("greater_than", "less_than"):
                        ordered.add(comparison.lhs)
                        if comparison.rhs is not None:
                            ordered.add(comparison.rhs)
                    literals.setdefault(comparison.lhs, [])
                    links.setdefault(comparison.lhs, {comparison.lhs})
                    if comparison.rhs is None:
                        literals[comparison.lhs].append(comparison.literal)
                    elif comparison.rhs == comparison.lhs:
                        self_compared.add(comparison.lhs)
                    else:
                        literals.setdefault(comparison.rhs, [])
                        links.setdefault(comparison.rhs, {comparison.rhs})
                        links[comparison.lhs].add(comparison.rhs)
                        links[comparison.rhs].add(comparison.lhs)
        groups = _groups(links)
        self.groups = groups
        self.keys = sorted(literals)
        self.index = {key: i for i, key in enumerate(self.keys)}
        self.fields: list[FieldClasses] = []
        for key in self.keys:
            group = groups[key]
            if key == ("action", "type") and action is not None:
                # The bucket was chosen by this very value.
                self.fields.append(FieldClasses(key, [ValueClass(action, "text")], 0))
                continue
            pooled = [v for member in group for v in literals[member]] if len(group) > 1 \
                else literals[key]
            size = max(len(group), 2) if key in self_compared else len(group)
            self.fields.append(build_field(key, pooled, size, bool(group & ordered)))
        self._masks: dict[tuple[Any, ...], int] = {}
        self._relations: dict[tuple[int, str, int], list[int]] = {}
        self.sequences = [[self._lay(rule) for rule in sequence] for sequence in sequences]

    def _lay(self, rule: Rule) -> LaidRule:
        checks = []
        for comparison in rule.members:
            left = self.index[comparison.lhs]
            if comparison.rhs is None or comparison.rhs == comparison.lhs:
                checks.append(Check(comparison, left, mask=self._mask(comparison, left)))
            else:
                right = self.index[comparison.rhs]
                checks.append(Check(comparison, left, right=right,
                                    relation=self._relation(comparison.operator, left, right)))
        fields = frozenset(i for c in checks for i in ((c.left,) if c.right < 0 else
                                                      (c.left, c.right)))
        return LaidRule(rule, checks, fields)

    def _mask(self, comparison: Comparison, left: int) -> int:
        # Policies repeat comparisons (the same field against the same literal):
        # each is laid out once.
        key = (left, comparison.operator, _value_key(comparison.literal), comparison.rhs)
        mask = self._masks.get(key)
        if mask is None:
            mask = 0
            for bit, value_class in enumerate(self.fields[left].classes):
                right = comparison.literal if comparison.rhs is None else value_class.value
                if holds(comparison.operator, value_class.value, right):
                    mask |= 1 << bit
            self._masks[key] = mask
        return mask

    def _relation(self, operator: str, left: int, right: int) -> list[int]:
        key = (left, operator, right)
        relation = self._relations.get(key)
        if relation is None:
            relation = []
            for left_class in self.fields[left].classes:
                row = 0
                for bit, right_class in enumerate(self.fields[right].classes):
                    if holds(operator, left_class.value, right_class.value):
                        row |= 1 << bit
                relation.append(row)
            self._relations[key] = relation
        return relation

    def full_box(self) -> list[int]:
        return [f.full for f in self.fields]


def _groups(links: dict[FieldKey, set[FieldKey]]) -> dict[FieldKey, frozenset[FieldKey]]:
    found: dict[FieldKey, frozenset[FieldKey]] = {}
    for start in links:
        if start in found:
            continue
        seen, todo = {start}, [start]
        while todo:
            for other in links[todo.pop()]:
                if other not in seen:
                    seen.add(other)
                    todo.append(other)
        group = frozenset(seen)
        for member in group:
            found[member] = group
    return found


def bits(mask: int) -> list[int]:
    out = []
    while mask:
        low = mask & -mask
        out.append(low.bit_length() - 1)
        mask ^= low
    return out


def check_status(check: Check, box: list[int]) -> int:
    left = box[check.left]
    if check.right < 0:
        held = left & check.mask
        return TRUE if held == left else FALSE if held == 0 else SOME
    right = box[check.right]
    seen_true = seen_false = False
    for bit in bits(left):
        held = check.relation[bit] & right
        if held == right:
            seen_true = True
        elif held == 0:
            seen_false = True
        else:
            return SOME
        if seen_true and seen_false:
            return SOME
    return TRUE if seen_true else FALSE


def split_check(check: Check, box: list[int]) -> list[list[int]]:
    """Boxes covering `box` exactly, on each of which `check` moves toward all or none."""
    left = box[check.left]
    if check.right < 0:
        return [_with(box, check.left, left & check.mask), _with(box, check.left, left & ~check.mask)]
    right = box[check.right]
    classes = bits(left)
    if len(classes) == 1:
        row = check.relation[classes[0]]
        return [_with(box, check.right, right & row), _with(box, check.right, right & ~row)]
    groups: dict[int, int] = {}
    for bit in classes:
        held = check.relation[bit] & right
        status = TRUE if held == right else FALSE if held == 0 else SOME
        groups[status] = groups.get(status, 0) | 1 << bit
    if len(groups) == 1:
        first = left & -left
        return [_with(box, check.left, first), _with(box, check.left, left & ~first)]
    return [_with(box, check.left, part) for part in groups.values()]


def _with(box: list[int], index: int, mask: int) -> list[int]:
    copy = list(box)
    copy[index] = mask
    return copy


def rule_status(rule: LaidRule, box: list[int]) -> tuple[int, Check | None]:
    """TRUE, FALSE or SOME on the box, and a comparison to split on when SOME."""
    # One member settles an `any` when it holds everywhere, an `all` (or a
    # single comparison) when it fails everywhere.
    settling = rule.settling
    undecided: Check | None = None
    for left_index, mask, pair, check in rule.plan:
        if pair is None:  # inlined check_status: this loop is the searches' hot path
            left = box[left_index]
            held = left & mask
            status = TRUE if held == left else FALSE if held == 0 else SOME
        else:
            status = check_status(pair, box)
        if status == settling:
            return settling, None
        if status == SOME and undecided is None:
            undecided = check
    return (TRUE - settling, None) if undecided is None else (SOME, undecided)


def classify(context: Context, request: dict[str, Any]) -> list[int]:
    """The class of each field of the context that `request` falls in; for fields
    compared with each other, the one keeping their order and equalities."""
    values = []
    for classes in context.fields:
        domain, name = classes.key
        part = request.get(domain)
        value = part.get(name, ABSENT) if isinstance(part, dict) else ABSENT
        if isinstance(value, int) and not isinstance(value, bool):
            value = float(value)
        values.append(value)
    found = []
    for index, classes in enumerate(context.fields):
        group = context.groups.get(classes.key, frozenset({classes.key}))
        found.append(_class_of(classes, values[index], [
            values[i] for i, other in enumerate(context.fields) if other.key in group]))
    return found


def _class_of(classes: FieldClasses, value: Any, group: list[Any]) -> int:
    kind = _kind(value)
    for bit, value_class in enumerate(classes.classes):
        if value_class.kind == "number" and kind == "number" and value == value_class.value:
            return bit
        if value_class.kind == "text" and kind == "text" and value == value_class.value:
            return bit
        if value_class.kind == "boolean" and kind == "boolean" and value is value_class.value:
            return bit
        if value_class.kind == "nan" and kind == "number" and math.isnan(value):
            return bit
    if kind == "number" and not math.isnan(value):
        gap = [bit for bit, c in enumerate(classes.classes)
               if c.kind == "gap" and c.low < value < c.high]
        if gap:
            low, high = classes.classes[gap[0]].low, classes.classes[gap[0]].high
            inside = sorted({v for v in group if _kind(v) == "number" and low < v < high})
            return gap[inside.index(value)] if len(gap) > 1 else gap[0]
    if kind == "text":
        fresh = [bit for bit, c in enumerate(classes.classes) if c.kind == "other-text"]
        if fresh:
            literal_texts = {c.value for c in classes.classes if c.kind == "text"}
            others = list(dict.fromkeys(v for v in group if _kind(v) == "text"
                                        and v not in literal_texts))
            return fresh[others.index(value)] if len(fresh) > 1 else fresh[0]
    return 0  # absent, or a kind no comparison of the field can match
