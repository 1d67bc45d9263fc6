"""Requests for `kavro eval`: a JSON document (one request, or an array of
them) or JSON Lines (one request per line), from a file or standard input.

JSON Lines is read line by line, so decisions stream out as requests come in.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO, Any

from kavro._command.usage import UsageError


@dataclass(frozen=True)
class Request:
    """One request, or why its line could not be read; `where` names its place."""

    where: str
    value: Any = None
    error: str | None = None


def read_requests(stream: IO[str], name: str) -> Iterator[Request]:
    first = ""
    number = 0
    for first in stream:
        number += 1
        if first.strip():
            break
    else:
        return
    if not first.lstrip().startswith("["):
        try:
            value = json.loads(first)
        except json.JSONDecodeError:
            pass  # not one request per line: a JSON document over several lines
        else:
            yield Request(f"{name}:{number}", value)
            yield from _json_lines(stream, name, number)
            return
    yield from _json_document("\n" * (number - 1) + first + stream.read(), name)


def _json_lines(stream: IO[str], name: str, number: int) -> Iterator[Request]:
    for line in stream:
        number += 1
        if not line.strip():
            continue
        where = f"{name}:{number}"
        try:
            yield Request(where, json.loads(line))
        except json.JSONDecodeError as error:
            yield Request(where, error=f"not JSON: {error.msg} at column {error.colno}")


def _json_document(text: str, name: str) -> Iterator[Request]:
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        raise UsageError(f"{name}:{error.lineno}:{error.colno}: not JSON or JSON Lines: "
                         f"{error.msg}") from None
    if isinstance(value, list):
        for index, item in enumerate(value):
            yield Request(f"{name}[{index}]", item)
    else:
        yield Request(name, value)
