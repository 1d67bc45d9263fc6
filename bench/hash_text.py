"""The one-line text that policy_hash digests, rendered from a workload.

The benchmark needs its length (SHA-256 alone is timed over as many bytes)
and checks that the engine's digest is the SHA-256 of this text. Map entries
are in ascending key order, as the engine writes them. Escaping covers what
the workloads contain (ASCII); other characters are not escaped here.
"""

from __future__ import annotations

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
_DOMAINS = {"action": "Action", "actor": "Actor", "snapshot": "Snapshot"}
_OPERATORS = {"equals": "Equals", "not_equals": "NotEquals", "greater_than": "GreaterThan",
              "less_than": "LessThan"}
_EFFECTS = {"allow": "Allow", "block": "Block", "require_approval": "RequireApproval"}


def quoted(text: str) -> str:
    out = []
    for char in text:
        if char in _ESCAPES:
            out.append(_ESCAPES[char])
        elif ord(char) < 0x20 or ord(char) == 0x7F:
            out.append(f"\\u{{{ord(char):x}}}")
        else:
            out.append(char)
    return '"' + "".join(out) + '"'


def number(value: float) -> str:
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    # repr switches to exponent form exactly outside [1e-4, 1e16).
    text = repr(float(value))
    if "e" not in text:
        return text
    mantissa, exponent = text.split("e")
    return f"{mantissa}e{int(exponent)}"


def _subject(domain: str, field: str) -> str:
    return f"SubjectRef {{ domain: {_DOMAINS[domain]}, field: {quoted(field)} }}"


def _literal(value) -> str:
    if isinstance(value, bool):
        return f"Boolean({'true' if value else 'false'})"
    if isinstance(value, (int, float)):
        return f"Number({number(value)})"
    return f"String({quoted(value)})"


def _atom(atom) -> str:
    rhs = f"Subject({_subject(*atom.rhs)})" if atom.rhs else f"Literal({_literal(atom.literal)})"
    return (f"AtomicCondition {{ lhs: {_subject(atom.domain, atom.field)}, "
            f"operator: {_OPERATORS[atom.op]}, rhs: {rhs} }}")


def _rule(rule) -> str:
    if rule.kind == "atomic":
        condition = f"Atomic({_atom(rule.atoms[0])})"
    else:
        members = ", ".join(_atom(atom) for atom in rule.atoms)
        condition = f"{'All' if rule.kind == 'all' else 'Any'}([{members}])"
    return (f"CompiledRule {{ rule_id: {quoted(rule.rule_id)}, condition: {condition}, "
            f"effect: {_EFFECTS[rule.effect]} }}")


def _sequence(rules) -> str:
    return "[" + ", ".join(_rule(rule) for rule in rules) + "]"


def policy_hash_text(workload) -> str:
    buckets = workload.action_buckets
    action_rules = ", ".join(f"{quoted(name)}: {_sequence(buckets[name])}"
                             for name in sorted(buckets, key=lambda n: n.encode()))
    return (f"CompiledPolicy {{ action_rules: {{{action_rules}}}, actor_rules: {{}}, "
            f"global_rules: {_sequence(workload.global_rules)} }}")
