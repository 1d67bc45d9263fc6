"""kavro.check: lint for policy authors. The error construction would raise,
then what the engine accepts silently but an author most likely did not mean."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Literal

from kavro._kavro import PolicyError, PyKavro, _lint

_DOCUMENT_ORDER = {"schema": 0, "policy": 1, "governance": 2}


@dataclass(frozen=True)
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
    documents that do not load), then warnings and notes in document order."""
    findings: list[Finding] = []
    try:
        PyKavro(schema_yaml, policy_yaml, governance_yaml)
    except PolicyError as error:
        findings.append(Finding("error", error_code(error.kind), str(error), error.document,
                                error.line, error.column, error.path, error.rule_id))
    notes = [Finding(*item) for item in _lint(schema_yaml, policy_yaml, governance_yaml)]
    notes.sort(key=lambda finding: (_DOCUMENT_ORDER[finding.document], finding.line or 0,
                                    finding.column or 0))
    return findings + notes


def error_code(kind: str) -> str:
    """The finding code of a PolicyError kind."""
    if kind == "Load":
        return "load-error"
    return re.sub(r"(?<!^)(?=[A-Z])", "-", kind).lower()
