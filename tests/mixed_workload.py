"""A workload of ordinary policies: no rule has a field of its own.

Rules: about 85 % scoped to an action (Zipf-like over ten actions), 13 %
global, 2 % actor-scoped; conditions 50 % atomic, 30 % `all` of 2 to 4, 20 %
`any` of 2 or 3; every operator and type, against literals or other fields.
Like real policies, a rule names an exception: its literals lie outside what
ordinary requests carry (large amounts, rare codes), or it pairs a common
comparison with such an exception. Requests hold 5 to 15 fields per map (some
declared fields left out, some undeclared ones added) and are aimed at an
early, middle or late rule of a bucket, at a global rule, at nothing, or carry
an odd `type`. The deciding rule and the rules a plain scan examines are
computed here by such a scan, so a request's aim is only its intent.

With `field_pairs`, every map also carries identity fields (user ids, teams,
limits, flags), and a quarter of the rules name their exception by comparing
two of them (`actor.id equals action.owner`: the self-approval pattern),
alone, beside `not_equals` and boolean comparisons, or in an `any` list.
"""

from __future__ import annotations

import math
import random

from workloads import ACTIONS, Atom, Request, Rule, Workload, policy_yaml

SIZES = (30, 300, 3000, 30000)
# Zipf-like weights: the first action gets about a third of the action rules.
ACTION_WEIGHTS = tuple(1 / (k + 1) for k in range(len(ACTIONS)))
ACTORS = ("clerk", "manager", "auditor")

NUMBER, STRING, BOOLEAN = "number", "string", "boolean"
# Ordinary request values: numbers in [0, 1000], text from a common vocabulary.
COMMON_TEXT = ("eu", "us", "web", "app", "gold", "basic", "new", "old")
RARE_TEXT = tuple(f"rare-{i}" for i in range(40))


def _fields(prefix: str, count: int) -> list:
    kinds = (NUMBER, STRING, NUMBER, BOOLEAN, STRING, NUMBER)
    return [(f"{prefix}{i}", kinds[i % len(kinds)]) for i in range(count)]


# Every action shares a few common fields and has some of its own kind.
ACTION_FIELDS = {action: _fields("f", 8 + k % 5) for k, action in enumerate(ACTIONS)}
ACTOR_FIELDS = _fields("a", 10)
SNAPSHOT_FIELDS = _fields("s", 10)

# The identity fields of the field-pair variant, and the pairs that rules
# compare: ids and teams rarely match, limits are rarely equal.
IDENTITY_FIELDS = {
    "action": (("owner", STRING), ("requester", STRING), ("team", STRING), ("limit", NUMBER),
               ("urgent", BOOLEAN)),
    "actor": (("id", STRING), ("team", STRING), ("limit", NUMBER), ("trusted", BOOLEAN)),
    "snapshot": (("owner", STRING), ("frozen", BOOLEAN)),
}
EXCEPTION_PAIRS = (
    (("actor", "id"), ("action", "owner"), "equals"),
    (("actor", "id"), ("action", "requester"), "equals"),
    (("action", "owner"), ("action", "requester"), "equals"),
    (("actor", "team"), ("action", "team"), "equals"),
    (("action", "limit"), ("actor", "limit"), "equals"),
    (("actor", "id"), ("snapshot", "owner"), "equals"),
)
# Pairs that hold often: beside an exception, never one.
COMMON_PAIRS = (
    (("actor", "trusted"), ("action", "urgent"), "not_equals"),
    (("actor", "team"), ("action", "team"), "not_equals"),
    (("action", "limit"), ("actor", "limit"), "greater_than"),
)


def _with_identity(domain: str, fields: list, field_pairs: bool) -> list:
    return list(fields) + list(IDENTITY_FIELDS[domain]) if field_pairs else fields


