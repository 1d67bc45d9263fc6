"""kavro.analysis against brute force: random small policies, every request of a
small value set decided by the engine, and the analysis's answers checked
against those decisions."""

from __future__ import annotations

import itertools
import json
import math
import random
import re
from typing import Any

import pytest

from kavro import PyKavro
from kavro.analysis import AnalysisRefused, Comparison, compare, health, prove, weigh
from kavro.analysis._space import classify

SCHEMA = """
version: 1
actions:
  pay: { fields: { amount: number, currency: string } }
  move: { fields: { amount: number } }
actor: { fields: { level: number, verified: boolean } }
snapshot: { fields: {} }
"""

# Fields a rule may read by scope, and the literals each is compared with.
_ACTION_FIELDS = {"pay": [("action", "amount"), ("action", "currency")],
                  "move": [("action", "amount")]}
_ACTOR_FIELDS = [("actor", "level"), ("actor", "verified")]
_LITERALS = {"amount": [0, 1, 2], "level": [0, 1, 2], "currency": ["x", "y"],
             "verified": [True, False]}
# Floating-point edges: both zeros, the infinities, NaN and the largest doubles.
_EDGES = [-0.0, 0, math.inf, -math.inf, math.nan, 1e308, 5]
_EDGE_LITERALS = dict(_LITERALS, amount=_EDGES, level=_EDGES)
_NUMBER_OPERATORS = ["equals", "not_equals", "greater_than", "less_than"]
_OTHER_OPERATORS = ["equals", "not_equals"]

# Every class of every field: each literal, a value in each gap, beyond both
# ends, NaN, the infinities, absent and other kinds.
_NUMBERS = [None, "t", -1, 0, 0.5, 1, 1.5, 2, 3, math.nan, math.inf, -math.inf]
_EDGE_NUMBERS = [None, "t", -1, -0.0, 0, 2.5, 5, 6, 1e308, 1.7976931348623157e308, math.nan,
                 math.inf, -math.inf]
_TEXTS = [None, 5, "x", "y", "z"]
_BOOLEANS = [None, True, False, "true"]
# No type and a type of another kind both reach the global rules alone.
_TYPES = [None, "pay", "move", 7]


