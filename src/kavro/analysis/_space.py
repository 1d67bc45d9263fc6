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
# The value each operator takes: a literal or another field, a list, a text
# literal, or nothing (a presence test).
_SCALAR_OPERATORS = frozenset({"equals", "not_equals", "greater_than", "less_than",
                               "greater_or_equal", "less_or_equal"})
_ORDER_OPERATORS = frozenset({"greater_than", "less_than", "greater_or_equal", "less_or_equal"})
_LIST_OPERATORS = frozenset({"in", "not_in"})
_AFFIX_OPERATORS = frozenset({"starts_with", "ends_with"})
_PRESENCE_OPERATORS = frozenset({"present", "absent"})
_OPERATORS = _SCALAR_OPERATORS | _LIST_OPERATORS | _AFFIX_OPERATORS | _PRESENCE_OPERATORS


class AnalysisRefused(ValueError):
    """The policy uses a form the analysis does not model; the message names it."""


FieldKey = tuple[str, str]


@dataclass(frozen=True)
class Comparison:
    lhs: FieldKey
    operator: str
    literal: Any = ABSENT          # the literal value (a tuple for a list), or ABSENT
    rhs: FieldKey | None = None   # the other field, when the value is one
    declared: str | None = None   # a presence test's field kind: "number", "text", "boolean"

    def text(self) -> str:
        if self.operator in _PRESENCE_OPERATORS:
            return f"{'.'.join(self.lhs)} {self.operator}"
        if isinstance(self.literal, tuple):
            right = "[" + ", ".join(_literal_text(v) for v in self.literal) + "]"
        else:
            right = _literal_text(self.literal) if self.rhs is None else ".".join(self.rhs)
        return f"{'.'.join(self.lhs)} {self.operator} {right}"


# A condition as the analysis reads it: a comparison, or ("all" | "any" | "not",
# its members).
Condition = Any


@dataclass(frozen=True)
class Rule:
    scope: str                 # "action", "actor" or "global"
    scope_name: str | None
    number: int                # place in its bucket, from 0
    rule_id: str
    effect: str
    kind: str                  # "atomic", "all" or "any"; "tree" for nesting or `not`
    members: tuple[Comparison, ...]   # every comparison, in document order
    # The document line the rule starts on, when the engine knows it.
    line: int | None = field(default=None, compare=False)
    # A "tree" rule's condition (see Condition).
    tree: Condition = field(default=None, compare=False)

    @property
    def place(self) -> str:
        bucket = "global" if self.scope == "global" else f"{self.scope} {self.scope_name}"
        return f"{bucket} rule #{self.number + 1}"

    @functools.cached_property
    def shape(self) -> tuple[Any, ...]:
        """What decides a request: the same shape and effect decide alike."""
        if self.kind == "tree":
            return (self.effect, self.kind, _tree_key(self.tree))
        return (self.effect, self.kind, tuple(_comparison_key(m) for m in self.members))


def _comparison_key(comparison: Comparison) -> Any:
    return (comparison.lhs, comparison.operator, _value_key(comparison.literal), comparison.rhs)


def _tree_key(condition: Condition) -> Any:
    if isinstance(condition, Comparison):
        return _comparison_key(condition)
    return (condition[0], tuple(_tree_key(member) for member in condition[1]))


def _value_key(value: Any) -> Any:
    # 1.0 and True are equal in Python but never compare equal in the engine.
    if value is ABSENT:
        return ("absent",)
    if isinstance(value, tuple):
        return ("list", tuple(_value_key(v) for v in value))
    return (type(value).__name__, repr(value))


def policy_default(engine: PyKavro) -> str:
    """The effect of a request no rule decides: the policy's default, allow
    when the engine has none to tell."""
    default = getattr(engine, "_policy_default", None)
    effect = "allow" if default is None else default()
    if effect not in EFFECT_STRICTNESS:
        raise AnalysisRefused(f"the policy default {effect!r} is not covered by the analysis")
    return str(effect)


