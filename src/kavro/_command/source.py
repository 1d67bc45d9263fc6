"""One document as the command read it: where it came from and its text."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

from kavro._command.usage import read_text

# What a document's first line that is not blank, a comment, a directive or a
# document marker holds when the document is a YAML mapping, as every kavro
# document is: a key and its colon, or the brace of a flow mapping.
_SKIPPED = re.compile(r"\s*(?:#.*|%.*|---|\.\.\.)?\s*")
_ITEM_START = re.compile(r"[ \t]*(?:-[ \t]+)?")
_MAPPING_START = re.compile(r"\s*(?:---\s+)?(?:\{|(?:[\w.-]+|\"[^\"]*\"|'[^']*')[ \t]*:(?:\s|$))")


@dataclass(frozen=True)
class Source:
    path: Path
    text: str
    # False for a file named by another file (a test file's documents) that
    # does not start as a YAML mapping: /etc/passwd, a key file, a script.
    # Its lines, and the engine's message that may quote them, are not shown,
    # so that a test file cannot print whatever file it names.
    shown: bool = True

    @classmethod
    def read(cls, path: Path, what: str, *, named_by_file: bool = False) -> Source:
        text = read_text(path, what)
        return cls(path, text, not named_by_file or starts_as_mapping(text))

    def line(self, number: int) -> str | None:
        """Line `number` (1-based) of the text without its line break, if it exists."""
        lines = self.text.splitlines()
        return lines[number - 1] if 1 <= number <= len(lines) else None

    def item_column(self, number: int) -> int | None:
        """The column (1-based) where the sequence item on line `number` starts,
        past its dash: where a rule's mapping, and so its first key, begins."""
        text = self.line(number)
        match = None if text is None else _ITEM_START.match(text)
        return None if match is None else match.end() + 1

    def position(self, number: int) -> str:
        """`path:line:column` of the sequence item on line `number`."""
        column = self.item_column(number)
        return f"{self.path}:{number}" + ("" if column is None else f":{column}")


def starts_as_mapping(text: str) -> bool:
    for line in text.splitlines():
        if not _SKIPPED.fullmatch(line):
            return _MAPPING_START.match(line) is not None
    return True  # nothing but comments: there is nothing to show
