"""Documents of about 1 MB crafted to make construction (or lint, or
check_request's suggestions) slow or memory-hungry.

Shared by the regression tests (which assert each outcome) and by
bench/attacks.py (which times them). Each attack returns the constructor's
arguments: (schema, policy, governance or None).
"""

from __future__ import annotations

import functools
from typing import Callable, Optional

Documents = tuple[str, str, Optional[str]]

SCHEMA = "version: 1\nactions: {}\nactor: {fields: {}}\nsnapshot: {fields: {}}\n"


def governance_times_policy(aliased: int = 60_000, distinct: int = 4_000) -> Documents:
    """Many governance rules against many policy rules, most of them aliases of
    about 3 bytes (as many as the alias budget admits): the checker must not
    walk the policy once per governance rule."""
    rule = "{id: r, scope: {global: true}, when: {all: []}, effect: allow}"
    policy = ("version: 1\nrules: [&r " + rule + ",*r" * (aliased - 1) + "".join(
        ",\n" + rule.replace("id: r", f"id: r{i}") for i in range(distinct)) + "]\n")
    check = "{id: g, select: {where: {effect: allow}}, must: {max_count: 0}, error: e}"
    governance = ("version: 1\ngovernance:\n  rules: [&g " + check + ",*g" * (aliased - 1)
                  + "".join(",\n" + check.replace("id: g", f"id: g{i}") for i in range(distinct))
                  + "]\n")
    return SCHEMA, policy, governance


# The text hash that the engine used before it was keyed: for 16-byte texts
# the second word can cancel what the first one did to the state, so names
# with equal hashes were cheap to compute.
_C = 0x9E3779B97F4A7C15
_M = 0xBF58476D1CE4E5B9
_MASK = (1 << 64) - 1


@functools.cache
def colliding_names(count: int) -> list[bytes]:
    """`count` distinct 16-byte ASCII names (no NUL) with one unkeyed hash."""
    import numpy as np

    rng = np.random.default_rng(10)
    start = np.uint64((17 * _C) & _MASK)
    target = np.uint64(0x2A2A2A2A2A2A2A2A)  # any word of ASCII bytes
    names: set[bytes] = set()
    with np.errstate(over="ignore"):
        while len(names) < count:
            first = rng.integers(1, 0x80, size=(2_000_000, 8), dtype=np.uint8)
            state = (start ^ first.view("<u8").ravel()) * np.uint64(_M)
            state ^= state >> np.uint64(29)
            second = (state ^ target).astype("<u8").view(np.uint8).reshape(-1, 8)
            ascii = ((second >= 1) & (second < 0x80)).all(axis=1)
            for a, b in zip(first[ascii], second[ascii]):
                names.add(a.tobytes() + b.tobytes())
    return sorted(names)[:count]


def _quoted(name: bytes) -> str:
    """A YAML double-quoted scalar of the bytes, control characters escaped."""
    plain = {byte: chr(byte) for byte in range(0x20, 0x7F)}
    plain.update({ord('"'): '\\"', ord("\\"): "\\\\"})
    return '"' + "".join(plain.get(byte, f"\\x{byte:02x}") for byte in name) + '"'


def colliding_field_names(count: int = 20_000) -> Documents:
    fields = ", ".join(f"{_quoted(name)}: string" for name in colliding_names(count))
    schema = ("version: 1\nactions: {}\nactor: {fields: {" + fields + "}}\n"
              "snapshot: {fields: {}}\n")
    return schema, "version: 1\nrules: []\n", None


def colliding_action_names(count: int = 6_000) -> Documents:
    names = [_quoted(name) for name in colliding_names(count)]
    schema = ("version: 1\nactions: {" + ", ".join(f"{name}: {{fields: {{}}}}" for name in names)
              + "}\nactor: {fields: {}}\nsnapshot: {fields: {}}\n")
    rules = ",\n".join(f"{{id: r{i}, scope: {{action: {name}}}, when: *w, effect: block}}"
                       for i, name in enumerate(names))
    schema = schema.replace("actor: {fields: {}}", "actor: {fields: {role: string}}")
    policy = ("version: 1\nw: &w {subject: [actor, role], operator: equals, value: {literal: x}}"
              "\nrules: [\n" + rules + "]\n")
    return schema, policy, None


