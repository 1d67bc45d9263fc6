"""The documents a command works on: read from files, built into an engine."""

from __future__ import annotations

from dataclasses import dataclass
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
    is reported apart), placed: the compile errors of other rules, warnings
    and notes."""
    governance = None if documents.governance is None else documents.governance.text
    _, notes = findings(documents.schema.text, documents.policy.text, governance)
    return [placed_finding(finding, documents.sources) for finding in notes]
