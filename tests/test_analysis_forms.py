"""kavro.analysis over every form of the language (a policy default, presence
tests, >= and <=, lists, prefixes and suffixes, nesting and `not`) against
brute force: random rules in the engine's compiled form, decided by a plain
reference evaluator written here from the language's rules, every request of
a value set that meets every class enumerated."""

from __future__ import annotations

import itertools
import json
import math
import random
from typing import Any

import pytest

from kavro.analysis import Comparison, compare, health
from kavro.analysis._space import classify

# The schema: pay has amount (number) and path (string); the actor a level
# (number) and verified (boolean).
DECLARED = {("action", "amount"): "number", ("action", "path"): "text",
            ("actor", "level"): "number", ("actor", "verified"): "boolean"}
_GLOBAL_FIELDS = [("actor", "level"), ("actor", "verified")]
_PAY_FIELDS = [("action", "amount"), ("action", "path")] + _GLOBAL_FIELDS
_NUMBER_LITERALS = [0.0, 1.0, 2.0]
_TEXT_LITERALS = ["x", "ab"]
_PREFIXES = ["", "a", "ab"]
_SUFFIXES = ["b", "ab"]

# Every class of each field: each literal and the gaps, beyond both ends, NaN,
# the infinities, -0.0, absent and other kinds; for texts each literal and a
# text per longest listed prefix and suffix ("azb": prefix "a", suffix "b").
_NUMBERS = [None, "t", -1, -0.0, 0.5, 1, 1.5, 2, 3, math.nan, math.inf, -math.inf]
_LEVELS = [None, True, -math.inf, -1, 0, 0.5, 1, 1.5, 2, 3, math.inf, math.nan]
_TEXTS = [None, 5, "x", "ab", "z", "zb", "zab", "az", "azb", "azab", "abz", "abzb", "abab"]
_BOOLEANS = [None, True, False, "true"]
_TYPES = ["pay", None]


def _kind(value: Any) -> str:
    if value is None:
        return "absent"
    if isinstance(value, bool):
        return "boolean"
    return "text" if isinstance(value, str) else "number"


def reference_holds(operator: str, left: Any, value: Any, declared: str) -> bool:
    """One comparison, written from the language's rules rather than from the
    analysis: presence is a value of the declared kind; every other comparison
    is false on an absent field or a value of another kind than its right side."""
    if operator == "present":
        return _kind(left) == declared
    if operator == "absent":
        return _kind(left) != declared
    if operator in ("in", "not_in"):
        alike = [member for member in value if _kind(member) == _kind(left)]
        if not alike:
            return False
        return any(left == m for m in alike) if operator == "in" else \
            all(left != m for m in alike)
    if _kind(left) == "absent" or _kind(left) != _kind(value):
        return False
    if operator in ("starts_with", "ends_with"):
        data, affix = left.encode("utf-8"), value.encode("utf-8")
        return data[:len(affix)] == affix if operator == "starts_with" else \
            len(affix) <= len(data) and data[len(data) - len(affix):] == affix
    if operator in ("equals", "not_equals"):
        return bool(left == value) == (operator == "equals")
    if _kind(left) != "number":
        return False
    return bool({"greater_than": left > value, "less_than": left < value,
                 "greater_or_equal": left >= value, "less_or_equal": left <= value}[operator])


def _field(request: dict[str, Any], domain: str, name: str) -> Any:
    part = request.get(domain)
    return part.get(name) if isinstance(part, dict) else None


def reference_condition(condition: Any, request: dict[str, Any]) -> bool:
    if len(condition) == 4:
        domain, name, operator, value = condition
        left = _field(request, domain, name)
        if value is None:
            right = None
        elif value[0] == "subject":
            right = _field(request, value[1], value[2])
            if right is None:
                return False
        else:
            right = value[1]
        return reference_holds(operator, left, right, DECLARED[(domain, name)])
    kind, members = condition
    if kind == "not":
        return not reference_condition(members[0], request)
    results = [reference_condition(member, request) for member in members]
    return any(results) if kind == "any" else all(results)