def aliased_long_list(items: int = 470_000, aliases: int = 99) -> Documents:
    """A `when` made of many aliases of one long list of empty items."""
    policy = ("version: 1\nlist: &l [" + ",".join(["~"] * items) + "]\n"
              "rules: [{id: r, scope: {global: true}, when: {all: [" + ",".join(["*l"] * aliases)
              + "]}, effect: block}]\n")
    return SCHEMA, policy, None


def aliased_wide_field_map(fields: int = 40_000, aliases: int = 100) -> Documents:
    """Schema actions that all alias one map of many fields."""
    field_map = ", ".join(f"f{i}: string" for i in range(fields))
    actions = "\n".join(f"  a{i}: *m" for i in range(1, aliases))
    schema = ("version: 1\nactions:\n  a0: &m {fields: {" + field_map + "}}\n" + actions
              + "\nactor: {fields: {}}\nsnapshot: {fields: {}}\n")
    return schema, "version: 1\nrules: []\n", None


def tag_directives(count: int = 40_000) -> Documents:
    directives = "".join(f"%TAG !t{i}! tag:x,1:\n" for i in range(count))
    return SCHEMA, directives + "---\nversion: 1\nrules: []\n", None


def _near_names(prefix: str, count: int, width: int) -> list[str]:
    """`count` names of one length, each a few edits from many of the others."""
    return [f"{prefix}{i:0{width}d}" for i in range(count)]


def unknown_filter_names(actions: int = 6_000, rules: int = 7_000) -> Documents:
    """Governance filters naming actions and fields the schema does not declare,
    among thousands of declared names of the same length: lint looks for a
    suggestion for each (the build does not)."""
    names = _near_names("act", actions, 8)
    schema = ("version: 1\nactions: {" + ", ".join(f"{name}: {{fields: {{f{i % 50:02d}: number}}}}"
                                                  for i, name in enumerate(names))
              + "}\nactor: {fields: {}}\nsnapshot: {fields: {}}\n")
    check = ("{{id: g{i}, select: {{where: {{scope: {{action: act{i:07d}x}}}}}}, "
             "must: {{allowed_fields: [action.f{field:02d}]}}, error: e}}")
    checks = ",\n".join(check.format(i=i, field=i % 90) for i in range(rules))
    governance = "version: 1\ngovernance:\n  rules: [" + checks + "]\n"
    return schema, "version: 1\nrules: []\n", governance


ATTACKS: dict[str, Callable[[], Documents]] = {
    "governance-times-policy": governance_times_policy,
    "colliding-field-names": colliding_field_names,
    "colliding-action-names": colliding_action_names,
    "aliased-long-list": aliased_long_list,
    "aliased-wide-field-map": aliased_wide_field_map,
    "tag-directives": tag_directives,
    "unknown-filter-names": unknown_filter_names,
}


def _wide_action_schema(count: int = 3_000) -> str:
    fields = ", ".join(f"{name}: number" for name in _near_names("field", count, 6))
    return ("version: 1\nactions: {" + ", ".join(f"{name}: {{fields: {{{fields}}}}}"
                                                for name in _near_names("act", 2, 8))
            + "}\nactor: {fields: {}}\nsnapshot: {fields: {}}\n")


def long_request_names() -> tuple[Documents, dict]:
    """check_request's suggestions for names no schema holds: a 100,000-character
    action type, and one for a field beside it."""
    request = {"action": {"type": "a" * 100_000, "f" * 100_000: 1}, "x" * 100_000: {}}
    return (_wide_action_schema(), "version: 1\nrules: []\n", None), request


def many_unknown_request_fields() -> tuple[Documents, dict]:
    """About 5 KB of undeclared fields, each of a declared field's length."""
    request = {"action": {"type": "act00000000",
                          **{f"feild{i:06d}": 1 for i in range(400)}}}
    return (_wide_action_schema(), "version: 1\nrules: []\n", None), request


# Requests that check_request judges against the documents built with them.
REQUEST_ATTACKS: dict[str, Callable[[], tuple[Documents, dict]]] = {
    "long-request-names": long_request_names,
    "many-unknown-request-fields": many_unknown_request_fields,
}


def size_of(documents: Documents) -> int:
    return sum(len(text.encode()) for text in documents if text is not None)
