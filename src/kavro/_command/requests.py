"""Requests for `kavro eval`: a JSON document (one request, or an array of
them) or JSON Lines (one request per line), from a file or standard input.

JSON Lines is read line by line, so decisions stream out as requests come in.
Integers too long for the interpreter to convert and values nested deeper than
its parser recurses are errors of their line (or document), as JSON that is not
well formed is.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO, Any

from kavro._command.usage import MOST_BYTES, UsageError


@dataclass(frozen=True)
class Request:
    """One request, or why its line could not be read; `where` names its place."""

    where: str
    value: Any = None
    error: str | None = None


def read_requests(stream: IO[str], name: str) -> Iterator[Request]:
    lines = _bounded_lines(stream, name)
    first = ""
    number = 0
    for first in lines:
        number += 1
        if first.strip():
            break
    else:
        return
    if not first.lstrip().startswith("["):
        try:
            value = _loads(first)
        except (json.JSONDecodeError, _Unreadable):
            pass  # not one request per line: a JSON document over several lines
        else:
            yield Request(f"{name}:{number}", value)
            yield from _json_lines(lines, name, number)
            return
    rest = stream.read(MOST_BYTES + 1)
    if len(first) + len(rest) > MOST_BYTES:
        raise UsageError(f"{name}: a JSON document over {MOST_BYTES >> 20} MiB "
                         "(JSON Lines are read a line at a time, without a limit on their number)")
    yield from _json_document("\n" * (number - 1) + first + rest, name)


def _bounded_lines(stream: IO[str], name: str) -> Iterator[str]:
    """The lines of `stream`; a line past the limit ends the reading (a
    stream without line breaks would otherwise be read whole into memory)."""
    number = 0
    while line := stream.readline(MOST_BYTES + 1):
        number += 1
        if len(line) > MOST_BYTES:
            raise UsageError(f"{name}:{number}: a line over {MOST_BYTES >> 20} MiB")
        yield line


def _json_lines(lines: Iterator[str], name: str, number: int) -> Iterator[Request]:
    for line in lines:
        number += 1
        if not line.strip():
            continue
        where = f"{name}:{number}"
        try:
            yield Request(where, _loads(line))
        except json.JSONDecodeError as error:
            yield Request(where, error=f"not JSON: {error.msg} at column {error.colno}")
        except _Unreadable as error:
            yield Request(where, error=str(error))


def _json_document(text: str, name: str) -> Iterator[Request]:
    try:
        value = _loads(text)
    except json.JSONDecodeError as error:
        raise UsageError(f"{name}:{error.lineno}:{error.colno}: not JSON or JSON Lines: "
                         f"{error.msg}") from None
    except _Unreadable as error:
        raise UsageError(f"{name}: {error}") from None
    if isinstance(value, list):
        for index, item in enumerate(value):
            yield Request(f"{name}[{index}]", item)
    else:
        yield Request(name, value)


class _Unreadable(Exception):
    """Well-formed JSON that the interpreter cannot hold."""


def _loads(text: str) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError:
        raise
    except ValueError:
        # The only other refusal of the parser: an integer past the
        # interpreter's limit on digits, far beyond any number a request holds.
        raise _Unreadable(f"cannot read an integer of more than "
                          f"{sys.get_int_max_str_digits()} digits") from None
    except RecursionError:
        raise _Unreadable("cannot read a value nested this deeply") from None
