"""One document as the command read it: where it came from and its text."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from kavro._command.usage import read_text


@dataclass(frozen=True)
class Source:
    path: Path
    text: str

    @classmethod
    def read(cls, path: Path, what: str) -> Source:
        return cls(path, read_text(path, what))

    def line(self, number: int) -> str | None:
        """Line `number` (1-based) of the text without its line break, if it exists."""
        lines = self.text.splitlines()
        return lines[number - 1] if 1 <= number <= len(lines) else None