def _literal_yaml(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    if math.isnan(value) or math.isinf(value):
        return {"nan": ".nan", "inf": ".inf", "-inf": "-.inf"}[str(value)]
    return repr(value)


def _comparison(generator: random.Random, fields: list[tuple[str, str]],
                pairs: bool, literals: dict[str, list[Any]] = _LITERALS) -> str:
    domain, name = generator.choice(fields)
    numeric = name in ("amount", "level")
    operator = generator.choice(_NUMBER_OPERATORS if numeric else _OTHER_OPERATORS)
    others = [f for f in fields if f != (domain, name) and f[1] in ("amount", "level")]
    if pairs and numeric and others and generator.random() < 0.3:
        other = generator.choice(others)
        value = f"{{ subject: {{ domain: {other[0]}, field: {other[1]} }} }}"
    else:
        value = f"{{ literal: {_literal_yaml(generator.choice(literals[name]))} }}"
    return f"{{ subject: [{domain}, {name}], operator: {operator}, value: {value} }}"


def random_policy(generator: random.Random, pairs: bool, count: int | None = None,
                  literals: dict[str, list[Any]] = _LITERALS) -> str:
    lines = ["version: 1", "rules:"]
    for number in range(count or generator.randint(1, 5)):
        scope = generator.choice(["pay", "pay", "move", "global"])
        fields = _ACTOR_FIELDS + ([] if scope == "global" else _ACTION_FIELDS[scope])
        members = [_comparison(generator, fields, pairs, literals)
                   for _ in range(generator.choice([1, 1, 2, 3]))]
        if len(members) == 1:
            when = members[0]
        else:
            when = f"{{ {generator.choice(['all', 'any'])}: [{', '.join(members)}] }}"
        scope_text = "{ global: true }" if scope == "global" else f"{{ action: {scope} }}"
        lines += [f"  - id: r{number}", f"    scope: {scope_text}", f"    when: {when}",
                  f"    effect: {generator.choice(['allow', 'block', 'require_approval'])}"]
    return "\n".join(lines) + "\n"


def every_request(numbers: list[Any]) -> list[dict[str, Any]]:
    requests = []
    for kind, amount, currency, level, verified in itertools.product(
            _TYPES, numbers, _TEXTS, numbers, _BOOLEANS):
        action = {k: v for k, v in (("type", kind), ("amount", amount), ("currency", currency))
                  if v is not None}
        actor = {k: v for k, v in (("level", level), ("verified", verified)) if v is not None}
        requests.append({"action": action, "actor": actor})
    return requests


REQUESTS = every_request(_NUMBERS)
EDGE_REQUESTS = every_request(_EDGE_NUMBERS)


def _context_of(result: Comparison, request: dict[str, Any]) -> str | None:
    kind = request["action"].get("type")
    return kind if isinstance(kind, str) and kind in result.contexts else None


def _region_of(result: Comparison, request: dict[str, Any]) -> list[int]:
    action = _context_of(result, request)
    context = result.contexts.get(action)
    if context is None:
        return []
    classes = classify(context, request)
    return [i for i, region in enumerate(result.regions) if region.action == action and all(
        mask >> bit & 1 for mask, bit in zip(region.box, classes))]


@pytest.mark.parametrize("edges", [False, True], ids=["small", "edges"])
@pytest.mark.parametrize("seed", range(20))
def test_compare_agrees_with_every_request(seed: int, edges: bool) -> None:
    generator = random.Random(seed)
    pairs = seed % 2 == 1
    literals, requests = (_EDGE_LITERALS, EDGE_REQUESTS) if edges else (_LITERALS, REQUESTS)
    old_text = random_policy(generator, pairs, literals=literals)
    # Half the time a small edit of the old policy, otherwise a fresh one.
    new_text = random_policy(random.Random(seed + 1000), pairs, literals=literals) \
        if seed % 4 < 2 else _edited(old_text, generator, pairs, literals)
    old, new = PyKavro(SCHEMA, old_text), PyKavro(SCHEMA, new_text)
    result = compare(old, new)
    assert result.status in ("equivalent", "different")
    before, after = old.evaluate_many(requests), new.evaluate_many(requests)
    hit: dict[int, int] = {}
    for request, a, b in zip(requests, before, after):
        inside = _region_of(result, request)
        differs = a["effect"] != b["effect"]
        assert differs == bool(inside), (old_text, new_text, request, a, b)
        if inside:
            assert len(inside) == 1, (request, inside)
            region = result.regions[inside[0]]
            assert (region.old.effect, region.old.rule_id) == (a["effect"], a["matched_rule"])
            assert (region.new.effect, region.new.rule_id) == (b["effect"], b["matched_rule"])
            hit[inside[0]] = hit.get(inside[0], 0) + 1
    assert (result.status == "equivalent") == (not result.regions)
    assert weigh(result, requests) == [hit.get(i, 0) for i in range(len(result.regions))]
    if not pairs:
        # Without field-to-field comparisons the value set meets every class.
        assert set(hit) == set(range(len(result.regions)))


def _edited(text: str, generator: random.Random, pairs: bool,
            literals: dict[str, list[Any]]) -> str:
    lines = text.splitlines()
    whens = [i for i, line in enumerate(lines) if line.startswith("    when:")]
    effects = [i for i, line in enumerate(lines) if line.startswith("    effect:")]
    if generator.random() < 0.5:
        index = generator.choice(effects)
        lines[index] = f"    effect: {generator.choice(['allow', 'block', 'require_approval'])}"
    else:
        index = generator.choice(whens)
        scope = lines[index - 1]
        fields = _ACTOR_FIELDS + (_ACTION_FIELDS["pay"] if "pay" in scope else
                                  _ACTION_FIELDS["move"] if "move" in scope else [])
        lines[index] = f"    when: {_comparison(generator, fields, pairs, literals)}"
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("edges", [False, True], ids=["small", "edges"])
@pytest.mark.parametrize("seed", range(20))
def test_health_agrees_with_every_request(seed: int, edges: bool) -> None:
    generator = random.Random(seed)
    pairs = seed % 3 == 2
    literals, requests = (_EDGE_LITERALS, EDGE_REQUESTS) if edges else (_LITERALS, REQUESTS)
    text = random_policy(generator, pairs, count=generator.randint(2, 7), literals=literals)
    engine = PyKavro(SCHEMA, text)
    result = health(engine)
    assert result.status == "complete"
    deciding = {decision["matched_rule"] for decision in engine.evaluate_many(requests)}
    dead = {f.rule_id for f in result.findings if f.code in ("rule-never-holds", "rule-covered")}
    assert not dead & deciding, text
    if not pairs:
        rule_ids = {line.split(": ")[1] for line in text.splitlines() if "- id:" in line}
        assert rule_ids - deciding == dead, text
    # The default regions are exactly the requests no rule decides, where
    # their number was not cut.
    from kavro.analysis import _Rules
    from kavro.analysis._space import Context
    rules = _Rules(engine)
    contexts = {action: Context(action, [rules.sequence(action)])
                for action in [*rules.buckets, None]}
    for request, decision in zip(requests, engine.evaluate_many(requests)):
        kind = request["action"].get("type")
        action = kind if isinstance(kind, str) and kind in rules.buckets else None
        if action in result.defaults_cut:
            continue
        classes = classify(contexts[action], request)
        inside = [region for region in result.defaults if region.action == action and all(
            mask >> bit & 1 for mask, bit in zip(region.box, classes))]
        assert len(inside) == (decision["matched_rule"] is None), (text, request)
    for finding in result.findings:
        if finding.code == "global-pre-empted":
            assert finding.rule_id in deciding
            assert all(d["matched_rule"] != finding.rule_id for r, d in zip(
                requests, engine.evaluate_many(requests)) if r["action"].get("type") ==
                finding.action)
    strictness = {"allow": 0, "require_approval": 1, "block": 2}
    for finding in result.findings:
        if finding.code != "escape":
            continue
        # Whatever value of its kind the field holds, the witness is decided
        # more strictly than without it.
        assert finding.witness is not None and finding.field is not None
        domain, name = finding.field.split(".")
        assert name not in finding.witness.get(domain, {})
        without = engine.evaluate(finding.witness)["effect"]
        values = {"amount": _EDGE_NUMBERS if edges else _NUMBERS, "level": _EDGE_NUMBERS if
                  edges else _NUMBERS, "currency": _TEXTS, "verified": _BOOLEANS}[name]
        kind = float if name in ("amount", "level") else str if name == "currency" else bool
        for value in values:
            if isinstance(value, kind) or (kind is float and type(value) is int):
                request = json.loads(json.dumps(finding.witness))
                request.setdefault(domain, {})[name] = value
                effect = engine.evaluate(request)["effect"]
                assert strictness[effect] > strictness[without], (text, finding, value)


REFACTOR_SCHEMA = """
version: 1
actions:
  refund: { fields: { amount: number } }
actor: { fields: { role: string } }
snapshot: { fields: {} }
"""
_ONE_RULE = """
version: 1
rules:
  - id: large-refunds
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: block
"""
_SPLIT = """
version: 1
rules:
  - id: large-refunds-clerks
    scope: { action: refund }
    when:
      all:
        - [[action, amount], greater_than, { literal: 1000 }]
        - [[actor, role], equals, { literal: clerk }]
    effect: block
  - id: large-refunds-others
    scope: { action: refund }
    when:
      all:
        - [[action, amount], greater_than, { literal: 1000 }]
        - [[actor, role], not_equals, { literal: clerk }]
    effect: block
"""


def test_the_split_refactor_lets_a_refund_without_a_role_through() -> None:
    result = compare(PyKavro(REFACTOR_SCHEMA, _ONE_RULE), PyKavro(REFACTOR_SCHEMA, _SPLIT))
    assert result.status == "different" and result.more_permissive
    [region] = result.regions
    assert region.constraints == {"action.amount": "(1000, inf]",
                                  "actor.role": "absent or not a string"}
    assert region.witness == {"action": {"type": "refund", "amount": 1001}}
    assert (region.old.rule_id, region.new.effect) == ("large-refunds", "allow")


@pytest.mark.parametrize("old, new, status", [
    (_ONE_RULE, _ONE_RULE, "equivalent"),
    (_ONE_RULE, _ONE_RULE.replace("large-refunds", "renamed"), "equivalent"),
    (_ONE_RULE, _ONE_RULE.replace("1000", "1000.0"), "equivalent"),
    (_ONE_RULE, _ONE_RULE.replace("greater_than", "less_than"), "different"),
    (_SPLIT, _SPLIT.replace("clerk", "manager"), "equivalent"),
])
def test_compare_answers(old: str, new: str, status: str) -> None:
    assert compare(PyKavro(REFACTOR_SCHEMA, old), PyKavro(REFACTOR_SCHEMA, new)).status == status


def test_compare_by_rule_sees_a_renamed_rule() -> None:
    result = compare(PyKavro(REFACTOR_SCHEMA, _ONE_RULE),
                     PyKavro(REFACTOR_SCHEMA, _ONE_RULE.replace("large-refunds", "renamed")),
                     by_rule=True)
    assert result.status == "different"
    assert {(r.old.rule_id, r.new.rule_id) for r in result.regions} == {
        ("large-refunds", "renamed")}


def test_a_spent_budget_answers_unknown() -> None:
    generator = random.Random(7)
    old = PyKavro(SCHEMA, random_policy(generator, True, count=60))
    new = PyKavro(SCHEMA, random_policy(generator, True, count=60))
    result = compare(old, new, seconds=0.0)
    assert result.status == "unknown" and result.reason is not None
    assert "time budget" in result.reason
    # What was found before the budget ran out is still a real difference.
    for region in result.regions:
        assert old.evaluate(region.witness)["effect"] == region.old.effect
        assert new.evaluate(region.witness)["effect"] == region.new.effect
    checked = health(old, seconds=0.0)
    assert checked.status == "unknown" and "time budget" in (checked.reason or "")


# Each finding by code, rule id and the line its rule starts on.
@pytest.mark.parametrize("policy, codes", [
    (_SPLIT, {("escape", "large-refunds-clerks", 4)}),
    ("""
version: 1
rules:
  - id: anything-large
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 10 } }
    effect: block
  - id: very-large
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: allow
  - id: impossible
    scope: { action: refund }
    when:
      all:
        - [[action, amount], greater_than, { literal: 5 }]
        - [[action, amount], less_than, { literal: 3 }]
    effect: block
""", {("rule-covered", "very-large", 8), ("rule-never-holds", "impossible", 12)}),
    ("""
version: 1
rules:
  - id: clerks-may-refund
    scope: { action: refund }
    when: { subject: [actor, role], operator: equals, value: { literal: clerk } }
    effect: allow
  - id: clerks
    scope: { global: true }
    when: { subject: [actor, role], operator: equals, value: { literal: clerk } }
    effect: require_approval
""", {("global-pre-empted", "clerks", 8)}),
    # Ids repeat across buckets and within one: lines follow each bucket's order.
    ("""
version: 1
rules:
  - id: same
    scope: { global: true }
    when: { subject: [actor, role], operator: equals, value: { literal: clerk } }
    effect: allow
  - id: same
    scope: { action: refund }
    when: { subject: [actor, role], operator: equals, value: { literal: clerk } }
    effect: block
  - id: same
    scope: { actor: clerk }
    when: { subject: [actor, role], operator: equals, value: { literal: clerk } }
    effect: allow
  - id: same
    scope: { action: refund }
    when: { subject: [actor, role], operator: equals, value: { literal: clerk } }
    effect: block
""", {("rule-covered", "same", 16), ("global-pre-empted", "same", 4)}),
])
def test_health_findings(policy: str, codes: set[tuple[str, str, int]]) -> None:
    result = health(PyKavro(REFACTOR_SCHEMA, policy))
    assert result.status == "complete"
    assert {(f.code, f.rule_id, f.line) for f in result.findings} == codes


def test_the_engine_model_is_read_not_reparsed() -> None:
    [rule] = PyKavro(REFACTOR_SCHEMA, _SPLIT.replace("1000", "1e3"))._compiled_rules()[:1]
    assert rule == ("action", "refund", 0, "large-refunds-clerks", "block", (
        "all", (("action", "amount", "greater_than", ("literal", 1000.0)),
                ("actor", "role", "equals", ("literal", "clerk")))))


_AMOUNT = ("action", "amount", "greater_than", ("literal", 1000.0))


@pytest.mark.parametrize("condition, default, named", [
    (("xor", (_AMOUNT, _AMOUNT)), None, "the condition form 'xor'"),
    (("all", (_AMOUNT, ("xor", (_AMOUNT, _AMOUNT)))), None, "the condition form 'xor'"),
    (("not", (("atomic", (_AMOUNT,)), ("atomic", (_AMOUNT,)))), None, "a 'not' of 2 conditions"),
    (("atomic", (("action", "amount", "matches", ("literal", "a.*")),)), None,
     "the operator 'matches'"),
    (("atomic", (("action", "path", "starts_with", ("literal", 1.0)),)), None,
     "a literal of type 'float' (of operator 'starts_with')"),
    (("atomic", (("action", "path", "ends_with", ("subject", "actor", "role")),)), None,
     "the value form 'subject' (of operator 'ends_with')"),
    (("atomic", (("actor", "role", "present", ("literal", "x")),)), None,
     "the operator 'present' with a value"),
    (("atomic", (("actor", "role", "in", ("literal", "a")),)), None,
     "the value form 'literal' (of operator 'in')"),
    (("atomic", (("actor", "role", "in", ("list", ())),)), None, "the list ()"),
    (("atomic", (("actor", "role", "in", ("list", ("a", None))),)), None,
     "the list ('a', None)"),
    (("atomic", (("actor", "role", "equals", ("list", ("a", "b"))),)), None,
     "the value form 'list' (of operator 'equals')"),
    (("atomic", (("actor", "role", "equals", None),)), None, "the value form None"),
    (("atomic", (("actor", "role", "equals", ("literal", ("a", "b"))),)), None,
     "a literal of type 'tuple'"),
    (("atomic", (("actor", "role", "equals", ("literal", None)),)), None,
     "a literal of type 'NoneType'"),
    (("atomic", (_AMOUNT,)), "deny", "the policy default 'deny'"),
])
def test_a_form_without_a_model_is_refused(condition: Any, default: str | None,
                                           named: str) -> None:
    class Engine:
        def _compiled_rules(self) -> list[Any]:
            return [("action", "refund", 0, "r", "block", condition)]

    if default is not None:
        Engine._policy_default = lambda self: default  # type: ignore[attr-defined]
    from kavro.analysis._space import policy_default, read_rules
    with pytest.raises(AnalysisRefused, match=re.escape(named)):
        policy_default(Engine())  # type: ignore[arg-type]
        read_rules(Engine())  # type: ignore[arg-type]


@pytest.mark.parametrize("new, options, status, first", [
    (_SPLIT, [], 0, "1 region decided differently"),
    (_SPLIT, ["--fail-on", "more-permissive"], 1, "1 region decided differently"),
    (_ONE_RULE.replace("block", "allow"), ["--fail-on", "any-change"], 1,
     "1 region decided differently"),
    (_ONE_RULE.replace("effect: block", "effect: require_approval"),
     ["--fail-on", "more-permissive"], 1, "1 region decided differently"),
    (_ONE_RULE.replace("1000", "2000"), ["--fail-on", "more-permissive"], 1,
     "1 region decided differently"),
    (_ONE_RULE.replace("1000", "500"), ["--fail-on", "more-permissive"], 0,
     "1 region decided differently"),
    (_ONE_RULE.replace("large-refunds", "renamed"), ["--fail-on", "any-change"], 0,
     "equivalent over all requests"),
])
def test_compare_command(tmp_path: Any, capsys: pytest.CaptureFixture[str], new: str,
                         options: list[str], status: int, first: str) -> None:
    from kavro._command.main import main
    for name, text in (("schema.yaml", REFACTOR_SCHEMA), ("old.yaml", _ONE_RULE),
                       ("new.yaml", new)):
        (tmp_path / name).write_text(text)
    arguments = ["compare", "--schema", str(tmp_path / "schema.yaml"),
                 str(tmp_path / "old.yaml"), str(tmp_path / "new.yaml"), *options]
    assert main(arguments) == status
    assert capsys.readouterr().out.splitlines()[0] == first
    assert main([*arguments, "--format", "json"]) == status
    report = json.loads(capsys.readouterr().out)
    assert report["status"] == ("equivalent" if first.startswith("equivalent") else "different")
    for region in report["regions"]:
        old = PyKavro(REFACTOR_SCHEMA, _ONE_RULE).evaluate(region["witness"])
        assert (old["effect"], old["matched_rule"]) == (
            region["old"]["effect"], region["old"]["matched_rule"])


_AFTER_AN_ACTOR_RULE = """
version: 1
rules:
  - id: clerks
    scope: { actor: clerk }
    when: { subject: [actor, role], operator: equals, value: { literal: clerk } }
    effect: block
  - { id: small, scope: { action: refund }, effect: allow,
      when: { subject: [action, amount], operator: less_than, value: { literal: 5000 } } }
"""


# The region's heading names each deciding rule by its file, line and column.
@pytest.mark.parametrize("new, heading", [
    (_ONE_RULE.replace("1000", "2000"), "action refund: block by large-refunds at "
     "{old}:4:5 (action refund rule #1) -> allow"),
    (_AFTER_AN_ACTOR_RULE, "action refund: block by large-refunds at {old}:4:5 "
     "(action refund rule #1) -> allow by small at {new}:8:5 (action refund rule #1)"),
])
def test_compare_places_the_deciding_rules(tmp_path: Any, capsys: pytest.CaptureFixture[str],
                                           new: str, heading: str) -> None:
    from kavro._command.main import main
    paths = {name: tmp_path / f"{name}.yaml" for name in ("schema", "old", "new")}
    for name, text in (("schema", REFACTOR_SCHEMA), ("old", _ONE_RULE), ("new", new)):
        paths[name].write_text(text)
    assert main(["compare", "--schema", str(paths["schema"]), str(paths["old"]),
                 str(paths["new"])]) == 0
    assert heading.format(**paths) in capsys.readouterr().out.splitlines()


def test_check_places_health_findings_at_their_rule(
        tmp_path: Any, capsys: pytest.CaptureFixture[str]) -> None:
    from kavro._command.main import main
    (tmp_path / "schema.yaml").write_text(REFACTOR_SCHEMA)
    (tmp_path / "policy.yaml").write_text(_SPLIT)
    assert main(["check", "--schema", str(tmp_path / "schema.yaml"), "--policy",
                 str(tmp_path / "policy.yaml"), "--health"]) == 0
    lines = capsys.readouterr().err.splitlines()
    assert lines[0].startswith(f"{tmp_path / 'policy.yaml'}:4:5: warning: action refund rule "
                               "#1 'large-refunds-clerks': ")
    assert lines[0].endswith("[escape]")
    assert lines[1:3] == [" 4 |   - id: large-refunds-clerks", "   |     ^"]


@pytest.mark.parametrize("line, column", [
    ("  - id: a", 5),
    ("- { id: a }", 3),
    ("  -\tid: a", 5),
    ("    id: a", 5),
    ("-id: a", 1),      # not a sequence item: a plain key
])
def test_a_rule_is_placed_past_its_dash(line: str, column: int) -> None:
    from pathlib import Path

    from kavro._command.source import Source
    source = Source(Path("p.yaml"), f"rules:\n{line}\n")
    assert source.item_column(2) == column
    assert source.item_column(3) is None
    assert source.position(2) == f"p.yaml:2:{column}"


def test_check_health_in_json(tmp_path: Any, capsys: pytest.CaptureFixture[str]) -> None:
    from kavro._command.main import main
    (tmp_path / "schema.yaml").write_text(REFACTOR_SCHEMA)
    (tmp_path / "policy.yaml").write_text(_SPLIT)
    arguments = ["check", "--schema", str(tmp_path / "schema.yaml"), "--policy",
                 str(tmp_path / "policy.yaml"), "--health", "--format", "json"]
    assert main(arguments) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["health"]["complete"] is True
    assert [f["code"] for f in report["health"]["findings"]] == ["escape"]
    assert main([*arguments, "--strict"]) == 1


@pytest.mark.parametrize("lines, logged", [
    (['{"action": {"type": "refund", "amount": 5000}}',
      '{"action": {"type": "refund", "amount": 5000}, "actor": {"role": "clerk"}}',
      '{"action": {"type": "refund", "amount": 1e9}}'], 2),
    (['{"action": {"type": "refund", "amount": 5000}}', "not json"], 1),
    (['{"action": {"type": "expense", "amount": 5000}}'], 0),
])
def test_compare_weighs_regions_by_a_log(tmp_path: Any, capsys: pytest.CaptureFixture[str],
                                         lines: list[str], logged: int) -> None:
    pytest.importorskip("pyarrow")
    from kavro._command.main import main
    for name, text in (("schema.yaml", REFACTOR_SCHEMA), ("old.yaml", _ONE_RULE),
                       ("new.yaml", _SPLIT), ("log.jsonl", "\n".join(lines) + "\n")):
        (tmp_path / name).write_text(text)
    assert main(["compare", "--schema", str(tmp_path / "schema.yaml"), str(tmp_path / "old.yaml"),
                 str(tmp_path / "new.yaml"), "--log", str(tmp_path / "log.jsonl"),
                 "--format", "json"]) == 0
    [region] = json.loads(capsys.readouterr().out)["regions"]
    assert region["logged"] == logged


def _condition(generator: random.Random) -> dict[str, Any]:
    domain, name = generator.choice(_ACTOR_FIELDS + _ACTION_FIELDS["pay"])
    numeric = name in ("amount", "level")
    return {"subject": [domain, name],
            "operator": generator.choice(_NUMBER_OPERATORS if numeric else _OTHER_OPERATORS),
            "value": {"literal": generator.choice(_LITERALS[name])}}


@pytest.mark.parametrize("seed", range(30))
def test_properties_agree_with_every_request(seed: int) -> None:
    generator = random.Random(seed)
    engine = PyKavro(SCHEMA, random_policy(generator, False, count=generator.randint(1, 6)))
    effect = generator.choice(["allow", "block", "require_approval"])
    never = generator.random() < 0.5
    when = _condition(generator) if generator.random() < 0.8 else None
    unless = _condition(generator) if generator.random() < 0.4 else None
    result = prove(engine, SCHEMA, effect, never=never, action="pay", when=when, unless=unless)

    def holds(condition: dict[str, Any] | None, request: dict[str, Any]) -> bool:
        if condition is None:
            return False
        text = f"version: 1\nrules:\n  - {{ id: c, scope: {{ action: pay }}, " \
               f"when: {json.dumps(condition)}, effect: block }}\n"
        return PyKavro(SCHEMA, text).evaluate(request)["matched_rule"] == "c"

    pay = [r for r in REQUESTS if r["action"].get("type") == "pay"]
    breaking = [r for r, d in zip(pay, engine.evaluate_many(pay))
                if (when is None or holds(when, r)) and not holds(unless, r)
                and (d["effect"] == effect) == never]
    assert result.status == ("failed" if breaking else "proved")
    if result.witness is not None:
        assert result.witness["action"]["type"] == "pay"
        assert (when is None or holds(when, result.witness)) and not holds(unless, result.witness)
        assert (engine.evaluate(result.witness)["effect"] == effect) == never


PROPERTY_FILE = """
schema: schema.yaml
policy: policy.yaml
cases: []
properties:
  - name: no refund over 1000 is allowed
    never: allow
    action: refund
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
"""


@pytest.mark.parametrize("policy, passed, first", [
    (_ONE_RULE, True, "1 passed, 0 failed"),
    (_SPLIT, False, "FAIL"),
])
def test_kavro_test_proves_properties(tmp_path: Any, capsys: pytest.CaptureFixture[str],
                                      policy: str, passed: bool, first: str) -> None:
    pytest.importorskip("yaml")
    from kavro._command.main import main
    for name, text in (("schema.yaml", REFACTOR_SCHEMA), ("policy.yaml", policy),
                       ("p.test.yaml", PROPERTY_FILE)):
        (tmp_path / name).write_text(text)
    assert main(["test", str(tmp_path / "p.test.yaml")]) == (0 if passed else 1)
    out = capsys.readouterr().out
    assert out.startswith(first)
    if not passed:
        assert 'fails for {"action": {"amount": 1001, "type": "refund"}}' in out


COVERAGE_FILE = """
schema: schema.yaml
policy: policy.yaml
cases:
  - name: a clerk's large refund is blocked
    request: { action: { type: refund, amount: 5000 }, actor: { role: clerk } }
    expect: { effect: block }
"""


@pytest.mark.parametrize("options, status", [
    (["--coverage"], 0),
    (["--coverage", "--threshold", "30"], 0),
    (["--coverage", "--threshold", "31"], 1),
    (["--threshold", "30"], 2),
])
def test_kavro_test_coverage(tmp_path: Any, capsys: pytest.CaptureFixture[str],
                             options: list[str], status: int) -> None:
    pytest.importorskip("yaml")
    from kavro._command.main import main
    for name, text in (("schema.yaml", REFACTOR_SCHEMA), ("policy.yaml", _SPLIT),
                       ("c.test.yaml", COVERAGE_FILE)):
        (tmp_path / name).write_text(text)
    assert main(["test", str(tmp_path / "c.test.yaml"), *options, "--format", "json"]) == status
    if status == 2:
        return
    [coverage] = json.loads(capsys.readouterr().out)["coverage"]
    assert (coverage["covered"], coverage["total"]) == (3, 10)
    [unreached] = [m for m in coverage["missing"] if "decides" in m]
    assert unreached["rule_id"] == "large-refunds-others"
    decision = PyKavro(REFACTOR_SCHEMA, _SPLIT).evaluate(unreached["request"])
    assert decision["matched_rule"] == "large-refunds-others"
    assert {(m["comparison"], m["held"]) for m in coverage["missing"]
            if m["rule_id"] == "large-refunds-clerks"} == {
        ("action.amount greater_than 1000", False), ('actor.role equals "clerk"', False)}