class ReferenceEngine:
    """What kavro.analysis reads of an engine, deciding by the reference."""

    def __init__(self, rules: list[tuple[Any, ...]], default: str) -> None:
        self.compiled, self.default = rules, default

    def _compiled_rules(self) -> list[tuple[Any, ...]]:
        return self.compiled

    def _policy_default(self) -> str:
        return self.default

    def policy_hash(self) -> str:
        return repr((self.compiled, self.default))

    def check_request(self, request: dict[str, Any]) -> list[dict[str, str]]:
        return [{"path": f"{domain}.{name}", "kind": "WrongType"}
                for domain, part in request.items() for name, value in part.items()
                if (domain, name) in DECLARED and _kind(value) != DECLARED[(domain, name)]]

    def evaluate(self, request: dict[str, Any]) -> dict[str, Any]:
        kind = _field(request, "action", "type")
        for scope, scope_name, _, rule_id, effect, condition in (
                [r for r in self.compiled if r[0] == "action" and r[1] == kind]
                + [r for r in self.compiled if r[0] == "global"]):
            if reference_condition(condition, request):
                return {"effect": effect, "matched_rule": rule_id}
        return {"effect": self.default, "matched_rule": None}


def _value(generator: random.Random, key: tuple[str, str], operator: str) -> Any:
    declared = DECLARED[key]
    pools: dict[str, list[Any]] = {"number": list(_NUMBER_LITERALS),
                                   "text": list(_TEXT_LITERALS), "boolean": [True, False]}
    pool = pools[declared]
    if operator in ("present", "absent"):
        return None
    if operator in ("starts_with", "ends_with"):
        return ("literal", generator.choice(_PREFIXES if operator == "starts_with" else _SUFFIXES))
    if operator in ("in", "not_in"):
        return ("list", tuple(generator.sample(pool, generator.randint(1, len(pool)))))
    if key == ("action", "amount") and generator.random() < 0.4:
        return ("subject", "actor", "level")
    return ("literal", generator.choice(pool))


_OPERATORS = {
    "number": ["equals", "not_equals", "greater_than", "less_than", "greater_or_equal",
               "less_or_equal", "in", "not_in", "present", "absent"],
    "text": ["equals", "not_equals", "in", "not_in", "starts_with", "ends_with", "present",
             "absent"],
    "boolean": ["equals", "not_equals", "present", "absent"],
}


def _comparison(generator: random.Random, fields: list[tuple[str, str]]) -> tuple[Any, ...]:
    key = generator.choice(fields)
    operator = generator.choice(_OPERATORS[DECLARED[key]])
    return (*key, operator, _value(generator, key, operator))


def _condition(generator: random.Random, fields: list[tuple[str, str]], depth: int) -> Any:
    """A member: a comparison, or a nested all/any/not."""
    if depth == 0 or generator.random() < 0.55:
        return _comparison(generator, fields)
    kind = generator.choice(["all", "any", "not"])
    if kind == "not":
        # `not` holds a condition: a comparison alone is an atomic one.
        member = _condition(generator, fields, depth - 1)
        return ("not", (("atomic", (member,)) if len(member) == 4 else member,))
    return (kind, tuple(_condition(generator, fields, depth - 1)
                        for _ in range(generator.randint(2, 3))))


def _top(generator: random.Random, fields: list[tuple[str, str]]) -> Any:
    member = _condition(generator, fields, 3)
    return ("atomic", (member,)) if len(member) == 4 else member


def random_rules(generator: random.Random, count: int) -> list[tuple[Any, ...]]:
    rules = []
    places: dict[tuple[str, str | None], int] = {}
    for number in range(count):
        scope = generator.choice(["pay", "pay", "pay", "global"])
        bucket = ("global", None) if scope == "global" else ("action", scope)
        place = places.get(bucket, 0)
        places[bucket] = place + 1
        fields = _GLOBAL_FIELDS if scope == "global" else _PAY_FIELDS
        rules.append((*bucket, place, f"r{number}",
                      generator.choice(["allow", "block", "require_approval"]),
                      _top(generator, fields)))
    return rules


def _edited(rules: list[tuple[Any, ...]], generator: random.Random) -> list[tuple[Any, ...]]:
    copy = list(rules)
    index = generator.randrange(len(copy))
    scope, name, place, rule_id, effect, condition = copy[index]
    if generator.random() < 0.4:
        effect = generator.choice(["allow", "block", "require_approval"])
    else:
        condition = _top(generator, _GLOBAL_FIELDS if scope == "global" else _PAY_FIELDS)
    copy[index] = (scope, name, place, rule_id, effect, condition)
    return copy


