"""The YAML test file of `kavro test`: the documents it names and its cases.

    schema: schema.yaml          # paths relative to the test file
    policy: policy.yaml
    governance: governance.yaml  # optional
    cases:
      - name: a large refund by a clerk is blocked
        request: { action: { type: refund, amount: 1500 }, actor: { role: clerk } }
        expect: { effect: block, matched_rule: deny-large-refunds }

`matched_rule` is optional; null expects the default to decide. Each request
is checked against the schema first, so that a misspelt field cannot make a
case pass by the default; `strict: false` on a case (or on the file, for
every case) lets it hold what the schema does not declare. Beside the cases,
`properties` are proved over every request:

    properties:
      - name: no large refund is allowed unless a manager asks
        never: allow                 # or always: <effect>
        action: refund               # optional: requests of every action
        when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
        unless: { subject: [actor, role], operator: equals, value: { literal: manager } }
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kavro._command.documents import Documents, read_documents
from kavro._command.usage import UsageError
from kavro._command.yaml_text import load_yaml
from kavro._decisions import ANY_RULE
from kavro._kavro import EFFECTS

_FILE_KEYS = ("schema", "policy", "governance", "strict", "cases", "properties")
_PROPERTY_KEYS = ("name", "never", "always", "action", "when", "unless")
_CASE_KEYS = ("name", "request", "expect", "strict")
SUFFIX = ".test.yaml"
_EXPECT_KEYS = ("effect", "matched_rule")


@dataclass(frozen=True)
class Case:
    name: str
    line: int
    request: dict[str, Any]
    effect: str
    matched_rule: object  # the rule id, None for the default, or ANY_RULE
    strict: bool = True  # the request must match the schema


@dataclass(frozen=True)
class Property:
    name: str
    line: int
    effect: str
    never: bool
    action: str | None
    when: Any
    unless: Any


@dataclass(frozen=True)
class TestFile:
    path: Path
    documents: Documents
    cases: tuple[Case, ...]
    properties: tuple[Property, ...] = ()


def read_test_file(path: Path, text: str) -> TestFile:
    data, node = load_yaml(text, str(path))
    _check_keys(data, _FILE_KEYS, ("schema", "policy", "cases"), str(path), "the test file")
    lines = _case_lines(node)
    property_lines = _case_lines(node, "properties")
    raw_properties = data.get("properties") or []
    if not isinstance(raw_properties, list):
        raise UsageError(f"{path}: `properties` must be a list of properties")
    properties = tuple(_property(raw, f"{path}:{property_lines[index]}", property_lines[index])
                       for index, raw in enumerate(raw_properties))
    raw_cases = data["cases"]
    if not isinstance(raw_cases, list):
        raise UsageError(f"{path}: `cases` must be a list of cases")
    strict = _flag(data, "strict", str(path), "the test file", True)
    cases = tuple(_case(raw, f"{path}:{lines[index]}", lines[index], strict)
                  for index, raw in enumerate(raw_cases))
    governance = None
    if data.get("governance") is not None:
        governance = _document_path(path, data, "governance")
    documents = read_documents(_document_path(path, data, "schema"),
                               _document_path(path, data, "policy"), governance,
                               named_by_file=True)
    return TestFile(path, documents, cases, properties)


def _case(raw: Any, place: str, line: int, strict: bool) -> Case:
    _check_keys(raw, _CASE_KEYS, _CASE_KEYS[:3], place, "a case")
    name, request, expect = raw["name"], raw["request"], raw["expect"]
    if not isinstance(name, str):
        raise UsageError(f"{place}: the case's `name` must be text")
    if not isinstance(request, dict):
        raise UsageError(f"{place}: case {name!r}: `request` must be a mapping")
    _check_keys(expect, _EXPECT_KEYS, ("effect",), place, f"`expect` of case {name!r}")
    if expect["effect"] not in EFFECTS:
        raise UsageError(f"{place}: case {name!r}: `expect.effect` must be one of "
                         f"{', '.join(EFFECTS)}, not {expect['effect']!r}")
    rule = expect.get("matched_rule", ANY_RULE)
    if rule is not ANY_RULE and rule is not None and not isinstance(rule, str):
        raise UsageError(f"{place}: case {name!r}: `expect.matched_rule` must be a rule id "
                         "or null")
    return Case(name, line, request, expect["effect"], rule,
                _flag(raw, "strict", place, f"case {name!r}", strict))


def _flag(raw: Mapping[str, Any], key: str, place: str, what: str, default: bool) -> bool:
    value = raw.get(key, default)
    if not isinstance(value, bool):
        raise UsageError(f"{place}: {what}: `{key}` must be true or false")
    return value


def find_test_files(paths: list[Path]) -> list[Path]:
    """The files given, and the *.test.yaml files under the directories given
    (in name order); a directory holding none is bad usage."""
    found: list[Path] = []
    for path in paths:
        if not path.is_dir():
            found.append(path)
            continue
        inside = sorted(one for one in path.rglob(f"*{SUFFIX}") if one.is_file())
        if not inside:
            raise UsageError(f"no *{SUFFIX} files under {str(path)!r}")
        found += inside
    return list(dict.fromkeys(found))


def _property(raw: Any, place: str, line: int) -> Property:
    _check_keys(raw, _PROPERTY_KEYS, ("name",), place, "a property")
    name = raw["name"]
    if not isinstance(name, str):
        raise UsageError(f"{place}: the property's `name` must be text")
    if ("never" in raw) == ("always" in raw):
        raise UsageError(f"{place}: property {name!r} needs one of `never` and `always`")
    effect = raw.get("never", raw.get("always"))
    if effect not in EFFECTS:
        raise UsageError(f"{place}: property {name!r}: the effect must be one of "
                         f"{', '.join(EFFECTS)}, not {effect!r}")
    action = raw.get("action")
    if action is not None and not isinstance(action, str):
        raise UsageError(f"{place}: property {name!r}: `action` must be an action's name")
    return Property(name, line, effect, "never" in raw, action, raw.get("when"),
                    raw.get("unless"))


def _check_keys(raw: Any, known: tuple[str, ...], required: tuple[str, ...], place: str,
                what: str) -> None:
    if not isinstance(raw, Mapping):
        raise UsageError(f"{place}: {what} must be a mapping with the keys {', '.join(known)}")
    for key in raw:
        if key not in known:
            raise UsageError(f"{place}: unknown key {key!r} in {what}; "
                             f"expected {', '.join(known)}")
    for key in required:
        if key not in raw:
            raise UsageError(f"{place}: {what} has no `{key}`")


def _document_path(test_path: Path, data: Mapping[str, Any], key: str) -> Path:
    value = data[key]
    if not isinstance(value, str):
        raise UsageError(f"{test_path}: `{key}` must be the path of the {key} document")
    return test_path.parent / value


def _case_lines(node: Any, key_name: str = "cases") -> list[int]:
    """The line of each case (or property; 1-based), for messages and reports."""
    for key, value in getattr(node, "value", ()):
        if getattr(key, "value", None) == key_name and isinstance(value.value, list):
            return [item.start_mark.line + 1 for item in value.value]
    return []