def read_rules(engine: PyKavro) -> list[Rule]:
    """The compiled rules of `engine`, refusing any form the analysis does not model."""
    lines = _rule_lines(engine)
    kinds = _DeclaredKinds(engine)
    rules = []
    for compiled in engine._compiled_rules():
        rule = _read_rule(*compiled, kinds=kinds)
        bucket = "global" if rule.scope == "global" else f"{rule.scope}:{rule.scope_name}"
        rules.append(dataclasses.replace(rule, line=lines.get((bucket, rule.number))))
    return rules


class _DeclaredKinds:
    """The kind the schema declares for a field, as the engine's request check
    reports it: the one probe value of the field it does not call wrong."""

    _PROBES = (("text", "probe"), ("number", 1), ("boolean", True))

    def __init__(self, engine: PyKavro) -> None:
        self.engine = engine
        self.found: dict[tuple[str | None, FieldKey], str | None] = {}

    def of(self, action: str | None, key: FieldKey) -> str | None:
        if (action, key) not in self.found:
            self.found[(action, key)] = self._probe(action, key)
        return self.found[(action, key)]

    def _probe(self, action: str | None, key: FieldKey) -> str | None:
        domain, name = key
        path = f"{domain}.{name}"
        for kind, probe in self._PROBES:
            request: dict[str, dict[str, Any]] = {domain: {name: probe}}
            if action is not None:
                request.setdefault("action", {})["type"] = action
            problems = self.engine.check_request(request)
            if not any(problem["path"] == path for problem in problems):
                return kind
        return None


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
               condition: Any, *, kinds: _DeclaredKinds) -> Rule:
    def refuse(what: str) -> AnalysisRefused:
        return AnalysisRefused(f"rule {rule_id!r}: {what} is not covered by the analysis")

    def comparison(member: Any) -> Comparison:
        domain, name, operator, value = member
        if operator not in _OPERATORS:
            raise refuse(f"the operator {operator!r}")
        form = value[0] if isinstance(value, tuple) and value else value
        if operator in _PRESENCE_OPERATORS:
            if value is not None:
                raise refuse(f"the operator {operator!r} with a value")
            if domain == "action" and scope != "action":
                # The declared kind would depend on the request's action.
                raise refuse(f"the operator {operator!r} on action field {name!r} outside an "
                             "action's rules")
            declared = kinds.of(scope_name if scope == "action" else None, (domain, name))
            if declared is None:
                raise refuse(f"the operator {operator!r} on a field of no known type "
                             f"({domain}.{name})")
            return Comparison((domain, name), operator, declared=declared)
        if form == "literal" and operator not in _LIST_OPERATORS:
            if _literal_kind(value[1]) is None or (
                    operator in _AFFIX_OPERATORS and not isinstance(value[1], str)):
                raise refuse(f"a literal of type {type(value[1]).__name__!r} "
                             f"(of operator {operator!r})")
            return Comparison((domain, name), operator, literal=value[1])
        if form == "subject" and operator in _SCALAR_OPERATORS:
            return Comparison((domain, name), operator, rhs=(value[1], value[2]))
        if form == "list" and operator in _LIST_OPERATORS:
            items = tuple(value[1])
            if not items or any(_literal_kind(item) is None for item in items):
                raise refuse(f"the list {items!r} (of operator {operator!r})")
            return Comparison((domain, name), operator, literal=items)
        raise refuse(f"the value form {form!r} (of operator {operator!r})")

    def tree(node: Any) -> Condition:
        if not isinstance(node, tuple) or len(node) not in (2, 4):
            raise refuse(f"the condition shape {node!r}")
        if len(node) == 4:
            return comparison(node)
        kind, members = node
        if kind not in ("atomic", "all", "any", "not"):
            raise refuse(f"the condition form {kind!r}")
        if kind == "not" and len(members) != 1:
            raise refuse(f"a 'not' of {len(members)} conditions")
        if kind == "atomic":
            if len(members) != 1 or len(members[0]) != 4:
                raise refuse(f"the condition shape {node!r}")
            return comparison(members[0])
        return (kind, tuple(tree(member) for member in members))

    if scope not in ("action", "actor", "global"):
        raise refuse(f"the scope {scope!r}")
    if effect not in EFFECT_STRICTNESS:
        raise refuse(f"the effect {effect!r}")
    read = tree(condition)
    if isinstance(read, Comparison):
        return Rule(scope, scope_name, number, rule_id, effect, "atomic", (read,))
    kind, members = read
    if kind in ("all", "any") and all(isinstance(m, Comparison) for m in members):
        return Rule(scope, scope_name, number, rule_id, effect, kind, members)
    return Rule(scope, scope_name, number, rule_id, effect, "tree", tuple(_leaves(read)),
                tree=read)


