"""Errors the library raises about its caller's input, apart from the
engine's own: a log, a file or an address it cannot use. The command line
shows them as one line and exit status 2."""

from __future__ import annotations


class UsageError(Exception):
    """Bad usage or an unreadable input; its text is the whole message shown."""
