"""Exact answers over every request a policy can receive.

`compare(old, new)` finds every region of requests two engines decide
differently; `health(engine)` finds rules that never decide, global rules an
action's rules always pre-empt, and escapes (a block or require_approval rule
that a request avoids because a field is absent). The analysis works on the
compiled rules the engine hands out and cuts each field's values into finitely
many classes that no comparison tells apart, so its answers are exact; each
answer carries a witness request that the engine itself has decided before it
is returned. When the budget runs out the answer is "unknown" together with
what was established by then.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any, Literal

from kavro._kavro import PolicyError, PyKavro
from kavro.analysis._describe import describe_box
from kavro.analysis._search import (
    Box, Budget, BudgetExhausted, Side, decide, deciding_box, default_boxes, escape_search,
    pair_search, present_classes, property_search, settle, stricter, witness,
)
from kavro.analysis._space import (
    EFFECT_STRICTNESS, AnalysisRefused, Context, LaidRule, Rule, bits, classify, policy_default,
    read_rules,
)

__all__ = ["AnalysisRefused", "Comparison", "Decision", "Finding", "Health", "PropertyResult",
           "Region", "Rule", "WitnessRejected", "compare", "compiled_rules", "health", "prove",
           "reaching_request", "weigh"]

DEFAULT_SECONDS = 60.0
DEFAULT_MEMORY_MB = 1024


class WitnessRejected(AssertionError):
    """The engine decided a witness otherwise than the analysis: a bug in the analysis."""


@dataclass(frozen=True)
class Decision:
    effect: str
    rule_id: str | None
    place: str | None      # "action refund rule #2", "global rule #1"; None for the default
    line: int | None = None  # the deciding rule's line in its document

    def text(self, where: Callable[[int], str] | None = None) -> str:
        """"block by r (action refund rule #1)"; with `where`, which turns a
        line into a position ("old.yaml:3:5"), the rule's position before its place."""
        if self.rule_id is None:
            return self.effect
        at = "" if where is None or self.line is None else f" at {where(self.line)}"
        return f"{self.effect} by {self.rule_id}{at} ({self.place})"

    def as_json(self) -> dict[str, Any]:
        return {"effect": self.effect, "matched_rule": self.rule_id, "place": self.place,
                "line": self.line}


@dataclass(frozen=True)
class Region:
    """Requests decided `old` by one engine and `new` by the other: those of
    `action` (None: an action with rules in neither) whose fields meet `constraints`."""

    action: str | None
    old: Decision
    new: Decision
    constraints: dict[str, str]
    witness: dict[str, Any]
    # The region as class masks over its context's fields (kavro.analysis internals).
    box: tuple[int, ...] = field(default=(), repr=False, compare=False)

    @property
    def more_permissive(self) -> bool:
        return stricter(self.old.effect, self.new.effect)

    def as_json(self) -> dict[str, Any]:
        return {"action": self.action, "old": self.old.as_json(), "new": self.new.as_json(),
                "more_permissive": self.more_permissive, "constraints": self.constraints,
                "witness": self.witness}


@dataclass
class Comparison:
    """`status` is "equivalent", "different" or "unknown" (the budget ran out:
    `regions` holds the differences found so far, `checked` the actions done)."""

    status: Literal["equivalent", "different", "unknown"]
    regions: list[Region] = field(default_factory=list)
    checked: list[str] = field(default_factory=list)
    reason: str | None = None
    # Per action with rules in either policy (None: the others), the context the
    # regions are boxes of; None where the two decide alike by construction.
    contexts: dict[str | None, Context | None] = field(default_factory=dict, repr=False)

    @property
    def more_permissive(self) -> bool:
        return any(region.more_permissive for region in self.regions)


def _decision(laid: LaidRule | None, default: str) -> Decision:
    if laid is None:
        return Decision(default, None, None)
    return Decision(laid.rule.effect, laid.rule.rule_id, laid.rule.place, laid.rule.line)


def _confirm(engine: PyKavro, request: dict[str, Any], expected: Decision) -> None:
    got = engine.evaluate(request)
    if got["effect"] != expected.effect or got["matched_rule"] != expected.rule_id:
        raise WitnessRejected(f"the engine decides {request!r} as {got!r}, "
                              f"the analysis said {expected.text()}")


