"""Failures of the command's own input: bad usage and files it cannot read.

They end the command with one line on standard error and exit status 2,
never with a traceback.
"""

from __future__ import annotations

from pathlib import Path

from kavro._errors import UsageError

__all__ = ["USAGE_EXIT_STATUS", "UsageError", "read_text"]

USAGE_EXIT_STATUS = 2


def read_text(path: Path, what: str) -> str:
    """The UTF-8 text of `path`, or a UsageError naming `what` the file was for."""
    try:
        data = path.read_bytes()
    except OSError as error:
        raise UsageError(f"cannot read {what} {str(path)!r}: {error.strerror or error}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise UsageError(f"cannot read {what} {str(path)!r}: not UTF-8 text "
                         f"(byte {error.start})") from None
