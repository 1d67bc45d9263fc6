"""Hostile policies for a small schema: alias expansion and deep nesting.
The robustness tests check their messages and memory; bench/run times them."""

from __future__ import annotations

SCHEMA = """version: 1
actions:
  refund:
    fields: {amount: number}
actor:
  fields: {role: string}
snapshot:
  fields: {}
"""

RULE_HEAD = "version: 1\nrules:\n  - id: r\n    scope: {global: true}\n"


def alias_bomb(levels: int, width: int) -> str:
    lines = ["a0: &a0 [" + ", ".join(["x"] * width) + "]"]
    for level in range(1, levels):
        lines.append(f"a{level}: &a{level} [" + ", ".join([f"*a{level - 1}"] * width) + "]")
    return "\n".join(lines) + "\n" + RULE_HEAD + f"    when: *a{levels - 1}\n    effect: block\n"


def nested(opening: str, closing: str, depth: int) -> str:
    return RULE_HEAD + "    when: " + opening * depth + "x" + closing * depth + "\n    effect: block\n"


# Each named document, as the tests and the benchmark use them.
HOSTILE = {
    "laughs-9x10": alias_bomb(9, 10),
    "doubling-30": alias_bomb(30, 2),
    "sequences-10000-deep": nested("[", "]", 10_000),
    "mappings-10000-deep": nested("{a: ", "}", 10_000),
}
