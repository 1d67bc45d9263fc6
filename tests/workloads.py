"""Deterministic benchmark workloads: a schema, a policy and requests.

Every rule carries one identity comparison (a field equal to a value no other
rule uses), so a request can be aimed at exactly one rule: it sets that
identity field and leaves every other identity field at a value no rule
names. The remaining comparisons of a rule hold on the standard request
values (in `all` lists) or never hold (as the extra members of `any` lists),
so the deciding rule and the number of rules examined are known in advance.

All numbers are integral so that peers with integer-only arithmetic can
express the same rule set exactly.
"""

from __future__ import annotations

import dataclasses
import random

SIZES = (30, 300, 3000, 30000)

ACTIONS = (
    "refund", "transfer", "withdraw", "deposit", "invoice",
    "export", "delete", "invite", "approve", "archive",
)

# Fields an action may carry beyond its identity fields, with the value that
# standard requests hold. Action number k carries the first 2 + k of them, so
# action maps hold 5 to 14 entries (with "type", "code" and "ref").
ACTION_EXTRA_FIELDS = (
    ("amount", "number", 250),
    ("currency", "string", "EUR"),
    ("urgent", "boolean", False),
    ("quantity", "number", 7),
    ("region", "string", "eu-west"),
    ("internal", "boolean", True),
    ("risk", "number", 40),
    ("channel", "string", "web"),
    ("priority", "number", 3),
    ("flagged", "boolean", False),
    ("tier", "string", "gold"),
)
ACTOR_FIELDS = (
    ("role", "string", "clerk"),
    ("level", "number", 4),
    ("verified", "boolean", True),
    ("limit", "number", 1000),
    ("region", "string", "eu-west"),
)
SNAPSHOT_FIELDS = (
    ("load", "number", 55),
    ("maintenance", "boolean", False),
    ("zone", "string", "eu-west"),
    ("quota", "number", 900),
)

# Identity fields: action rules name one of the first pair, global rules one
# of the second. Requests hold these defaults unless aimed at a rule.
ACTION_IDENTITY = (("action", "code", "string"), ("action", "ref", "number"))
GLOBAL_IDENTITY = (("actor", "team", "string"), ("snapshot", "epoch", "number"))
IDENTITY_DEFAULTS = {"code": "none", "ref": 0, "team": "none", "epoch": 0}

EFFECTS = ("allow", "block", "require_approval")


def action_fields(index: int) -> tuple:
    return ACTION_EXTRA_FIELDS[: 2 + index]


@dataclasses.dataclass(frozen=True)
class Atom:
    """One comparison: domain.field <op> literal, or <op> another field."""

    domain: str
    field: str
    op: str
    literal: object = None  # str, int or bool; None when rhs is a subject
    rhs: tuple | None = None  # (domain, field)


@dataclasses.dataclass(frozen=True)
class Rule:
    rule_id: str
    scope: tuple  # ("action", name) or ("global", True)
    kind: str  # "atomic", "all", "any"
    atoms: tuple
    effect: str


@dataclasses.dataclass(frozen=True)
class Request:
    data: dict
    effect: str
    matched_rule: str | None
    rules_examined: int
    kind: str  # early, late, global, none


@dataclasses.dataclass
class Workload:
    size: int
    schema_yaml: str
    policy_yaml: str
    rules: list
    requests: list

    @property
    def action_buckets(self) -> dict:
        buckets: dict = {}
        for rule in self.rules:
            if rule.scope[0] == "action":
                buckets.setdefault(rule.scope[1], []).append(rule)
        return buckets

    @property
    def global_rules(self) -> list:
        return [rule for rule in self.rules if rule.scope[0] == "global"]


def _standard_values(action: str) -> dict:
    index = ACTIONS.index(action)
    return {
        "action": {name: value for name, _, value in action_fields(index)},
        "actor": {name: value for name, _, value in ACTOR_FIELDS},
        "snapshot": {name: value for name, _, value in SNAPSHOT_FIELDS},
    }


def _candidate_fields(action: str | None) -> list:
    """(domain, field, type, standard value) that extra comparisons may test."""
    fields = []
    if action is not None:
        index = ACTIONS.index(action)
        fields += [("action", n, t, v) for n, t, v in action_fields(index)]
    fields += [("actor", n, t, v) for n, t, v in ACTOR_FIELDS]
    fields += [("snapshot", n, t, v) for n, t, v in SNAPSHOT_FIELDS]
    return fields