def _leaves(condition: Condition) -> list[Comparison]:
    if isinstance(condition, Comparison):
        return [condition]
    return [leaf for member in condition[1] for leaf in _leaves(member)]


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


def holds(operator: str, left: Any, right: Any, declared: str | None = None) -> bool:
    """One comparison as the evaluator makes it: absent or mixed kinds are false,
    numbers follow IEEE-754, texts compare exactly, only numbers have an order;
    a list holds a value equal to a member, `not_in` one present and equal to
    none; presence is a value of the declared kind."""
    if operator == "present":
        return _kind(left) == declared
    if operator == "absent":
        return _kind(left) != declared
    if operator == "in":
        return any(holds("equals", left, member) for member in right)
    if operator == "not_in":
        return all(holds("not_equals", left, member) for member in right)
    kind = _kind(left)
    if kind == "absent" or kind != _kind(right):
        return False
    if operator == "equals":
        return bool(left == right)
    if operator == "not_equals":
        return bool(left != right)
    if operator == "starts_with":
        return kind == "text" and left.startswith(right)
    if operator == "ends_with":
        return kind == "text" and left.endswith(right)
    if kind != "number":
        return False
    if operator == "greater_than":
        return bool(left > right)
    if operator == "less_than":
        return bool(left < right)
    if operator == "greater_or_equal":
        return bool(left >= right)
    if operator == "less_or_equal":
        return bool(left <= right)
    raise AssertionError(f"no model of the operator {operator!r}")


class _Members:
    """A list's members, for `in` and `not_in` by one probe: as `holds` decides
    them member by member, values are equal within one kind (Python's equality
    and hash already make -0.0 equal 0 and 1.0 equal 1), and NaN equals nothing."""

    def __init__(self, members: tuple[Any, ...]) -> None:
        self.kinds = {_kind(member) for member in members}
        self.keys = {_equality_key(member) for member in members if not _is_nan(member)}

    def holds(self, operator: str, value: Any) -> bool:
        kind = _kind(value)
        equal = not _is_nan(value) and kind != "absent" and _equality_key(value) in self.keys
        if operator == "in":
            return equal
        # not_in: unequal to every member, each of the value's kind.
        return self.kinds == {kind} and not equal


def _is_nan(value: Any) -> bool:
    return _kind(value) == "number" and math.isnan(value)


def _equality_key(value: Any) -> tuple[str, Any]:
    return (_kind(value), value)


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
    # An other-text class's longest listed prefix and suffix (None: none of them).
    tag: tuple[str | None, str | None] = (None, None)


@dataclass
class FieldClasses:
    key: FieldKey
    classes: list[ValueClass]
    missing: int          # mask of "absent" (and "of another kind" when merged)
    missing_text: str = "absent"
    present: int = 0      # mask of the values of the kind the field is compared as
    # The literals of starts_with and ends_with, which split the other texts.
    prefixes: tuple[str, ...] = ()
    suffixes: tuple[str, ...] = ()

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


@dataclass
class Literals:
    """What a field (or its group) is compared with."""

    values: list[Any] = field(default_factory=list)
    kinds: set[str] = field(default_factory=set)   # declared kinds of presence tests
    prefixes: set[str] = field(default_factory=set)
    suffixes: set[str] = field(default_factory=set)

    def add(self, other: Literals) -> None:
        self.values += other.values
        self.kinds |= other.kinds
        self.prefixes |= other.prefixes
        self.suffixes |= other.suffixes


def _longest(affixes: tuple[str, ...], text: str, prefix: bool) -> str | None:
    found = [a for a in affixes if (text.startswith(a) if prefix else text.endswith(a))]
    return max(found, key=len) if found else None


def text_tag(classes: FieldClasses, text: str) -> tuple[str | None, str | None]:
    return (_longest(classes.prefixes, text, True), _longest(classes.suffixes, text, False))


