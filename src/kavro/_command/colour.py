"""Colour for the command's words that carry the verdict (error, warning,
FAIL, ok), on a terminal only.

The escape sequences come from the terminal's own description (terminfo,
through the standard library's curses), so a terminal that has no colour
gets none. Colour is off when the stream is not a terminal (piped, a file),
when NO_COLOR is set to anything but the empty text, and when TERM is dumb
or unknown.
"""

from __future__ import annotations

import os
from typing import IO

_RED, _GREEN, _YELLOW = 1, 2, 3


class Paint:
    """Wraps words in the colours of one output stream; plain when off."""

    def __init__(self, colours: dict[int, str] | None = None, reset: str = "") -> None:
        self._colours = colours or {}
        self._reset = reset

    def _wrap(self, colour: int, text: str) -> str:
        start = self._colours.get(colour)
        return text if start is None else f"{start}{text}{self._reset}"

    def bad(self, text: str) -> str:
        return self._wrap(_RED, text)

    def warn(self, text: str) -> str:
        return self._wrap(_YELLOW, text)

    def good(self, text: str) -> str:
        return self._wrap(_GREEN, text)

    def severity(self, word: str) -> str:
        return self.bad(word) if word == "error" else self.warn(word) if word == "warning" else word


PLAIN = Paint()


def paint_for(stream: IO[str]) -> Paint:
    """The paint for `stream`: colours when it is a terminal that has them."""
    if os.environ.get("NO_COLOR") or os.environ.get("TERM", "dumb") == "dumb":
        return PLAIN
    try:
        import curses
    except ImportError:  # a Python built without it
        return PLAIN
    try:
        if not stream.isatty():
            return PLAIN
        curses.setupterm(os.environ["TERM"], stream.fileno())
        foreground = curses.tigetstr("setaf")
        reset = curses.tigetstr("sgr0")
    except (OSError, ValueError, AttributeError, curses.error):
        return PLAIN  # a stream without a descriptor, or a terminal terminfo does not know
    if not foreground or not reset:
        return PLAIN
    colours = {colour: curses.tparm(foreground, colour).decode("ascii")
               for colour in (_RED, _GREEN, _YELLOW)}
    return Paint(colours, reset.decode("ascii"))