def _holding_atom(rng: random.Random, fields: list) -> Atom:
    """A comparison that holds on the standard request values."""
    domain, field, kind, value = rng.choice(fields)
    if rng.random() < 0.15:
        same = [f for f in fields if f[2] == kind and f[:2] != (domain, field)]
        if same:
            other = rng.choice(same)
            if kind == "number" and other[3] != value:
                op = "greater_than" if value > other[3] else "less_than"
            else:
                op = "equals" if other[3] == value else "not_equals"
            return Atom(domain, field, op, rhs=other[:2])
    if kind == "number":
        op = rng.choice(("greater_than", "less_than", "not_equals", "equals"))
        literal = {
            "greater_than": value - rng.randint(1, 50),
            "less_than": value + rng.randint(1, 50),
            "not_equals": value + rng.randint(1, 50),
            "equals": value,
        }[op]
        return Atom(domain, field, op, literal)
    if kind == "string":
        if rng.random() < 0.5:
            return Atom(domain, field, "equals", value)
        return Atom(domain, field, "not_equals", f"x-{rng.randint(0, 999)}")
    if rng.random() < 0.5:
        return Atom(domain, field, "equals", value)
    return Atom(domain, field, "not_equals", not value)


def _failing_atom(rng: random.Random, fields: list) -> Atom:
    """A comparison that never holds on any request of the workload."""
    domain, field, kind, value = rng.choice(fields)
    if kind == "number":
        if rng.random() < 0.5:
            return Atom(domain, field, "greater_than", value + 10_000_000)
        return Atom(domain, field, "less_than", -1)
    if kind == "string":
        return Atom(domain, field, "equals", f"never-{rng.randint(0, 999)}")
    return Atom(domain, field, "equals", not value)


def _identity_atom(rng: random.Random, identity: tuple, serial: int, label: str) -> Atom:
    domain, field, kind = rng.choice(identity)
    if kind == "string":
        return Atom(domain, field, "equals", f"{label}-{serial}")
    base = 1_000_000 if domain == "action" else 2_000_000
    return Atom(domain, field, "equals", base + serial)


def _make_rule(rng: random.Random, rule_id: str, scope: tuple, identity: Atom) -> Rule:
    fields = _candidate_fields(scope[1] if scope[0] == "action" else None)
    roll = rng.random()
    if roll < 0.3:
        return Rule(rule_id, scope, "atomic", (identity,), rng.choice(EFFECTS))
    if roll < 0.75:
        atoms = [identity] + [_holding_atom(rng, fields) for _ in range(rng.randint(1, 3))]
        rng.shuffle(atoms)
        return Rule(rule_id, scope, "all", tuple(atoms), rng.choice(EFFECTS))
    atoms = [identity] + [_failing_atom(rng, fields) for _ in range(rng.randint(1, 2))]
    rng.shuffle(atoms)
    return Rule(rule_id, scope, "any", tuple(atoms), rng.choice(EFFECTS))


def make_rules(size: int, seed: int = 7) -> list:
    """size rules in document order; one in ten is global."""
    rng = random.Random(seed * 1_000_003 + size)
    rules = []
    for position in range(size):
        if position % 10 == 9:
            identity = _identity_atom(rng, GLOBAL_IDENTITY, position, "g")
            rules.append(_make_rule(rng, f"global-{position:05d}", ("global", True), identity))
        else:
            action = ACTIONS[rng.randrange(len(ACTIONS))]
            identity = _identity_atom(rng, ACTION_IDENTITY, position, action)
            rules.append(_make_rule(rng, f"{action}-{position:05d}", ("action", action), identity))
    return rules