def schema_yaml(field_pairs: bool = False) -> str:
    out = ["version: 1", "actions:"]
    for action, fields in ACTION_FIELDS.items():
        fields = _with_identity("action", fields, field_pairs)
        out += [f"  {action}:", "    fields:"] + [f"      {n}: {k}" for n, k in fields]
    for domain, fields in (("actor", ACTOR_FIELDS), ("snapshot", SNAPSHOT_FIELDS)):
        fields = _with_identity(domain, fields, field_pairs)
        out += [f"{domain}:", "  fields:"] + [f"    {n}: {k}" for n, k in fields]
    return "\n".join(out) + "\n"


def _candidates(action: str | None) -> list:
    fields = [("actor", n, k) for n, k in ACTOR_FIELDS]
    fields += [("snapshot", n, k) for n, k in SNAPSHOT_FIELDS]
    if action is not None:
        fields += [("action", n, k) for n, k in ACTION_FIELDS[action]] * 2
    return fields


def _exceptional_atom(rng: random.Random, fields: list) -> Atom:
    """A comparison that ordinary requests rarely satisfy."""
    domain, field, kind = rng.choice(fields)
    if kind == NUMBER:
        op = rng.choice(("greater_than", "greater_than", "less_than", "equals"))
        literal = {"greater_than": rng.randint(1000, 100_000), "less_than": -rng.randint(0, 500),
                   "equals": rng.randint(0, 1000)}[op]
        return Atom(domain, field, op, literal)
    if kind == STRING:
        return Atom(domain, field, "equals", rng.choice(RARE_TEXT))
    return Atom(domain, field, "equals", True)


def _common_atom(rng: random.Random, fields: list) -> Atom:
    """A comparison that ordinary requests often satisfy: any operator, or a
    second field of the same type on the right."""
    domain, field, kind = rng.choice(fields)
    if rng.random() < 0.2:
        same = [f for f in fields if f[2] == kind and f[:2] != (domain, field)]
        if same:
            other = rng.choice(same)
            ops = ("greater_than", "less_than", "equals", "not_equals")
            return Atom(domain, field, rng.choice(ops if kind == NUMBER else ops[2:]),
                        rhs=other[:2])
    if kind == NUMBER:
        op = rng.choice(("greater_than", "less_than", "not_equals"))
        return Atom(domain, field, op, rng.randint(0, 1000))
    if kind == STRING:
        return Atom(domain, field, "not_equals", rng.choice(COMMON_TEXT))
    return Atom(domain, field, rng.choice(("equals", "not_equals")), rng.random() < 0.5)


def _pair_atom(pairs: tuple, rng: random.Random, action: bool) -> Atom:
    """A comparison of two identity fields; without an action, of none of its."""
    usable = [p for p in pairs if action or "action" not in (p[0][0], p[1][0])]
    (domain, field), rhs, op = rng.choice(usable)
    return Atom(domain, field, op, rhs=rhs)


def _boolean_atom(rng: random.Random) -> Atom:
    domain, field = rng.choice((("actor", "trusted"), ("snapshot", "frozen")))
    return Atom(domain, field, rng.choice(("equals", "not_equals")), rng.random() < 0.5)


def _pair_rule(rng: random.Random, rule_id: str, scope: tuple, fields: list, effect: str) -> Rule:
    """A rule whose exception compares two fields."""
    action = scope[0] == "action"
    exception = _pair_atom(EXCEPTION_PAIRS, rng, action)
    roll = rng.random()
    if roll < 0.35:
        return Rule(rule_id, scope, "atomic", (exception,), effect)
    if roll < 0.8:
        atoms = [exception]
        for _ in range(rng.randint(1, 2)):
            pick = rng.random()
            if pick < 0.4:
                atoms.append(_boolean_atom(rng))
            elif pick < 0.6 and action:
                atoms.append(_pair_atom(COMMON_PAIRS, rng, action))
            else:
                atoms.append(_common_atom(rng, fields))
        rng.shuffle(atoms)
        return Rule(rule_id, scope, "all", tuple(atoms), effect)
    atoms = [exception, _exceptional_atom(rng, fields)]
    rng.shuffle(atoms)
    return Rule(rule_id, scope, "any", tuple(atoms), effect)


