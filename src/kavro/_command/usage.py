"""Failures of the command's own input: bad usage and files it cannot read.

They end the command with one line on standard error and exit status 2,
never with a traceback.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import BinaryIO

from kavro._errors import UsageError

__all__ = ["MOST_BYTES", "USAGE_EXIT_STATUS", "UsageError", "open_input", "read_text"]

USAGE_EXIT_STATUS = 2
# Far above any document a person writes; a file past it is not one.
MOST_BYTES = 64 << 20


def read_text(path: Path, what: str) -> str:
    """The UTF-8 text of `path`, or a UsageError naming `what` the file was for."""
    try:
        with open_input(path, what) as file:
            data = file.read(MOST_BYTES + 1)
    except OSError as error:
        raise UsageError(f"cannot read {what} {str(path)!r}: {error.strerror or error}") from None
    if len(data) > MOST_BYTES:
        raise UsageError(f"cannot read {what} {str(path)!r}: larger than {MOST_BYTES >> 20} MiB")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise UsageError(f"cannot read {what} {str(path)!r}: not UTF-8 text "
                         f"(byte {error.start})") from None


def open_input(path: Path, what: str) -> BinaryIO:
    """`path` opened to read, if it is a regular file or a pipe (as a shell's
    `<(...)` gives). A device such as /dev/zero never ends, so it is refused
    with a UsageError before anything is read."""
    file = path.open("rb")
    kind = os.fstat(file.fileno()).st_mode
    if stat.S_ISREG(kind) or stat.S_ISFIFO(kind):
        return file
    file.close()
    raise UsageError(f"cannot read {what} {str(path)!r}: not a regular file")
