"""Construction errors shown as a compiler shows them: file, line and column,
the source line with a caret under the column, and a hint for the mistakes
people make most."""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass

from kavro import PyKavro
from kavro._command.source import Source

# Compile and governance messages have these forms; every other construction
# error comes from reading a document.
_BUILD_MESSAGE_PREFIXES = (
    "unknown action '", "invalid scope configuration", "unknown domain '", "unknown field '",
    "unknown operator '", "invalid logical condition: ", "type mismatch: ", "operator '",
)
_GOVERNANCE_FAILED = "governance validation failed: "
_EMPTY_POLICY = "version: 1\nrules: []\n"

# A parser error may end in its context (", while parsing ..."), whose own
# position comes after the problem's.
_CONTEXT = ", while "
_TRAILING_POSITION = re.compile(r" at line (\d+) column (\d+)$")

_VARIANT_MISMATCH = "data did not match any variant of untagged enum "
_HINTS: dict[str, tuple[str, ...]] = {
    "ConditionAst": (
        "a condition has one of three shapes:",
        "  { subject: { domain: action, field: amount }, operator: greater_than, "
        "value: { literal: 5000 } }",
        "  { all: [ <condition>, <condition>, ... ] }",
        "  { any: [ <condition>, <condition>, ... ] }",
        "a value is { literal: 5000 } or { subject: { domain: actor, field: limit } }, "
        "never a bare 5000; all/any hold simple conditions only",
    ),
    "ScopeAst": (
        "a scope is one of { action: refund }, { actor: <name> } or { global: true }",
    ),
    "Constraint": (
        "`must` holds one of { exists: true }, { min_count: 1 }, { max_count: 3 }, "
        "{ forbid: true } or { allowed_fields: [actor.role, action.amount] }",
    ),
}


@dataclass(frozen=True)
class Diagnostic:
    """One construction error, placed in the document it came from."""

    document: str
    source: Source
    message: str
    line: int | None
    column: int | None
    hint: tuple[str, ...] = ()

    @property
    def summary(self) -> str:
        """The message without the position that the location already gives."""
        if self.line is None or _CONTEXT in self.message:
            return self.message
        return _TRAILING_POSITION.sub("", self.message)

    def render(self) -> str:
        place = str(self.source.path)
        if self.line is not None:
            place += f":{self.line}:{self.column}"
        lines = [f"{place}: error: {self.summary}"]
        source_line = None if self.line is None else self.source.line(self.line)
        if source_line is not None and self.column is not None:
            gutter = str(self.line)
            # Tabs stay tabs so that the caret lines up in the terminal.
            indent = "".join(c if c == "\t" else " " for c in source_line[: self.column - 1])
            lines += [f" {gutter} | {source_line}", f" {' ' * len(gutter)} | {indent}^"]
        lines += [f"hint: {text}" for text in self.hint]
        return "\n".join(lines)

    def as_json(self) -> dict[str, object]:
        return {
            "file": str(self.source.path), "document": self.document, "line": self.line,
            "column": self.column, "message": self.message, "hint": list(self.hint),
        }


def diagnose(message: str, sources: Mapping[str, Source]) -> Diagnostic:
    """Places the construction error `message` in one of `sources` (keyed by
    "schema", "policy" and, when given, "governance")."""
    document = _failing_document(message, sources)
    line, column = _position(message)
    return Diagnostic(document, sources[document], message, line, column, _hint(message))


def _failing_document(message: str, sources: Mapping[str, Source]) -> str:
    # The message does not name its document; building again with fewer
    # documents finds it, since construction reads them in a fixed order.
    schema, policy = sources["schema"].text, sources["policy"].text
    if _raises(schema, _EMPTY_POLICY):
        return "schema"
    if message.startswith(_GOVERNANCE_FAILED):
        return "governance"
    if message.startswith(_BUILD_MESSAGE_PREFIXES) or "governance" not in sources:
        return "policy"
    return "policy" if _raises(schema, policy) == message else "governance"


def _raises(schema: str, policy: str) -> str | None:
    try:
        PyKavro(schema, policy)
    except ValueError as error:
        return str(error)
    return None


def _position(message: str) -> tuple[int | None, int | None]:
    match = _TRAILING_POSITION.search(message.split(_CONTEXT, 1)[0])
    return (int(match[1]), int(match[2])) if match else (None, None)


def _hint(message: str) -> tuple[str, ...]:
    head = _TRAILING_POSITION.sub("", message)
    for choice, hint in _HINTS.items():
        if head.endswith(_VARIANT_MISMATCH + choice):
            return hint
    return ()