def _make_rule(rng: random.Random, position: int, field_pairs: bool = False) -> Rule:
    roll = rng.random()
    if roll < 0.85:
        action = rng.choices(ACTIONS, ACTION_WEIGHTS)[0]
        scope, rule_id, fields = ("action", action), f"{action}-{position:05d}", _candidates(action)
    elif roll < 0.98:
        scope, rule_id, fields = ("global", True), f"global-{position:05d}", _candidates(None)
    else:
        actor = rng.choice(ACTORS)
        scope, rule_id, fields = ("actor", actor), f"{actor}-{position:05d}", _candidates(None)
    effect = rng.choice(("allow", "block", "require_approval"))
    if field_pairs and rng.random() < 0.25:
        return _pair_rule(rng, rule_id, scope, fields, effect)
    roll = rng.random()
    if roll < 0.5:
        return Rule(rule_id, scope, "atomic", (_exceptional_atom(rng, fields),), effect)
    if roll < 0.8:
        atoms = [_exceptional_atom(rng, fields)]
        atoms += [_common_atom(rng, fields) for _ in range(rng.randint(1, 3))]
        rng.shuffle(atoms)
        return Rule(rule_id, scope, "all", tuple(atoms), effect)
    atoms = tuple(_exceptional_atom(rng, fields) for _ in range(rng.randint(2, 3)))
    return Rule(rule_id, scope, "any", atoms, effect)


def make_rules(size: int, seed: int = 11, field_pairs: bool = False) -> list:
    rng = random.Random(seed * 1_000_003 + size)
    return [_make_rule(rng, position, field_pairs) for position in range(size)]


def _ordinary_value(rng: random.Random, kind: str):
    if kind == NUMBER:
        # Users pass a mix of ints and floats; both are numbers to the engine.
        value = rng.randint(0, 1000)
        return float(value) if rng.random() < 0.3 else value
    if kind == STRING:
        return rng.choice(COMMON_TEXT)
    return False


def _ordinary_map(rng: random.Random, fields: list) -> dict:
    """5 to 15 entries: most declared fields, some undeclared ones."""
    kept = [f for f in fields if rng.random() < 0.85][:12]
    values = {name: _ordinary_value(rng, kind) for name, kind in kept}
    while len(values) < 5 or rng.random() < 0.3:
        values[f"extra_{rng.randint(0, 99)}"] = rng.randint(0, 9)
    return dict(list(values.items())[:15])


def _next_to(value, op: str):
    """A value of the same kind as `value` for which `op` against it holds."""
    if op == "equals":
        return value
    if isinstance(value, bool):
        return not value if op == "not_equals" else value
    if isinstance(value, str):
        return value + "-x" if op == "not_equals" else value
    return value - 1 if op == "less_than" else value + 1


def _satisfy(request: dict, atom: Atom) -> None:
    """Sets the request's fields so that `atom` holds (if it can)."""
    right = atom.literal if atom.rhs is None else request[atom.rhs[0]].get(atom.rhs[1])
    if right is not None:
        request[atom.domain][atom.field] = _next_to(right, atom.op)


def _holds(atom: Atom, request: dict) -> bool:
    left = request[atom.domain].get(atom.field)
    right = atom.literal if atom.rhs is None else request[atom.rhs[0]].get(atom.rhs[1])
    if left is None or right is None or isinstance(left, bool) != isinstance(right, bool):
        return False
    if isinstance(left, str) != isinstance(right, str):
        return False
    if atom.op == "equals":
        return left == right
    if atom.op == "not_equals":
        return left != right
    if isinstance(left, (str, bool)):
        return False
    return left > right if atom.op == "greater_than" else left < right


def _rule_holds(rule: Rule, request: dict) -> bool:
    if rule.kind == "any":
        return any(_holds(atom, request) for atom in rule.atoms)
    return all(_holds(atom, request) for atom in rule.atoms)


