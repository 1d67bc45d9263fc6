"""The documents a command works on: read from files, built into an engine."""

from __future__ import annotations

from dataclasses import dataclass, replace
from pathlib import Path

from kavro import PolicyError, PyKavro
from kavro._command.diagnostics import Diagnostic, diagnose, placed_finding
from kavro._command.source import Source
from kavro._lint import findings


@dataclass(frozen=True)
class Documents:
    schema: Source
    policy: Source
    governance: Source | None

    @property
    def sources(self) -> dict[str, Source]:
        """The documents given, by the name of their kind."""
        given = {"schema": self.schema, "policy": self.policy}
        if self.governance is not None:
            given["governance"] = self.governance
        return given


class BuildFailure(Exception):
    """The documents did not build an engine; the diagnostic says where and why."""

    def __init__(self, diagnostic: Diagnostic) -> None:
        super().__init__(diagnostic.message)
        self.diagnostic = diagnostic


def read_documents(schema: Path, policy: Path, governance: Path | None, *,
                   named_by_file: bool = False) -> Documents:
    """The documents at the paths; `named_by_file` when another file (a test
    file) gave the paths rather than the person running the command."""
    return Documents(
        Source.read(schema, "schema", named_by_file=named_by_file),
        Source.read(policy, "policy", named_by_file=named_by_file),
        None if governance is None else Source.read(governance, "governance",
                                                    named_by_file=named_by_file),
    )


def build_engine(documents: Documents) -> PyKavro:
    """The engine for the documents, or BuildFailure with the error located."""
    governance = None if documents.governance is None else documents.governance.text
    try:
        return PyKavro(documents.schema.text, documents.policy.text, governance)
    except PolicyError as error:
        raise BuildFailure(diagnose(error, documents.sources)) from None


def lint_notes(documents: Documents) -> list[Diagnostic]:
    """The findings of the documents but the error construction raises (which
    is reported apart), placed: the errors of other rules, warnings and notes."""
    return checked(documents, None)[1]


def checked(documents: Documents,
            error: Diagnostic | None) -> tuple[Diagnostic | None, list[Diagnostic]]:
    """The construction error, placed on the token at fault when lint finds
    it there, and lint_notes."""
    governance = None if documents.governance is None else documents.governance.text
    first, notes = findings(documents.schema.text, documents.policy.text, governance)
    if error is not None and first is not None and first.line is not None and (
            error.line is not None):
        error = replace(error, line=first.line, column=first.column)
    return error, [placed_finding(finding, documents.sources) for finding in notes]