def every_request() -> list[dict[str, Any]]:
    requests = []
    for kind, amount, path, level, verified in itertools.product(
            _TYPES, _NUMBERS, _TEXTS, _LEVELS, _BOOLEANS):
        action = {k: v for k, v in (("type", kind), ("amount", amount), ("path", path))
                  if v is not None}
        actor = {k: v for k, v in (("level", level), ("verified", verified)) if v is not None}
        requests.append({"action": action, "actor": actor})
    return requests


REQUESTS = every_request()
# A tenth of them, the same each run: the full set for compare, this for health.
SAMPLE = REQUESTS[::10]


def _uses_pairs(rules: list[tuple[Any, ...]]) -> bool:
    return "'subject'" in repr(rules)


def _inside(result: Comparison, request: dict[str, Any]) -> list[int]:
    kind = request["action"].get("type")
    action = kind if isinstance(kind, str) and kind in result.contexts else None
    context = result.contexts.get(action)
    if context is None:
        return []
    classes = classify(context, request)
    return [i for i, region in enumerate(result.regions) if region.action == action and all(
        mask >> bit & 1 for mask, bit in zip(region.box, classes))]


def _agrees(old: ReferenceEngine, new: ReferenceEngine) -> None:
    """compare(old, new) holds exactly the requests decided with different
    effects, each in one region that names both decisions."""
    # Every witness is decided by the reference before it is returned.
    result = compare(old, new)  # type: ignore[arg-type]
    assert result.status in ("equivalent", "different")
    hit: set[int] = set()
    for request in REQUESTS:
        a, b = old.evaluate(request), new.evaluate(request)
        inside = _inside(result, request)
        assert (a["effect"] != b["effect"]) == bool(inside), (old.compiled, new.compiled, request)
        if inside:
            assert len(inside) == 1
            region = result.regions[inside[0]]
            assert (region.old.effect, region.old.rule_id) == (a["effect"], a["matched_rule"])
            assert (region.new.effect, region.new.rule_id) == (b["effect"], b["matched_rule"])
            hit.add(inside[0])
    if not _uses_pairs(old.compiled + new.compiled):
        # The value set meets every class: each region holds one of its requests.
        assert hit == set(range(len(result.regions))), (old.compiled, new.compiled)


@pytest.mark.parametrize("seed", range(24))
def test_compare_agrees_with_every_request(seed: int) -> None:
    generator = random.Random(seed)
    old_rules = random_rules(generator, generator.randint(1, 5))
    new_rules = _edited(old_rules, generator) if seed % 3 else \
        random_rules(generator, generator.randint(1, 5))
    defaults = ["allow", "block", "require_approval"]
    old = ReferenceEngine(old_rules, generator.choice(defaults))
    new = ReferenceEngine(new_rules, old.default if seed % 2 else generator.choice(defaults))
    _agrees(old, new)


_AMOUNT_OVER_LEVEL = ("action", "pay", 0, "over", "require_approval",
                      ("atomic", (("action", "amount", "greater_than", ("subject", "actor", "level")),)))


def _pay(rule_id: str, effect: str, condition: Any, place: int = 0) -> tuple[Any, ...]:
    return ("action", "pay", place, rule_id, effect, condition)