def decide(rules: list, request: dict) -> tuple:
    """(effect, rule id or None, rules examined) by a plain scan."""
    action = request["action"].get("type")
    buckets = [[r for r in rules if r.scope == ("action", action)]] if isinstance(action, str) else []
    buckets.append([r for r in rules if r.scope[0] == "global"])
    examined = 0
    for bucket in buckets:
        for rule in bucket:
            examined += 1
            if _rule_holds(rule, request):
                return rule.effect, rule.rule_id, examined
    return "allow", None, examined


def _identity_value(rng: random.Random, field: str, kind: str):
    if kind == NUMBER:
        return rng.randint(0, 1000)
    if kind == BOOLEAN:
        return rng.random() < 0.5
    return f"t{rng.randint(0, 49)}" if field == "team" else f"u{rng.randint(0, 999)}"


def _ordinary_request(rng: random.Random, action, field_pairs: bool = False) -> dict:
    fields = ACTION_FIELDS.get(action, ACTION_FIELDS[ACTIONS[0]])
    request = {"action": {"type": action, **_ordinary_map(rng, fields)},
               "actor": _ordinary_map(rng, ACTOR_FIELDS),
               "snapshot": _ordinary_map(rng, SNAPSHOT_FIELDS)}
    if field_pairs:
        for domain, identity in IDENTITY_FIELDS.items():
            for field, kind in identity:
                if rng.random() < 0.9:
                    request[domain][field] = _identity_value(rng, field, kind)
    return request


def make_requests(rules: list, count: int = 60, seed: int = 5, field_pairs: bool = False) -> list:
    rng = random.Random(seed + len(rules))
    globals_ = [r for r in rules if r.scope[0] == "global"]
    requests = []
    for i in range(count):
        aim = ("early", "middle", "late", "global", "none", "odd type")[i % 6]
        action = rng.choices(ACTIONS, ACTION_WEIGHTS)[0]
        bucket = [r for r in rules if r.scope == ("action", action)]
        if aim == "odd type":
            action = rng.choice((7, True, "Refund", "audit"))
        request = _ordinary_request(rng, action, field_pairs)
        if aim == "global":
            bucket = globals_
        if aim in ("early", "middle", "late", "global") and bucket:
            share = {"early": 0.05, "middle": 0.5, "late": 0.95, "global": 0.5}[aim]
            target = bucket[min(len(bucket) - 1, int(share * len(bucket)))]
            chosen = target.atoms if target.kind != "any" else (rng.choice(target.atoms),)
            for atom in chosen:
                _satisfy(request, atom)
        effect, matched, examined = decide(rules, request)
        requests.append(Request(request, effect, matched, examined, aim))
    return requests


def mixed_policy_yaml(rules: list) -> str:
    """The policy text, with the actor scopes that workloads.policy_yaml lacks."""
    actors = {rule.rule_id: rule.scope[1] for rule in rules if rule.scope[0] == "actor"}
    lines = policy_yaml(rules).split("\n")
    for i, line in enumerate(lines):
        if line.startswith("  - id: ") and line[8:] in actors:
            lines[i + 1] = f"    scope: {{actor: {actors[line[8:]]}}}"
    return "\n".join(lines)


def make_workload(size: int, field_pairs: bool = False) -> Workload:
    rules = make_rules(size, field_pairs=field_pairs)
    return Workload(size, schema_yaml(field_pairs), mixed_policy_yaml(rules), rules,
                    make_requests(rules, field_pairs=field_pairs))


if __name__ == "__main__":
    for size, field_pairs in [(size, pairs) for pairs in (False, True) for size in SIZES]:
        workload = make_workload(size, field_pairs)
        examined = sum(r.rules_examined for r in workload.requests) / len(workload.requests)
        matched = sum(r.matched_rule is not None for r in workload.requests)
        print(size, "field pairs" if field_pairs else "", len(workload.policy_yaml), "bytes,", len(workload.requests), "requests,",
              f"{examined:.0f} rules examined on average, {matched} matched")
        assert not any(math.isnan(v) for r in workload.requests for m in r.data.values()
                       for v in m.values() if isinstance(v, float))