class _Rules:
    def __init__(self, engine: PyKavro) -> None:
        self.default = policy_default(engine)
        rules = read_rules(engine)
        self.buckets: dict[str, list[Rule]] = {}
        for rule in rules:
            if rule.scope == "action":
                self.buckets.setdefault(rule.scope_name or "", []).append(rule)
        self.globals = [rule for rule in rules if rule.scope == "global"]

    def sequence(self, action: str | None) -> list[Rule]:
        return ([] if action is None else self.buckets.get(action, [])) + self.globals


def _context_label(action: str | None) -> str:
    return "requests of no action with rules" if action is None else f"action {action}"


def compare(old: PyKavro, new: PyKavro, *, by_rule: bool = False,
            seconds: float = DEFAULT_SECONDS, memory_mb: int = DEFAULT_MEMORY_MB) -> Comparison:
    """Every region of requests that `old` and `new` decide with different
    effects (with `by_rule`, also by a different deciding rule id)."""
    if old.policy_hash() == new.policy_hash():
        return Comparison("equivalent")
    old_rules, new_rules = _Rules(old), _Rules(new)
    budget = Budget(seconds, memory_mb)
    result = Comparison("equivalent")
    actions: list[str | None] = [*sorted(set(old_rules.buckets) | set(new_rules.buckets)), None]

    keys: dict[int, Any] = {}

    def key(laid: LaidRule) -> Any:
        found = keys.get(id(laid))
        if found is None:
            found = keys[id(laid)] = key_of(laid.rule, by_rule)
        return found

    for action in actions:
        before, after = old_rules.sequence(action), new_rules.sequence(action)
        result.contexts[action] = None
        if [key_of(r, by_rule) for r in before] == [key_of(r, by_rule) for r in after] and \
                old_rules.default == new_rules.default:
            result.checked.append(_context_label(action))
            continue
        context = Context(action, [before, after])
        result.contexts[action] = context
        found = []
        try:
            for box, a, b in pair_search(Side(context.sequences[0], key, old_rules.default),
                                         Side(context.sequences[1], key, new_rules.default),
                                         context.full_box(), budget, by_rule=by_rule):
                found.append((box, a, b))
        except BudgetExhausted as exhausted:
            result.regions += _regions(context, found, (old, old_rules.default),
                                       (new, new_rules.default))
            result.status, result.reason = "unknown", exhausted.reason
            return result
        result.regions += _regions(context, found, (old, old_rules.default),
                                   (new, new_rules.default))
        result.checked.append(_context_label(action))
    if result.regions:
        result.status = "different"
    return result


def weigh(result: Comparison, requests: Iterable[Any]) -> list[int]:
    """How many of `requests` fall in each region of `result`, in order (a
    request that is not a dict of dicts counts nowhere)."""
    counts = [0] * len(result.regions)
    by_action: dict[str | None, list[int]] = {}
    for number, region in enumerate(result.regions):
        by_action.setdefault(region.action, []).append(number)
    for request in requests:
        if not isinstance(request, dict):
            continue
        action = request.get("action")
        kind = action.get("type") if isinstance(action, dict) else None
        name = kind if isinstance(kind, str) and kind in result.contexts else None
        context = result.contexts.get(name)
        if context is None or name not in by_action:
            continue
        classes = classify(context, request)
        for number in by_action[name]:
            if all(mask >> bit & 1 for mask, bit in zip(result.regions[number].box, classes)):
                counts[number] += 1
                break
    return counts


def key_of(rule: Rule, by_rule: bool) -> Any:
    return (rule.shape, rule.rule_id) if by_rule else rule.shape


def _regions(context: Context, found: list[tuple[Box, LaidRule | None, LaidRule | None]],
             old_side: tuple[PyKavro, str], new_side: tuple[PyKavro, str]) -> list[Region]:
    """The leaves merged into regions, each witness confirmed by both engines
    (each side: its engine and its policy default)."""
    (old, old_default), (new, new_default) = old_side, new_side
    regions = []
    for box, a, b in _merged(found):
        request = witness(context, box)
        old_decision, new_decision = _decision(a, old_default), _decision(b, new_default)
        _confirm(old, request, old_decision)
        _confirm(new, request, new_decision)
        regions.append(Region(context.action, old_decision, new_decision,
                              describe_box(context, box), request, tuple(box)))
    return regions


