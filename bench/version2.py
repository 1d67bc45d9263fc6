"""Version-2 forms against their version-1 peers, side by side in one run.

    python bench/version2.py [--rounds N]

Prints nanoseconds per decision (evaluate_many over the same requests, best of
the rounds) for: a version-1 policy of flat rules, the same rules under
version 2 (must cost the same); `in` over a list of 10,000 members against
one `equals` (one hash probe either way); and a rule nesting `any` inside
`all` against the two flat rules that say the same. Run it with another
build's package first on PYTHONPATH to compare builds (the version-1 rows run
on any build).
"""

from __future__ import annotations

import argparse
import random
import time
from typing import Any

from kavro import PyKavro

SCHEMA = """\
version: 1
actions:
  pay: { fields: { amount: number, currency: string, account: string, urgent: boolean } }
actor: { fields: { role: string, level: number } }
snapshot: { fields: { budget_left: number } }
"""


def cmp(domain: str, field: str, op: str, value: str) -> str:
    return f"{{ subject: [{domain}, {field}], operator: {op}, value: {value} }}"


def rule(rule_id: str, when: str, effect: str = "block") -> str:
    return f"  - id: {rule_id}\n    scope: {{ action: pay }}\n    when: {when}\n    effect: {effect}\n"


def policy(version: int, *rules: str) -> str:
    return f"version: {version}\nrules:\n" + "".join(rules)


def flat_rules(count: int) -> list[str]:
    rng = random.Random(7)
    rules = []
    for i in range(count):
        first = cmp("action", "amount", "greater_than", f"{{ literal: {rng.randint(10, 5000)} }}")
        second = cmp("actor", "role", "equals", f"{{ literal: r{rng.randint(0, 20)} }}")
        rules.append(rule(f"r{i}", f"{{ all: [{first}, {second}] }}"))
    return rules


def requests(count: int) -> list[dict[str, Any]]:
    rng = random.Random(11)
    return [{"action": {"type": "pay", "amount": float(rng.randint(0, 6000)),
                        "currency": f"C{rng.randint(0, 20000)}", "account": f"a{rng.randint(0, 9)}",
                        "urgent": rng.random() < 0.5},
             "actor": {"role": f"r{rng.randint(0, 40)}", "level": float(rng.randint(0, 9))},
             "snapshot": {"budget_left": float(rng.randint(0, 9000))}}
            for _ in range(count)]


def per_decision(engine: PyKavro, batch: list[dict[str, Any]], rounds: int) -> float:
    best = float("inf")
    engine.evaluate_many(batch[:1000])  # warm up: first decisions make the result dicts
    for _ in range(rounds):
        start = time.perf_counter_ns()
        engine.evaluate_many(batch)
        best = min(best, (time.perf_counter_ns() - start) / len(batch))
    return best


def cases() -> list[tuple[str, str, str | None]]:
    """(name, policy, its peer's name): a peer is measured first."""
    members = ", ".join(f"C{n}" for n in range(10_000))
    a = cmp("action", "amount", "greater_than", "{ literal: 2500 }")
    b = cmp("actor", "role", "equals", "{ literal: r3 }")
    c = cmp("action", "account", "equals", "{ literal: a5 }")
    flat = flat_rules(40)
    return [
        ("v1: 40 flat rules", policy(1, *flat), None),
        ("v2: the same 40 rules", policy(2, *flat), "v1: 40 flat rules"),
        ("v2: currency equals one", policy(2, rule("one", cmp("action", "currency", "equals",
                                                              "{ literal: C17 }"))), None),
        ("v2: currency in 3", policy(2, rule("few", cmp("action", "currency", "in",
                                                        "{ literal: [C17, C18, C19] }"))),
         "v2: currency equals one"),
        ("v2: currency in 10,000", policy(2, rule("many", cmp("action", "currency", "in",
                                                              f"{{ literal: [{members}] }}"))),
         "v2: currency equals one"),
        ("v2: two flat rules", policy(2, rule("ab", f"{{ all: [{a}, {b}] }}"),
                                      rule("ac", f"{{ all: [{a}, {c}] }}")), None),
        ("v2: one nested rule", policy(2, rule("a-bc", f"{{ all: [{a}, {{ any: [{b}, {c}] }}] }}")),
         "v2: two flat rules"),
    ]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--requests", type=int, default=20_000)
    args = parser.parse_args()
    batch = requests(args.requests)
    measured: dict[str, float] = {}
    print(f"{'case':<28}{'ns/decision':>12}  ratio to its peer")
    for name, text, peer in cases():
        try:
            engine = PyKavro(SCHEMA, text)
        except ValueError as refused:  # a build without version 2
            print(f"{name:<28}{'-':>12}  ({refused})")
            continue
        measured[name] = per_decision(engine, batch, args.rounds)
        ratio = f"{measured[name] / measured[peer]:.2f} x {peer!r}" if peer in measured else ""
        print(f"{name:<28}{measured[name]:>12.0f}  {ratio}")


if __name__ == "__main__":
    main()
