"""The measurement behind kavro.analysis's method: the same comparisons as
bench/analysis.py answered by z3 (PyPI z3-solver, not a kavro dependency),
encoding each field as a kind and an IEEE double, a string or a boolean, and
asking once per changed action whether any request is decided differently.
Prints seconds per question beside kavro.analysis's on the same policies.

    pip install z3-solver && python bench/analysis_z3.py [--seed N]

z3 answers only "some request differs" (with one model); kavro.analysis also
lists every region. One run each: other work on the machine shows in the times.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from pathlib import Path
from typing import Any

import z3

from kavro import PyKavro
from kavro.analysis import compare
from kavro.analysis._space import Comparison, Rule, read_rules

sys.path.insert(0, str(Path(__file__).resolve().parent))
import analysis as workload  # noqa: E402

_EFFECTS = {"allow": 0, "require_approval": 1, "block": 2}
_KINDS = {"number": 1, "text": 2, "boolean": 3}


class Fields:
    def __init__(self) -> None:
        self.made: dict[tuple[str, str], tuple[Any, Any, Any, Any]] = {}

    def of(self, key: tuple[str, str]) -> tuple[Any, Any, Any, Any]:
        if key not in self.made:
            name = ".".join(key)
            self.made[key] = (z3.Int(f"{name}.kind"), z3.FP(f"{name}.n", z3.Float64()),
                              z3.String(f"{name}.s"), z3.Bool(f"{name}.b"))
        return self.made[key]


def _kind(value: Any) -> str:
    return "boolean" if isinstance(value, bool) else "text" if isinstance(value, str) else "number"


def _compare(op: str, kind: str, left: Any, right: Any) -> Any:
    if kind == "number":
        return {"equals": lambda: z3.fpEQ(left, right),
                "not_equals": lambda: z3.Not(z3.fpEQ(left, right)),
                "greater_than": lambda: z3.fpGT(left, right),
                "less_than": lambda: z3.fpLT(left, right)}.get(op, lambda: z3.BoolVal(False))()
    if op == "equals":
        return left == right
    if op == "not_equals":
        return left != right
    return z3.BoolVal(False)


def comparison(fields: Fields, member: Comparison) -> Any:
    kind, number, text, boolean = fields.of(member.lhs)
    values = {1: number, 2: text, 3: boolean}
    if member.rhs is None:
        k = _KINDS[_kind(member.literal)]
        literal = z3.FPVal(member.literal, z3.Float64()) if k == 1 else \
            z3.StringVal(member.literal) if k == 2 else z3.BoolVal(member.literal)
        return z3.And(kind == k, _compare(member.operator, _kind(member.literal), values[k],
                                          literal))
    other_kind, other_number, other_text, other_boolean = fields.of(member.rhs)
    others = {1: other_number, 2: other_text, 3: other_boolean}
    return z3.Or(*[z3.And(kind == k, other_kind == k,
                          _compare(member.operator, name, values[k], others[k]))
                   for name, k in _KINDS.items()])


def condition(fields: Fields, rule: Rule) -> Any:
    members = [comparison(fields, m) for m in rule.members]
    return z3.Or(*members) if rule.kind == "any" else z3.And(*members)


def decision(fields: Fields, rules: list[Rule]) -> Any:
    effect: Any = z3.IntVal(_EFFECTS["allow"])
    for rule in reversed(rules):
        effect = z3.If(condition(fields, rule), z3.IntVal(_EFFECTS[rule.effect]), effect)
    return effect


def z3_compare(old: PyKavro, new: PyKavro) -> str:
    """'equivalent' or 'different', asking z3 once per action whose rules changed."""
    old_rules, new_rules = read_rules(old), read_rules(new)

    def sequence(rules: list[Rule], action: str | None) -> list[Rule]:
        return [r for r in rules if r.scope == "action" and r.scope_name == action] + \
            [r for r in rules if r.scope == "global"]

    actions = sorted({r.scope_name for r in old_rules + new_rules if r.scope == "action"
                      and r.scope_name is not None})
    answer = "equivalent"
    for action in [*actions, None]:
        before, after = sequence(old_rules, action), sequence(new_rules, action)
        if [r.shape for r in before] == [r.shape for r in after]:
            continue
        fields = Fields()
        solver = z3.Solver()
        solver.add(decision(fields, before) != decision(fields, after))
        for kind, *_ in fields.made.values():
            solver.add(kind >= 0, kind <= 3)
        if solver.check() == z3.sat:
            answer = "different"
    return answer


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    generator = random.Random(args.seed)
    small = [workload.rule(generator, n) for n in range(300)]
    large = [workload.rule(generator, n) for n in range(3000)]
    base = PyKavro(workload.SCHEMA, workload.policy(small))
    cases = [
        ("300 rules, one rule changed", base, workload.changed(small, 1, generator)),
        ("300 rules, 10 % changed", base, workload.changed(small, 30, generator)),
    ]
    large_old = PyKavro(workload.SCHEMA, workload.policy(large))
    cases.append(("3,000 rules, one rule changed", large_old,
                  workload.changed(large, 1, generator)))
    for label, old, rules in cases:
        new = PyKavro(workload.SCHEMA, workload.policy(rules))
        start = time.perf_counter()
        ours = compare(old, new, seconds=600).status
        middle = time.perf_counter()
        theirs = z3_compare(old, new)
        end = time.perf_counter()
        print(f"{label:<32} kavro.analysis {middle - start:7.3f} s ({ours})   "
              f"z3 {end - middle:7.3f} s ({theirs})", flush=True)


if __name__ == "__main__":
    main()
