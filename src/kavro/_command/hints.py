"""Hints in the author's words under the engine's messages, which stay as
they are: what the message means in the document, and what to write
instead. Each hint answers one message form; a message no form matches gets
none."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from kavro import PolicyError, PyKavro

_POSITION = re.compile(r" at line \d+ column \d+$")
_CONDITION = (
    "a condition has one of three shapes:",
    "  { subject: { domain: action, field: amount }, operator: greater_than, "
    "value: { literal: 5000 } }",
    "  { all: [ <condition>, <condition>, ... ] }",
    "  { any: [ <condition>, <condition>, ... ] }",
    "a value is { literal: 5000 } or { subject: { domain: actor, field: limit } }, "
    "never a bare 5000; all/any hold simple conditions only",
)
_CHOICES: dict[str, tuple[str, ...]] = {
    "ConditionAst": _CONDITION,
    "ScopeAst": (
        "a scope is one of { action: refund }, { actor: <name> } or { global: true }",
    ),
    "Constraint": (
        "`must` holds one of { exists: true }, { min_count: 1 }, { max_count: 3 }, "
        "{ forbid: true } or { allowed_fields: [actor.role, action.amount] }",
    ),
}
# The engine's names of the field types and of what a value was read as.
_TYPE_WORDS = {"Number": "a number", "String": "text", "Boolean": "a boolean"}
_LITERALS = {"Number": "a number without quotes, { literal: 100 }",
             "String": "text, quoted when it looks like another value: { literal: \"100\" }",
             "Boolean": "true or false without quotes, { literal: true }"}
_ANY_LITERAL = "a literal of the field's type"
_EXPECTED = {
    "u32": "a whole number from 0 to 4294967295, without quotes (`version: 1`)",
    "usize": "a whole number of 0 or more, without quotes (`min_count: 1`)",
    "f64": "a number without quotes",
    "a boolean": "true or false, without quotes",
    "a string": "one value of text, not a list or mapping",
    "a sequence": "a list: [a, b] or one `- item` per line",
    "a map": "a mapping of names: { name: value } or one `name: value` per line",
}


def _choice(found: re.Match[str]) -> tuple[str, ...]:
    return _CHOICES.get(found[1], ())


def _expected(found: re.Match[str]) -> tuple[str, ...]:
    wanted = found[2]
    record = re.fullmatch(r"struct (\w+)", wanted)
    if record is not None:
        return (f"here a mapping of keys is expected ({record[1]}), not {found[1]}",)
    words = _EXPECTED.get(wanted)
    return () if words is None else (f"here the document needs {words}; it holds {found[1]}",)


def _type_mismatch(found: re.Match[str]) -> tuple[str, ...]:
    left, right = found[1], found[2]
    return (f"the field compared is {_TYPE_WORDS.get(left, left)} but the value compared with "
            f"it is {_TYPE_WORDS.get(right, right)}",
            f"write {_LITERALS.get(left, _ANY_LITERAL)}, or compare with a "
            "field of that type")


def _operator(found: re.Match[str]) -> tuple[str, ...]:
    spelling = re.sub(r"(?<!^)(?=[A-Z])", "_", found[1]).lower()
    return (f"`{spelling}` does not apply to {found[2]} fields: use an operator that does "
            "(docs/language.md lists which operators apply to which field types)",)


def _governance(_: re.Match[str]) -> tuple[str, ...]:
    return ("the policy breaks the governance rules listed below, each with the policy rule "
            "at fault: change those policy rules, or the governance rule if it is wrong",)


_FORMS: list[tuple[re.Pattern[str], Callable[[re.Match[str]], tuple[str, ...]]]] = [
    (re.compile(r"data did not match any variant of untagged enum (\w+)$"), _choice),
    (re.compile(r"invalid type: (.+), expected (.+)$"), _expected),
    (re.compile(r"invalid value: integer `(-?\d+)`, expected (u32|usize)$"),
     lambda found: (f"{found[1]} is out of range: write "
                    f"{_EXPECTED[found[2]].split(', without')[0]}",)),
    (re.compile(r"type mismatch: left is '(\w+)', right is '(\w+)'$"), _type_mismatch),
    (re.compile(r"operator '(\w+)' not supported for type '(\w+)'$"), _operator),
    (re.compile(r"^governance validation failed: \[GovernanceViolation \{"), _governance),
    (re.compile(r"invalid logical condition: must contain at least two conditions$"),
     lambda _: ("an `all` or `any` list needs two conditions or more; for one, write that "
                "condition itself as `when`",)),
    (re.compile(r"invalid scope configuration$"),
     lambda _: ("`global: false` is not a scope: write { global: true }, or scope the rule "
                "to an action with { action: <name> }",)),
    (re.compile(r"duplicate field `(.+)`$"),
     lambda found: (f"`{found[1]}` is written twice in one mapping: keep one",)),
    (re.compile(r"missing field `(.+)`$"),
     lambda found: (f"this mapping needs the key `{found[1]}` (is it misspelt?)",)),
]


def hint_for(message: str) -> tuple[str, ...]:
    """The hint lines for an engine message, or none."""
    head = _POSITION.sub("", message)
    for form, hint in _FORMS:
        found = form.search(head)
        if found is not None:
            return hint(found)
    return ()


_UNKNOWN_ACTION = re.compile(r"^unknown action '(.*)' in scope$")
_UNKNOWN_FIELD = re.compile(r"^unknown field '(.*)' in domain '(actor|snapshot|action)'$")
_SUGGESTED = re.compile(r"\(did you mean '(.*)'\?\)$")
_ACTION_FIELDS = ("the action of the rule's scope declares no such field (is it misspelt?); a "
                  "global rule reads actor and snapshot fields only, even when every action "
                  "declares the field")


def schema_hint(message: str, schema_text: str, policy_text: str | None = None,
                path: str | None = None) -> tuple[str, ...]:
    """For a name the schema does not declare, the declared name nearest to
    it, as the engine suggests it when checking a request against the schema.
    For an action field, the scope of the rule at `path` in the policy, when
    it can be read, says whose fields those are."""
    unknown_action = _UNKNOWN_ACTION.match(message)
    unknown_field = _UNKNOWN_FIELD.match(message)
    declared_for = ""
    if unknown_field is not None and unknown_field[2] == "action":
        scope = None if policy_text is None else rule_scope(policy_text, path)
        if scope == {"global": True}:
            return (f"the rule is global: a global rule is tried for every action, so it reads "
                    f"actor and snapshot fields only, never action.{unknown_field[1]}; scope it "
                    "to an action ({ action: <name> }) to read that action's fields",)
        action = scope.get("action") if isinstance(scope, dict) else None
        if not isinstance(action, str):
            return (_ACTION_FIELDS,)
        probe: dict[str, object] = {"action": {"type": action, unknown_field[1]: 0}}
        declared_for = f" for action '{action}'"
    elif unknown_action is not None:
        probe = {"action": {"type": unknown_action[1]}}
    elif unknown_field is not None:
        probe = {unknown_field[2]: {unknown_field[1]: 0}}
    else:
        return ()
    try:
        problems = PyKavro(schema_text, "version: 1\nrules: []\n").check_request(probe)
    except (PolicyError, TypeError, ValueError):
        return ()
    for problem in problems:
        suggested = _SUGGESTED.search(problem["message"])
        if suggested is not None:
            return (f"did you mean '{suggested[1]}'? (declared in the schema{declared_for})",)
    if declared_for and unknown_field is not None:
        return (f"the schema declares no field '{unknown_field[1]}'{declared_for}, the "
                "action of the rule's scope",)
    return ()


_RULE = re.compile(r"^rules\[(\d+)\]")


def rule_scope(policy_text: str, path: str | None) -> object:
    """The scope of the rule at the start of `path` ("rules[3].when..."), as the
    policy writes it, or None when it cannot be read (no PyYAML, a document
    that does not parse, a path outside the rules)."""
    rule = None if path is None else _RULE.match(path)
    if rule is None:
        return None
    try:
        return _rules(policy_text)[int(rule[1])]["scope"]
    except (LookupError, TypeError, ValueError):
        return None


# The last policy read by _rules, with its rules: one check asks once per message.
_READ: dict[str, Any] = {}


def _rules(policy_text: str) -> Any:
    """The policy's rules as PyYAML reads them, or None."""
    if policy_text not in _READ:
        _READ.clear()
        _READ[policy_text] = _read_rules(policy_text)
    return _READ[policy_text]


def _read_rules(policy_text: str) -> Any:
    try:
        import yaml
    except ImportError:
        return None
    try:
        return yaml.safe_load(policy_text)["rules"]
    except (yaml.YAMLError, LookupError, TypeError):
        return None
