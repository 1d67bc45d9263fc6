"""Times kavro.analysis on generated mixed policies: compare with identical
policies, with one rule changed and with a tenth of the rules changed (300
rules), with one rule changed among 3,000, rule health on 300 rules, and a
version-2 rule over two lists of 10,000 members.
Prints wall-clock and CPU seconds (the CPU time moves less with other work on
the machine), the answer and the process's peak resident memory.

    python bench/analysis.py [--seed N]

One run each: other work on the machine shows in the times.
"""

from __future__ import annotations

import argparse
import random
import resource
import time
from typing import Any

from kavro import PyKavro
from kavro.analysis import compare, health

ACTIONS = [f"action{i}" for i in range(12)]
SCHEMA = "version: 1\nactions:\n" + "".join(
    f"  {name}: {{ fields: {{ amount: number, currency: string, channel: string }} }}\n"
    for name in ACTIONS) + """actor:
  fields: { role: string, level: number, verified: boolean, limit: number }
snapshot:
  fields: { maintenance: boolean, hour: number }
"""
FIELDS = {
    ("action", "amount"): [10, 100, 250, 500, 1000, 5000, 10000],
    ("action", "currency"): ["EUR", "USD", "GBP", "JPY"],
    ("action", "channel"): ["web", "app", "branch"],
    ("actor", "role"): ["clerk", "manager", "auditor", "intern", "admin"],
    ("actor", "level"): [1, 2, 3, 4, 5],
    ("actor", "verified"): [True, False],
    ("snapshot", "maintenance"): [True, False],
    ("snapshot", "hour"): [6, 9, 17, 22],
}
NUMBERS = {("action", "amount"), ("actor", "level"), ("snapshot", "hour")}


def _literal(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def _comparison(generator: random.Random, global_rule: bool) -> str:
    fields = [f for f in FIELDS if not (global_rule and f[0] == "action")]
    domain, name = generator.choice(fields)
    if (domain, name) == ("action", "amount") and generator.random() < 0.1:
        return "{ subject: [action, amount], operator: greater_than, " \
               "value: { subject: { domain: actor, field: limit } } }"
    operators = ["equals", "not_equals"] + (
        ["greater_than", "less_than", "greater_than"] if (domain, name) in NUMBERS else [])
    literal = _literal(generator.choice(FIELDS[(domain, name)]))
    return f"{{ subject: [{domain}, {name}], operator: {generator.choice(operators)}, " \
           f"value: {{ literal: {literal} }} }}"


def rule(generator: random.Random, number: int) -> str:
    global_rule = generator.random() < 0.05
    scope = "{ global: true }" if global_rule else f"{{ action: {generator.choice(ACTIONS)} }}"
    size = generator.choice([1, 2, 2, 3])
    members = [_comparison(generator, global_rule) for _ in range(size)]
    when = members[0] if size == 1 else \
        f"{{ {generator.choice(['all', 'all', 'any'])}: [{', '.join(members)}] }}"
    effect = generator.choice(["allow", "block", "require_approval"])
    return f"  - id: rule-{number}\n    scope: {scope}\n    when: {when}\n    effect: {effect}\n"


def policy(rules: list[str]) -> str:
    return "version: 1\nrules:\n" + "".join(rules)


def changed(rules: list[str], count: int, generator: random.Random) -> list[str]:
    copy = list(rules)
    for index in generator.sample(range(len(rules)), count):
        copy[index] = rule(generator, index)
    return copy


def timed(label: str, work: Any) -> None:
    start, cpu = time.perf_counter(), time.process_time()
    answer = work()
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{label:<36} {seconds:8.3f} s  cpu {cpu:7.3f} s   {answer:<32} peak {peak:.0f} MB",
          flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    generator = random.Random(args.seed)
    small = [rule(generator, n) for n in range(300)]
    large = [rule(generator, n) for n in range(3000)]
    base = PyKavro(SCHEMA, policy(small))

    def comparison(rules: list[str]) -> Any:
        def run() -> str:
            result = compare(base if rules is small else PyKavro(SCHEMA, policy(small)),
                             PyKavro(SCHEMA, policy(rules)), seconds=600)
            return f"{result.status}, {len(result.regions)} regions"
        return run

    timed("300 rules, identical", comparison(small))
    timed("300 rules, one rule changed", comparison(changed(small, 1, generator)))
    timed("300 rules, 10 % changed", comparison(changed(small, 30, generator)))
    large_old, large_new = PyKavro(SCHEMA, policy(large)), PyKavro(
        SCHEMA, policy(changed(large, 1, generator)))

    def large_run() -> str:
        result = compare(large_old, large_new, seconds=600)
        return f"{result.status}, {len(result.regions)} regions"
    timed("3,000 rules, one rule changed", large_run)

    def health_run() -> str:
        result = health(base, seconds=600)
        return f"{result.status}, {len(result.findings)} findings"
    timed("health, 300 rules", health_run)

    # Version 2: allow-lists of 10,000 ids and paths, one id dropped.
    def listed(count: int) -> str:
        ids = ", ".join(str(i) for i in range(count))
        paths = ", ".join(f'"/srv/{i}"' for i in range(10000))
        return ("version: 2\ndefault: block\nrules:\n  - id: known\n    scope: { action: action0 }\n"
                "    when: { all: [{ subject: [action, amount], operator: in, value: { literal: "
                f"[{ids}] }} }}, {{ subject: [action, channel], operator: not_in, value: "
                f"{{ literal: [{paths}] }} }}] }}\n    effect: allow\n")
    lists_old, lists_new = PyKavro(SCHEMA, listed(10000)), PyKavro(SCHEMA, listed(9999))

    def lists_run() -> str:
        result = compare(lists_old, lists_new, seconds=600)
        return f"{result.status}, {len(result.regions)} regions"
    timed("10,000-member lists, one dropped", lists_run)
    timed("health, 10,000-member lists", lambda: health(lists_old, seconds=600).status)


if __name__ == "__main__":
    main()