# Cases random policies reach seldom: presence of a field compared with
# another (its classes then hold every kind), `not` around a missing field,
# only the defaults differing, and every text under prefixes and suffixes.
@pytest.mark.parametrize("old, new", [
    (ReferenceEngine([_pay("gone", "block", ("atomic", (("action", "amount", "absent", None),))),
                      _AMOUNT_OVER_LEVEL[:2] + (1,) + _AMOUNT_OVER_LEVEL[3:]], "allow"),
     ReferenceEngine([_AMOUNT_OVER_LEVEL], "allow")),
    (ReferenceEngine([_pay("here", "block", ("atomic", (("action", "amount", "present", None),))),
                      _AMOUNT_OVER_LEVEL[:2] + (1,) + _AMOUNT_OVER_LEVEL[3:]], "allow"),
     ReferenceEngine([_AMOUNT_OVER_LEVEL], "allow")),
    (ReferenceEngine([_pay("small", "allow", ("not", ((
        "action", "amount", "greater_or_equal", ("literal", 1.0)),)))], "block"),
     ReferenceEngine([_pay("small", "allow", (
         "atomic", (("action", "amount", "less_than", ("literal", 1.0)),)))], "block")),
    (ReferenceEngine([], "allow"), ReferenceEngine([], "require_approval")),
    (ReferenceEngine([_pay("tmp", "block", ("any", (
        ("action", "path", "starts_with", ("literal", "a")),
        ("action", "path", "ends_with", ("literal", "ab")))))], "allow"),
     ReferenceEngine([_pay("tmp", "block", ("all", (
         ("action", "path", "starts_with", ("literal", "ab")),
         ("not", (("action", "path", "ends_with", ("literal", "b")),)))))], "allow")),
], ids=["absent-in-a-group", "present-in-a-group", "not-of-a-missing-field", "defaults",
        "prefixes-and-suffixes"])
def test_compare_agrees_on_chosen_forms(old: ReferenceEngine, new: ReferenceEngine) -> None:
    _agrees(old, new)


@pytest.mark.parametrize("seed", range(24))
def test_health_agrees_with_every_request(seed: int) -> None:
    generator = random.Random(seed)
    rules = random_rules(generator, generator.randint(2, 6))
    engine = ReferenceEngine(rules, generator.choice(["allow", "block", "require_approval"]))
    result = health(engine)  # type: ignore[arg-type]
    assert result.status == "complete"
    requests = SAMPLE if _uses_pairs(rules) else REQUESTS
    deciding = {engine.evaluate(request)["matched_rule"] for request in requests}
    dead = {f.rule_id for f in result.findings if f.code in ("rule-never-holds", "rule-covered")}
    assert not dead & deciding, rules
    if not _uses_pairs(rules):
        assert {rule[3] for rule in rules} - deciding == dead, rules
    for region in result.defaults:
        assert region.old.effect == engine.default
    strictness = {"allow": 0, "require_approval": 1, "block": 2}
    values = {"amount": _NUMBERS, "path": _TEXTS, "level": _LEVELS, "verified": _BOOLEANS}
    for finding in result.findings:
        if finding.code != "escape":
            continue
        # Whatever value of its declared kind the field holds, the witness is
        # decided more strictly than without it.
        assert finding.witness is not None and finding.field is not None
        domain, name = finding.field.split(".")
        without = engine.evaluate(finding.witness)["effect"]
        for value in values[name]:
            if _kind(value) == DECLARED[(domain, name)]:
                request = {part: dict(fields) for part, fields in finding.witness.items()}
                request.setdefault(domain, {})[name] = value
                assert strictness[engine.evaluate(request)["effect"]] > strictness[without], \
                    (rules, finding, value)


def _starts(prefix: str) -> Any:
    return ("atomic", (("action", "path", "starts_with", ("literal", prefix)),))


# A region's texts read by the longest listed prefix and suffix they hold.
@pytest.mark.parametrize("old, new, constraint, path", [
    (_starts("a"), _starts("ab"), 'any other string (starting with "a" but not "ab")', "a_"),
    (_starts("ab"), ("all", (("action", "path", "starts_with", ("literal", "ab")),
                             ("action", "path", "not_equals", ("literal", "abc")))),
     '"abc"', "abc"),
    (("atomic", (("action", "path", "ends_with", ("literal", "b")),)), ("atomic", (
        ("action", "path", "in", ("list", ("b", "ab"))),)),
     'any other string (ending with "b")', "_b"),
])
def test_text_regions_are_described_by_prefix_and_suffix(old: Any, new: Any, constraint: str,
                                                          path: str) -> None:
    result = compare(ReferenceEngine([_pay("r", "block", old)], "allow"),  # type: ignore[arg-type]
                     ReferenceEngine([_pay("r", "block", new)], "allow"))  # type: ignore[arg-type]
    [region] = result.regions
    assert region.constraints == {"action.path": constraint}
    assert region.witness == {"action": {"type": "pay", "path": path}}