def _yaml_scalar(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _atom_yaml(atom: Atom, indent: str) -> str:
    lines = [
        f"{indent}subject: {{domain: {atom.domain}, field: {atom.field}}}",
        f"{indent}operator: {atom.op}",
    ]
    if atom.rhs is None:
        lines.append(f"{indent}value: {{literal: {_yaml_scalar(atom.literal)}}}")
    else:
        lines.append(f"{indent}value:")
        lines.append(f"{indent}  subject: {{domain: {atom.rhs[0]}, field: {atom.rhs[1]}}}")
    return "\n".join(lines)


def policy_yaml(rules: list) -> str:
    out = ["version: 1", "rules:"]
    for rule in rules:
        out.append(f"  - id: {rule.rule_id}")
        if rule.scope[0] == "action":
            out.append(f"    scope: {{action: {rule.scope[1]}}}")
        else:
            out.append("    scope: {global: true}")
        out.append("    when:")
        if rule.kind == "atomic":
            out.append(_atom_yaml(rule.atoms[0], "      "))
        else:
            out.append(f"      {rule.kind}:")
            for atom in rule.atoms:
                text = _atom_yaml(atom, "          ")
                out.append("        - " + text[10:])
        out.append(f"    effect: {rule.effect}")
    return "\n".join(out) + "\n"


def schema_yaml() -> str:
    out = ["version: 1", "actions:"]
    for index, action in enumerate(ACTIONS):
        out.append(f"  {action}:")
        out.append("    fields:")
        out.append("      code: string")
        out.append("      ref: number")
        for name, kind, _ in action_fields(index):
            out.append(f"      {name}: {kind}")
    for domain, fields, identity in (
        ("actor", ACTOR_FIELDS, "team"),
        ("snapshot", SNAPSHOT_FIELDS, "epoch"),
    ):
        out.append(f"{domain}:")
        out.append("  fields:")
        out.append(f"    {identity}: {'string' if identity == 'team' else 'number'}")
        for name, kind, _ in fields:
            out.append(f"    {name}: {kind}")
    return "\n".join(out) + "\n"


def _request(action: str, aim: Atom | None) -> dict:
    values = _standard_values(action) if action in ACTIONS else _standard_values(ACTIONS[0])
    values["action"] = {"type": action, "code": "none", "ref": 0, **values["action"]}
    values["actor"] = {"team": "none", **values["actor"]}
    values["snapshot"] = {"epoch": 0, **values["snapshot"]}
    if aim is not None:
        values[aim.domain][aim.field] = aim.literal
    # Users pass a mix of ints and floats; both are numbers to the engine.
    for name in ("risk", "load"):
        for domain in ("action", "snapshot"):
            if name in values[domain]:
                values[domain][name] = float(values[domain][name])
    return values


def _identity_of(rule: Rule) -> Atom:
    for atom in rule.atoms:
        if atom.field in IDENTITY_DEFAULTS and atom.rhs is None and atom.op == "equals":
            return atom
    raise AssertionError(f"rule {rule.rule_id} has no identity")


def make_requests(rules: list) -> list:
    buckets: dict = {}
    for rule in rules:
        if rule.scope[0] == "action":
            buckets.setdefault(rule.scope[1], []).append(rule)
    globals_ = [rule for rule in rules if rule.scope[0] == "global"]
    requests = []
    for action in ACTIONS:
        bucket = buckets.get(action, [])
        if bucket:
            first, last = bucket[0], bucket[-1]
            requests.append(Request(_request(action, _identity_of(first)), first.effect,
                                    first.rule_id, 1, "early"))
            requests.append(Request(_request(action, _identity_of(last)), last.effect,
                                    last.rule_id, len(bucket), "late"))
        if globals_:
            target = globals_[-1]
            requests.append(Request(_request(action, _identity_of(target)), target.effect,
                                    target.rule_id, len(bucket) + len(globals_), "global"))
        requests.append(Request(_request(action, None), "allow", None,
                                len(bucket) + len(globals_), "none"))
    # An action no rule is filed under: only the global rules are scanned.
    requests.append(Request(_request("audit", None), "allow", None, len(globals_), "none"))
    return requests


def _typed(value) -> str:
    if isinstance(value, bool):
        return "b " + ("1" if value else "0")
    if isinstance(value, (int, float)):
        return f"n {value!r}"
    return "s " + value


def core_dump(workload: Workload) -> str:
    """The rules and requests as plain lines for bench/core_bench.cpp, which
    builds the compiled model directly (no loader, no Python)."""
    out = []
    for rule in workload.rules:
        name = rule.scope[1] if rule.scope[0] == "action" else "-"
        out.append(f"rule {rule.scope[0]} {name} {rule.rule_id} {rule.kind} {rule.effect} "
                   f"{len(rule.atoms)}")
        for atom in rule.atoms:
            if atom.rhs is None:
                out.append(f"atom {atom.domain} {atom.field} {atom.op} lit {_typed(atom.literal)}")
            else:
                out.append(f"atom {atom.domain} {atom.field} {atom.op} subj {atom.rhs[0]} "
                           f"{atom.rhs[1]}")
    for request in workload.requests:
        fields = [(d, n, v) for d, m in request.data.items() for n, v in m.items()]
        out.append(f"request {request.rules_examined} {request.matched_rule or '-'} {len(fields)}")
        out += [f"field {d} {n} {_typed(v)}" for d, n, v in fields]
    return "\n".join(out) + "\n"


def make_workload(size: int) -> Workload:
    rules = make_rules(size)
    return Workload(size, schema_yaml(), policy_yaml(rules), rules, make_requests(rules))


if __name__ == "__main__":
    for size in SIZES:
        workload = make_workload(size)
        print(size, len(workload.policy_yaml), "bytes,", len(workload.requests), "requests")