def _other_texts(texts: list[str], prefixes: tuple[str, ...], suffixes: tuple[str, ...],
                 group_size: int) -> list[ValueClass]:
    """The texts no equality names, cut by their longest listed prefix and
    suffix: a text's listed prefixes are those of its longest one (they all
    start it, so each starts the longest), and likewise its suffixes; so these
    two decide every starts_with and ends_with. Each class is given texts
    `prefix + fresh... + suffix` with a character no literal holds, which start
    and end with exactly the chosen ones and equal no literal."""
    used = set("".join(texts) + "".join(prefixes) + "".join(suffixes))
    fresh = next(c for c in "_-~+=" + "".join(chr(0x100 + i) for i in range(len(used) + 1))
                 if c not in used)
    classes = []
    seen = set()
    for prefix in (None, *prefixes):
        for suffix in (None, *suffixes):
            sample = (prefix or "") + fresh + (suffix or "")
            tag = (_longest(prefixes, sample, True), _longest(suffixes, sample, False))
            if tag in seen:
                continue  # "" among the prefixes: no text lacks every one
            seen.add(tag)
            for index in range(group_size):
                value = (prefix or "") + fresh * (index + 1) + (suffix or "")
                classes.append(ValueClass(value, "other-text", tag=tag))
    return classes


def build_field(key: FieldKey, literals: Literals | list[Any], group_size: int,
                ordered: bool = False) -> FieldClasses:
    """The classes of one field from the literals it (or its group) is compared
    with; `ordered` when it (or its group) is compared by order (a number)."""
    if not isinstance(literals, Literals):
        literals = Literals(list(literals))
    values = literals.values
    numbers = {float(v) for v in values if _kind(v) == "number" and not math.isnan(v)}
    texts = sorted({v for v in values if _kind(v) == "text"})
    prefixes, suffixes = tuple(sorted(literals.prefixes)), tuple(sorted(literals.suffixes))
    kinds = {_kind(v) for v in values} | literals.kinds | (
        {"text"} if prefixes or suffixes else set())
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
        if prefixes or suffixes:
            classes += _other_texts(texts, prefixes, suffixes, group_size)
        else:
            fresh = [f"other-{i}" for i in range(len(texts) + group_size + 1)]
            literal = set(texts)
            for text in [t for t in fresh if t not in literal][:group_size]:
                classes.append(ValueClass(text, "other-text"))
    if grouped or "boolean" in kinds:
        classes += [ValueClass(False, "boolean"), ValueClass(True, "boolean")]
    compared_as = kinds | ({"number"} if ordered else set())
    families = {"number": ("number", "gap", "nan"), "text": ("text", "other-text"),
                "boolean": ("boolean",)}
    wanted = {k for kind in (compared_as or families) for k in families[kind]}
    present = sum(1 << bit for bit, c in enumerate(classes) if c.kind in wanted)
    return FieldClasses(key, classes, 1, missing_text, present, prefixes, suffixes)


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
    # A "tree" rule's condition over its checks: a Check, or ("all" | "any" |
    # "not", members).
    tree: Any = None

    def __post_init__(self) -> None:
        self.settling = TRUE if self.rule.kind == "any" else FALSE
        self.plan = tuple((c.left, c.mask, None if c.right < 0 else c, c) for c in self.checks)