def _merged(found: list[tuple[Box, Any, Any]]) -> list[tuple[Box, Any, Any]]:
    """Leaves with the same pair of deciding rules joined where they differ in
    one field only, so that a region reads as one set of constraints."""
    groups: dict[tuple[int, int], list[Box]] = {}
    owners: dict[tuple[int, int], tuple[Any, Any]] = {}
    for box, a, b in found:
        group = (id(a), id(b))
        groups.setdefault(group, []).append(list(box))
        owners[group] = (a, b)
    merged = []
    for group, boxes in groups.items():
        joined = True
        while joined and len(boxes) > 1:
            joined = False
            for field_index in range(len(boxes[0])):
                # Boxes alike but for this field become one, its masks united.
                alike: dict[tuple[int, ...], Box] = {}
                for box in boxes:
                    rest = tuple(box[:field_index] + box[field_index + 1:])
                    if rest in alike:
                        alike[rest][field_index] |= box[field_index]
                        joined = True
                    else:
                        alike[rest] = box
                boxes = list(alike.values())
        a, b = owners[group]
        merged += [(box, a, b) for box in boxes]
    return merged


@dataclass(frozen=True)
class Finding:
    """One health finding; `code` is one of the lint codes of docs/errors.md."""

    code: str
    rule_id: str
    place: str
    message: str
    witness: dict[str, Any] | None = None
    field: str | None = None   # an escape's missing field ("actor.role")
    action: str | None = None  # the action whose rules pre-empt a global rule
    line: int | None = None    # the rule's line in the policy document

    def as_json(self) -> dict[str, Any]:
        return {"code": self.code, "rule_id": self.rule_id, "place": self.place,
                "line": self.line, "message": self.message, "witness": self.witness,
                "field": self.field, "action": self.action}


@dataclass
class Health:
    status: Literal["complete", "unknown"]
    findings: list[Finding] = field(default_factory=list)
    reason: str | None = None
    # Per action (None: requests of no action with rules), regions no rule
    # decides, so the policy default decides them: at most DEFAULT_REGIONS per action,
    # and the actions whose regions were cut there in `defaults_cut`.
    defaults: list[Region] = field(default_factory=list)
    defaults_cut: set[str | None] = field(default_factory=set)


DEFAULT_REGIONS = 20
_DEFAULT_LEAVES = 2000


def health(engine: PyKavro, *, seconds: float = DEFAULT_SECONDS,
           memory_mb: int = DEFAULT_MEMORY_MB) -> Health:
    """Rules that never decide, global rules that an action's rules always
    pre-empt, and escapes, each with a witness the engine confirms."""
    rules = _Rules(engine)
    budget = Budget(seconds, memory_mb)
    result = Health("complete")
    try:
        _dead_rules(engine, rules, budget, result.findings)
        _escapes(engine, rules, budget, result.findings)
        _defaults(engine, rules, budget, result)
    except BudgetExhausted as exhausted:
        result.status, result.reason = "unknown", exhausted.reason
    return result


def _dead_rules(engine: PyKavro, rules: _Rules, budget: Budget, findings: list[Finding]) -> None:
    live_globals = []
    for action in [*sorted(rules.buckets), None]:
        context = Context(action, [rules.sequence(action)])
        sequence = context.sequences[0]
        own = len(sequence) - len(rules.globals)
        targets = range(own) if action is not None else range(len(sequence))
        for target in targets:
            rule = sequence[target].rule
            if deciding_box(sequence, target, context.full_box(), budget) is not None:
                if action is None:
                    live_globals.append(target)
                continue
            alone = deciding_box([sequence[target]], 0, context.full_box(), budget)
            if alone is None:
                findings.append(Finding("rule-never-holds", rule.rule_id, rule.place,
                                        "its condition holds for no request", line=rule.line))
            else:
                alone = settle(sequence, alone)
                request = witness(context, alone)
                caught = decide(sequence, alone)
                decided = _decision(caught, rules.default)
                findings.append(Finding(
                    "rule-covered", rule.rule_id, rule.place,
                    "the earlier rules of its bucket decide every request it holds for, "
                    f"e.g. {caught.rule.rule_id if caught else 'the default'} here",
                    request, line=rule.line))
                _confirm(engine, request, decided)
    for action in sorted(rules.buckets):
        context = Context(action, [rules.sequence(action)])
        sequence = context.sequences[0]
        own = len(sequence) - len(rules.globals)
        for target in live_globals:
            if deciding_box(sequence, own + target, context.full_box(), budget) is None:
                rule = sequence[own + target].rule
                findings.append(Finding(
                    "global-pre-empted", rule.rule_id, rule.place,
                    f"the rules of action {action} decide every {action} request it holds "
                    "for, before it is tried", action=action, line=rule.line))


