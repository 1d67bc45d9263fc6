"""kavro.check: lint for policy authors. The error construction would raise,
then what the engine accepts silently but an author most likely did not mean."""

from __future__ import annotations

import re
from dataclasses import dataclass, replace
from typing import Any, Literal

from kavro._kavro import PolicyError, PyKavro, _lint

_DOCUMENT_ORDER = {"schema": 0, "policy": 1, "governance": 2}


@dataclass(frozen=True, slots=True)
class Finding:
    """One finding; `code` is stable (docs/errors.md lists them all)."""

    severity: Literal["error", "warning", "info"]
    code: str
    message: str
    document: str
    line: int | None
    column: int | None
    path: str | None
    rule_id: str | None


def check(schema_yaml: str, policy_yaml: str, governance_yaml: str | None = None) -> list[Finding]:
    """The findings about the documents: first the error PyKavro would raise
    (code from its kind, "type-mismatch" for "TypeMismatch", "load-error" for
    documents that do not load; a compile error placed on the token at fault,
    such as a field name or a literal), then, in document order, the errors of
    the other rules (a policy is read past a rule that does not read), warnings
    and notes."""
    error, notes = findings(schema_yaml, policy_yaml, governance_yaml)
    return ([] if error is None else [error]) + notes


def findings(schema_yaml: str, policy_yaml: str,
             governance_yaml: str | None = None) -> tuple[Finding | None, list[Finding]]:
    """The error PyKavro would raise, if any, and the other findings (check() joined)."""
    error = None
    try:
        PyKavro(schema_yaml, policy_yaml, governance_yaml)
    except PolicyError as raised:
        error = Finding("error", error_code(raised.kind), str(raised), raised.document,
                        raised.line, raised.column, raised.path, raised.rule_id)
    # In place: each tuple is let go as its finding is made.
    notes: list[Any] = _lint(schema_yaml, policy_yaml, governance_yaml)
    for index, item in enumerate(notes):
        notes[index] = Finding(*item)
    if error is not None:
        # Lint compiles every rule, the one construction stopped at included, and places a
        # compile error on the token at fault inside the part of the rule construction names.
        repeated = ("error", error.message, error.rule_id)
        repeat = next((note for note in notes
                       if (note.severity, note.message, note.rule_id) == repeated), None)
        notes = [note for note in notes if (note.severity, note.message, note.rule_id) != repeated]
        if repeat is not None and error.path and repeat.path and (
                repeat.path.startswith(error.path)):
            error = replace(error, line=repeat.line, column=repeat.column, path=repeat.path)
    notes.sort(key=lambda finding: (_DOCUMENT_ORDER[finding.document], finding.line or 0,
                                    finding.column or 0))
    return error, notes


def error_code(kind: str) -> str:
    """The finding code of a PolicyError kind."""
    if kind == "Load":
        return "load-error"
    return re.sub(r"(?<!^)(?=[A-Z])", "-", kind).lower()