# The same random rules written as a version-2 policy for the engine itself:
# its decisions must be the reference's, and the analysis's witnesses are then
# confirmed by the engine's own evaluate.
SCHEMA = """version: 1
actions:
  pay: { fields: { amount: number, path: string } }
actor: { fields: { level: number, verified: boolean } }
snapshot: { fields: {} }
"""


def _yaml_literal(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    return repr(float(value))


def _yaml_condition(condition: Any) -> str:
    if len(condition) == 4:
        domain, name, operator, value = condition
        text = f"{{ subject: [{domain}, {name}], operator: {operator}"
        if value is None:
            return text + " }"
        if value[0] == "subject":
            return text + f", value: {{ subject: {{ domain: {value[1]}, field: {value[2]} }} }} }}"
        if value[0] == "list":
            items = ", ".join(_yaml_literal(v) for v in value[1])
            return text + f", value: {{ literal: [{items}] }} }}"
        return text + f", value: {{ literal: {_yaml_literal(value[1])} }} }}"
    kind, members = condition
    if kind == "atomic":
        return _yaml_condition(members[0])
    if kind == "not":
        return f"{{ not: {_yaml_condition(members[0])} }}"
    return f"{{ {kind}: [{', '.join(_yaml_condition(m) for m in members)}] }}"


def version_two(engine: ReferenceEngine) -> str:
    lines = ["version: 2", f"default: {engine.default}", "rules:"]
    for scope, name, _, rule_id, effect, condition in engine.compiled:
        where = "{ global: true }" if scope == "global" else f"{{ action: {name} }}"
        lines += [f"  - id: {rule_id}", f"    scope: {where}",
                  f"    when: {_yaml_condition(condition)}", f"    effect: {effect}"]
    return "\n".join(lines) + "\n"


def _engine_of(reference: ReferenceEngine) -> Any:
    from kavro import PyKavro
    if not hasattr(PyKavro, "_policy_default"):
        pytest.skip("this engine reads no version-2 policy")
    return PyKavro(SCHEMA, version_two(reference))


@pytest.mark.parametrize("seed", range(12))
def test_the_engine_decides_as_the_reference_and_confirms_the_analysis(seed: int) -> None:
    generator = random.Random(seed)
    old = ReferenceEngine(random_rules(generator, generator.randint(1, 5)),
                          generator.choice(["allow", "block", "require_approval"]))
    new = ReferenceEngine(_edited(old.compiled, generator), old.default)
    engines = _engine_of(old), _engine_of(new)
    for reference, engine in zip((old, new), engines):
        # The engine lists each bucket's rules together.
        assert sorted(engine._compiled_rules(), key=repr) == sorted(reference.compiled, key=repr)
        decided = engine.evaluate_many(SAMPLE)
        assert decided == [reference.evaluate(request) for request in SAMPLE], \
            version_two(reference)
    # compare and health raise WitnessRejected when the engine disagrees.
    result = compare(*engines)
    assert [(r.old.effect, r.new.effect) for r in result.regions] == \
        [(r.old.effect, r.new.effect) for r in compare(old, new).regions]  # type: ignore[arg-type]
    assert health(engines[0]).status == "complete"


_SMALL_PAYMENTS = ReferenceEngine([_pay("small", "allow", ("all", (
    ("action", "amount", "present", None),
    ("action", "amount", "less_or_equal", ("literal", 100.0)))))], "block")


# Properties whose conditions only the second version reads.
@pytest.mark.parametrize("when, status", [
    ({"subject": ["action", "amount"], "operator": "absent"}, "proved"),
    ({"subject": ["action", "path"], "operator": "starts_with", "value": {"literal": "/tmp"}},
     "failed"),
    ({"not": {"subject": ["action", "amount"], "operator": "in",
              "value": {"literal": [1, 2, 3]}}}, "failed"),
])
def test_properties_read_the_second_version(when: dict[str, Any], status: str) -> None:
    from kavro.analysis import prove
    engine = _engine_of(_SMALL_PAYMENTS)
    result = prove(engine, SCHEMA, "allow", never=True, action="pay", when=when)
    assert result.status == status
    if status == "failed":
        assert result.witness is not None
        assert engine.evaluate(result.witness)["effect"] == "allow"