def _defaults(engine: PyKavro, rules: _Rules, budget: Budget, result: Health) -> None:
    allowed = Decision(rules.default, None, None)
    for action in [*sorted(rules.buckets), None]:
        context = Context(action, [rules.sequence(action)])
        found = [(box, None, None) for box in default_boxes(
            context.sequences[0], context.full_box(), budget, _DEFAULT_LEAVES)]
        merged = _merged(found)
        if len(found) == _DEFAULT_LEAVES or len(merged) > DEFAULT_REGIONS:
            result.defaults_cut.add(action)
        for box, _, _ in merged[:DEFAULT_REGIONS]:
            request = witness(context, box)
            _confirm(engine, request, allowed)
            result.defaults.append(Region(action, allowed, allowed, describe_box(context, box),
                                          request, tuple(box)))


def _escapes(engine: PyKavro, rules: _Rules, budget: Budget, findings: list[Finding]) -> None:
    seen: set[tuple[str, str, str]] = set()
    for action in [*sorted(rules.buckets), None]:
        context = Context(action, [rules.sequence(action)])
        sequence = context.sequences[0]
        strict_fields = sorted({index for laid in sequence if laid.rule.effect != "allow"
                                for index in laid.fields})
        for index in strict_fields:
            classes = context.fields[index]
            if classes.key == ("action", "type") or classes.missing == 0:
                continue
            _escapes_of(engine, context, index, budget, findings, seen, rules.default)


def _escapes_of(engine: PyKavro, context: Context, index: int, budget: Budget,
                findings: list[Finding], seen: set[tuple[str, str, str]], default: str) -> None:
    classes = context.fields[index]
    sequence = context.sequences[0]
    name = ".".join(classes.key)
    for box, without, catchers in escape_search(sequence, index, present_classes(classes),
                                                 classes.missing, context.full_box(), budget,
                                                 default):
        without_decision = _decision(without, default)
        mark = (catchers[0].rule.place, name, without_decision.effect)
        if mark in seen:
            continue
        seen.add(mark)
        missing = witness(context, _with_field(box, index, classes.missing))
        _confirm(engine, missing, without_decision)
        for catcher, value_class in zip(catchers, bits(box[index])):
            present = witness(context, _with_field(box, index, 1 << value_class))
            _confirm(engine, present, _decision(catcher, default))
        names = " or ".join(dict.fromkeys(c.rule.rule_id for c in catchers))
        strictest = max((c.rule.effect for c in catchers), key=EFFECT_STRICTNESS.__getitem__)
        findings.append(Finding(
            "escape", catchers[0].rule.rule_id, catchers[0].rule.place,
            f"a request that {names} would {strictest.replace('_', ' ')} whatever {name} "
            f"holds is decided {without_decision.text()} when {name} is "
            f"{classes.missing_text}", missing, name, line=catchers[0].rule.line))


def _with_field(box: Box, index: int, mask: int) -> Box:
    copy = list(box)
    copy[index] = mask
    return copy


def describe(regions: Iterable[Region], logged: list[int] | None = None,
             where: tuple[Callable[[int], str], Callable[[int], str]] | None = None,
             ) -> list[str]:
    """Text lines for regions, as `kavro compare` prints them; `logged` the
    number of logged requests in each, `where` turns a rule's line in the old
    and in the new policy into its position."""
    lines = []
    old_where, new_where = (None, None) if where is None else where
    for number, region in enumerate(regions):
        weight = "" if logged is None else f" [{logged[number]} logged]"
        lines.append(f"{_context_label(region.action)}: {region.old.text(old_where)} -> "
                     f"{region.new.text(new_where)}{weight}")
        for subject, constraint in region.constraints.items():
            lines.append(f"  {subject}: {constraint}")
        lines.append(f"  witness: {_json(region.witness)}")
    return lines


