"""The YAML test file of `kavro test`: the documents it names and its cases.

    schema: schema.yaml          # paths relative to the test file
    policy: policy.yaml
    governance: governance.yaml  # optional
    cases:
      - name: a large refund by a clerk is blocked
        request: { action: { type: refund, amount: 1500 }, actor: { role: clerk } }
        expect: { effect: block, matched_rule: deny-large-refunds }

`matched_rule` is optional; null expects the default to decide.
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

_FILE_KEYS = ("schema", "policy", "governance", "cases")
_CASE_KEYS = ("name", "request", "expect")
_EXPECT_KEYS = ("effect", "matched_rule")


@dataclass(frozen=True)
class Case:
    name: str
    line: int
    request: dict[str, Any]
    effect: str
    matched_rule: object  # the rule id, None for the default, or ANY_RULE


@dataclass(frozen=True)
class TestFile:
    path: Path
    documents: Documents
    cases: tuple[Case, ...]


def read_test_file(path: Path, text: str) -> TestFile:
    data, node = load_yaml(text, str(path))
    _check_keys(data, _FILE_KEYS, ("schema", "policy", "cases"), str(path), "the test file")
    lines = _case_lines(node)
    raw_cases = data["cases"]
    if not isinstance(raw_cases, list):
        raise UsageError(f"{path}: `cases` must be a list of cases")
    cases = tuple(_case(raw, f"{path}:{lines[index]}", lines[index])
                  for index, raw in enumerate(raw_cases))
    governance = None
    if data.get("governance") is not None:
        governance = _document_path(path, data, "governance")
    documents = read_documents(_document_path(path, data, "schema"),
                               _document_path(path, data, "policy"), governance,
                               named_by_file=True)
    return TestFile(path, documents, cases)


def _case(raw: Any, place: str, line: int) -> Case:
    _check_keys(raw, _CASE_KEYS, _CASE_KEYS, place, "a case")
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
    return Case(name, line, request, expect["effect"], rule)


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


def _case_lines(node: Any) -> list[int]:
    """The line of each case (1-based), for messages and reports."""
    for key, value in getattr(node, "value", ()):
        if getattr(key, "value", None) == "cases" and isinstance(value.value, list):
            return [item.start_mark.line + 1 for item in value.value]
    return []
