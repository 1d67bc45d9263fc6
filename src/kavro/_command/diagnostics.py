"""Construction errors shown as a compiler shows them: file, line and column,
the source line with a caret under the column, and a hint for the mistakes
people make most."""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass

from kavro import Finding, PolicyError, Violation
from kavro._command.colour import PLAIN, Paint
from kavro._command.hints import hint_for, schema_hint
from kavro._command.source import Source
from kavro._lint import error_code

# A parser error may end in its context (", while parsing ..."), whose own
# position comes after the problem's.
_CONTEXT = ", while "
_TRAILING_POSITION = re.compile(r" at line (\d+) column (\d+)$")

# For a document whose lines are not to be shown (Source.shown).
NOT_SHOWN = "not a {} document: it does not start as a YAML mapping (its content is not shown)"


@dataclass(frozen=True)
class Diagnostic:
    """One finding about a document, placed in it: a construction error or a
    lint warning or note."""

    document: str
    source: Source
    message: str
    line: int | None
    column: int | None
    hint: tuple[str, ...] = ()
    severity: str = "error"
    code: str | None = None
    rule_id: str | None = None
    details: tuple[str, ...] = ()
    # A lint finding that fails `kavro check` (kavro._command.accepting).
    fails: bool = False

    @property
    def summary(self) -> str:
        """The message without the position that the location already gives,
        and with the rule a compile error belongs to."""
        text = self.message
        if self.line is not None and _CONTEXT not in text:
            text = _TRAILING_POSITION.sub("", text)
        if self.rule_id is not None and self.severity == "error":
            text += f" (rule {self.rule_id!r})"
        return text

    def render(self, paint: Paint = PLAIN) -> str:
        place = str(self.source.path)
        if self.line is not None:
            place += f":{self.line}:{self.column}"
        code = "" if self.code is None or self.severity == "error" else f" [{self.code}]"
        severity = paint.severity("error" if self.fails else self.severity)
        lines = [f"{place}: {severity}: {self.summary}{code}"]
        source_line = None if self.line is None else self.source.line(self.line)
        if source_line is not None and self.column is not None:
            gutter = str(self.line)
            # Tabs stay tabs so that the caret lines up in the terminal.
            indent = "".join(c if c == "\t" else " " for c in source_line[: self.column - 1])
            lines += [f" {gutter} | {source_line}", f" {' ' * len(gutter)} | {indent}^"]
        lines += list(self.details)
        lines += [f"hint: {text}" for text in self.hint]
        return "\n".join(lines)

    def as_json(self) -> dict[str, object]:
        return {
            "file": str(self.source.path), "document": self.document, "line": self.line,
            "column": self.column, "severity": self.severity, "code": self.code,
            "rule_id": self.rule_id, "message": self.message, "hint": list(self.hint),
            **({} if self.severity == "error" else {"fails": self.fails}),
        }


def diagnose(error: PolicyError, sources: Mapping[str, Source]) -> Diagnostic:
    """Places the construction error in the one of `sources` (keyed by
    "schema", "policy" and, when given, "governance") that it names."""
    message = str(error)
    source = sources[error.document]
    if not source.shown:
        return Diagnostic(error.document, source, NOT_SHOWN.format(error.document), None, None,
                          code=error_code(error.kind))
    hint = hint_for(message) + schema_hint(message, sources["schema"].text,
                                           sources["policy"].text, error.path)
    return Diagnostic(error.document, source, message, error.line, error.column,
                      hint, code=error_code(error.kind), rule_id=error.rule_id,
                      details=tuple(_violation_line(source, violation)
                                    for violation in error.violations))


def _violation_line(source: Source, violation: Violation) -> str:
    place = str(source.path) if violation.line is None else (
        f"{source.path}:{violation.line}:{violation.column}")
    return (f"  {place}: rule {violation.rule_id!r} demands {violation.constraint}; "
            f"found {violation.found}: {violation.message}")


def placed_finding(finding: Finding, sources: Mapping[str, Source]) -> Diagnostic:
    hint = hint_for(finding.message) + schema_hint(finding.message, sources["schema"].text,
                                                   sources["policy"].text, finding.path)
    return Diagnostic(finding.document, sources[finding.document], finding.message,
                      finding.line, finding.column, hint, finding.severity,
                      finding.code, finding.rule_id)