class Context:
    """The fields, classes and laid-out rule sequences of one kind of request:
    those of one action (its bucket, then the global rules) or of none."""

    def __init__(self, action: str | None, sequences: list[list[Rule]]) -> None:
        self.action = action
        literals: dict[FieldKey, Literals] = {}
        links: dict[FieldKey, set[FieldKey]] = {}
        self_compared: set[FieldKey] = set()
        ordered: set[FieldKey] = set()
        for sequence in sequences:
            for rule in sequence:
                for comparison in rule.members:
                    if comparison.operator in _ORDER_OPERATORS:
                        ordered.add(comparison.lhs)
                        if comparison.rhs is not None:
                            ordered.add(comparison.rhs)
                    seen = literals.setdefault(comparison.lhs, Literals())
                    links.setdefault(comparison.lhs, {comparison.lhs})
                    if comparison.operator in _PRESENCE_OPERATORS:
                        seen.kinds.add(comparison.declared or "")
                    elif comparison.operator == "starts_with":
                        seen.prefixes.add(comparison.literal)
                    elif comparison.operator == "ends_with":
                        seen.suffixes.add(comparison.literal)
                    elif comparison.operator in _LIST_OPERATORS:
                        seen.values += comparison.literal
                    elif comparison.rhs is None:
                        seen.values.append(comparison.literal)
                    elif comparison.rhs == comparison.lhs:
                        self_compared.add(comparison.lhs)
                    else:
                        literals.setdefault(comparison.rhs, Literals())
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
            pooled = Literals()
            for member in sorted(group):
                pooled.add(literals[member])
            size = max(len(group), 2) if key in self_compared else len(group)
            self.fields.append(build_field(key, pooled, size, bool(group & ordered)))
        self._masks: dict[tuple[Any, ...], int] = {}
        self._relations: dict[tuple[int, str, int], list[int]] = {}
        self.sequences = [[self._lay(rule) for rule in sequence] for sequence in sequences]

    def _lay(self, rule: Rule) -> LaidRule:
        checks = [self._check(comparison) for comparison in rule.members]
        fields = frozenset(i for c in checks for i in ((c.left,) if c.right < 0 else
                                                      (c.left, c.right)))
        laid = LaidRule(rule, checks, fields)
        if rule.kind == "tree":
            # The leaves are laid out in document order, as rule.members lists them.
            leaves = iter(checks)

            def lay(node: Condition) -> Any:
                if isinstance(node, Comparison):
                    return next(leaves)
                return (node[0], tuple(lay(member) for member in node[1]))
            laid.tree = lay(rule.tree)
        return laid

    def _check(self, comparison: Comparison) -> Check:
        left = self.index[comparison.lhs]
        if comparison.rhs is None or comparison.rhs == comparison.lhs:
            return Check(comparison, left, mask=self._mask(comparison, left))
        right = self.index[comparison.rhs]
        return Check(comparison, left, right=right,
                     relation=self._relation(comparison.operator, left, right))

    def _mask(self, comparison: Comparison, left: int) -> int:
        # Policies repeat comparisons (the same field against the same literal):
        # each is laid out once.
        key = (left, comparison.operator, _value_key(comparison.literal), comparison.rhs)
        mask = self._masks.get(key)
        if mask is None:
            mask = 0
            classes = self.fields[left].classes
            if comparison.operator in _LIST_OPERATORS:
                # Lists may hold thousands of members, and their field as many
                # classes: one probe a class.
                members = _Members(comparison.literal)
                for bit, value_class in enumerate(classes):
                    if members.holds(comparison.operator, value_class.value):
                        mask |= 1 << bit
            else:
                for bit, value_class in enumerate(classes):
                    right = comparison.literal if comparison.rhs is None else value_class.value
                    if holds(comparison.operator, value_class.value, right, comparison.declared):
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


def _tree_status(node: Any, box: list[int]) -> tuple[int, Check | None]:
    if isinstance(node, Check):
        status = check_status(node, box)
        return status, (node if status == SOME else None)
    kind, members = node
    if kind == "not":
        status, check = _tree_status(members[0], box)
        return (SOME if status == SOME else TRUE - status), check
    settling = TRUE if kind == "any" else FALSE
    undecided: Check | None = None
    for member in members:
        status, check = _tree_status(member, box)
        if status == settling:
            return settling, None
        if status == SOME and undecided is None:
            undecided = check
    return (TRUE - settling, None) if undecided is None else (SOME, undecided)


def rule_status(rule: LaidRule, box: list[int]) -> tuple[int, Check | None]:
    """TRUE, FALSE or SOME on the box, and a comparison to split on when SOME."""
    if rule.tree is not None:
        return _tree_status(rule.tree, box)
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
        tag = text_tag(classes, value)
        fresh = [bit for bit, c in enumerate(classes.classes)
                 if c.kind == "other-text" and c.tag == tag]
        if fresh:
            literal_texts = {c.value for c in classes.classes if c.kind == "text"}
            others = list(dict.fromkeys(v for v in group if _kind(v) == "text"
                                        and v not in literal_texts
                                        and text_tag(classes, v) == tag))
            return fresh[others.index(value)] if len(fresh) > 1 else fresh[0]
    return 0  # absent, or a kind no comparison of the field can match