def _json(value: Any) -> str:
    import json
    return json.dumps(value, sort_keys=True)


@dataclass
class PropertyResult:
    """`status` "proved" (over every request), "failed" (with a `witness` the
    engine decided as `decision`) or "unknown" (the budget ran out: `reason`)."""

    status: Literal["proved", "failed", "unknown"]
    witness: dict[str, Any] | None = None
    decision: Decision | None = None
    reason: str | None = None


def prove(engine: PyKavro, schema_yaml: str, effect: str, *, never: bool = True,
          action: str | None = None, when: Any = None, unless: Any = None,
          seconds: float = DEFAULT_SECONDS, memory_mb: int = DEFAULT_MEMORY_MB,
          ) -> PropertyResult:
    """Proves over every request (of `action`, or of any action) that holds
    `when` and not `unless` (conditions as a policy writes them, as Python
    data) that the decision is never (or, with never=False, always) `effect`.
    The conditions are compiled by the engine against `schema_yaml`; one it
    refuses raises PolicyError."""
    if effect not in EFFECT_STRICTNESS:
        raise ValueError(f"unknown effect {effect!r}")
    conditions = _compiled_conditions(schema_yaml, action, when, unless)
    rules = _Rules(engine)
    budget = Budget(seconds, memory_mb)
    contexts: list[str | None] = [action] if action is not None else \
        [*sorted(rules.buckets), None]
    try:
        for name in contexts:
            context = Context(name, [rules.sequence(name), conditions])
            found = property_search(context.sequences[0], context.sequences[1], effect, never,
                                    context.full_box(), budget, rules.default)
            if found is not None:
                request = witness(context, found)
                decision = _decision(decide(context.sequences[0], found), rules.default)
                _confirm(engine, request, decision)
                return PropertyResult("failed", request, decision)
    except BudgetExhausted as exhausted:
        return PropertyResult("unknown", reason=exhausted.reason)
    return PropertyResult("proved")


def _compiled_conditions(schema_yaml: str, action: str | None, when: Any,
                         unless: Any) -> list[Rule]:
    import json
    scope = "{ global: true }" if action is None else f"{{ action: {json.dumps(action)} }}"
    lines = ["version: 1", "rules:"]
    for rule_id, condition in (("when", when), ("unless", unless)):
        if condition is not None:
            # JSON is YAML's flow form: the condition keeps its value types.
            lines += [f"  - id: {rule_id}", f"    scope: {scope}",
                      f"    when: {json.dumps(condition)}", "    effect: block"]
    if len(lines) == 2:
        return []
    text = "\n".join(lines) + "\n"
    try:
        return read_rules(PyKavro(schema_yaml, text))
    except PolicyError as first:
        # A condition in the second version's forms (present, a list, nesting):
        # compiled as such where the engine reads that version; a mistake in a
        # first-version condition keeps its first-version message.
        if not hasattr(PyKavro, "_policy_default"):
            raise
        try:
            return read_rules(PyKavro(schema_yaml, text.replace("version: 1", "version: 2", 1)))
        except PolicyError:
            raise first from None


def compiled_rules(engine: PyKavro) -> list[Rule]:
    """The engine's compiled rules as the analysis reads them: scope, place in
    the bucket, id, effect and comparisons."""
    return read_rules(engine)


def reaching_request(engine: PyKavro, rule: Rule, *, seconds: float = DEFAULT_SECONDS,
                     memory_mb: int = DEFAULT_MEMORY_MB) -> dict[str, Any] | None:
    """A request that `rule` (one of compiled_rules(engine)) decides, confirmed
    by the engine; None when no request reaches it (or it is scoped to an actor)."""
    if rule.scope == "actor":
        return None
    rules = _Rules(engine)
    action = rule.scope_name if rule.scope == "action" else None
    context = Context(action, [rules.sequence(action)])
    sequence = context.sequences[0]
    target = rule.number if rule.scope == "action" else len(sequence) - len(rules.globals) + \
        rule.number
    found = deciding_box(sequence, target, context.full_box(), Budget(seconds, memory_mb))
    if found is None:
        return None
    request = witness(context, found)
    _confirm(engine, request, _decision(sequence[target], rules.default))
    return request
