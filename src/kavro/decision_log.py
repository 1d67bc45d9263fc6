"""Decision logs: one JSON line per decision, naming the policy that made it.

A line holds the request's parts at its top level beside the decision, so that `kavro replay`
reads a decision log as it reads any request log (`--id-field decision_id`), and
`kavro replay --verify` re-decides each line with the policy of its hash:

    {"time":"2026-12-08T15:40:00.123456Z","decision_id":"5f0c...","policy_hash":"31a8...",
     "action":{...},"actor":{...},"snapshot":{...},
     "effect":"block","matched_rule":"deny-large-refunds"}

Masked fields (`mask=["actor.email"]`) are written as the text "<masked>" and listed under
"masked"; such a line cannot be re-decided exactly, and verification says so.

`open_decision_log(path)` writes the lines to a file itself, rotated by size;
`DecisionLog(logger)` hands them to any logger of the standard `logging` module instead.
"""

from __future__ import annotations

import json
import logging
import os
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from types import ModuleType
from typing import Any, BinaryIO

from kavro._kavro import DOMAINS, DecisionLines
from kavro.store import LivePolicy, PolicyStore

__all__ = ["DecisionLog", "JsonLinesFile", "open_decision_log", "MASKED", "REQUEST_PARTS"]

MASKED = "<masked>"
REQUEST_PARTS = DOMAINS


def _as_json(value: Any) -> Any:
    # evaluate read such a value (a Decimal, a numpy number) through its float hook: the
    # float is what was decided, and what re-decides alike.
    if hasattr(type(value), "__float__"):
        return float(value)
    raise TypeError(f"a request value of type {type(value).__name__} cannot be logged as JSON")


_ENCODER = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), default=_as_json)

_orjson: ModuleType | None
try:  # an optional extra (kavro[serve]): renders a line about ten times faster
    import orjson as _orjson
except ImportError:  # pragma: no cover - exercised where the extra is absent
    _orjson = None


def _encode(line: dict[str, Any], nulls: int = 0) -> str:
    """The line as compact JSON, reading back to the same values as the standard encoder's.

    The fast encoder writes NaN and the infinities as null and refuses integers beyond 64
    bits and keys that are not strings; a line holding "null" more often than the `nulls` the
    caller put there, or refused, is written by the standard encoder instead, so that every
    logged value re-decides as it was decided.
    """
    if _orjson is not None:
        try:
            fast: bytes = _orjson.dumps(line, default=_as_json)
        except (TypeError, _orjson.JSONEncodeError):
            pass
        else:
            if fast.count(b"null") == nulls:
                return fast.decode()
    return _ENCODER.encode(line)


class DecisionLog:
    """Writes one line per decision to `sink`: a `logging.Logger` (the line as an INFO
    message) or any callable taking the line's text.

    The engine renders each line beside the conversion it makes to decide; only a
    decision made elsewhere whose request holds other values than None, bools, numbers
    and texts is written by the encoder of this module."""

    def __init__(self, sink: logging.Logger | Callable[[str], None], *,
                 mask: Iterable[str] = (), close: Callable[[], None] | None = None) -> None:
        enabled: Callable[[], bool] | None = None
        if isinstance(sink, logging.Logger):
            logger = sink
            write: Callable[[str], None] = logger.info
            enabled = lambda: logger.isEnabledFor(logging.INFO)  # noqa: E731
        else:
            write = sink
        self._setup(write, True, 1, mask, close, enabled)

    @classmethod
    def _lines_to(cls, write: Callable[[bytes], None], *, flush_every: int,
                  mask: Iterable[str], close: Callable[[], None]) -> DecisionLog:
        """A log handing its lines to `write` as bytes, `flush_every` lines at a time."""
        log = cls.__new__(cls)
        log._setup(write, False, flush_every, mask, close, None)
        return log

    def _setup(self, write: Callable[[Any], None], text_lines: bool, flush_every: int,
               mask: Iterable[str], close: Callable[[], None] | None,
               enabled: Callable[[], bool] | None) -> None:
        self._close = close
        self._mask: dict[str, frozenset[str]] = {}
        for name in mask:
            part, _, field = name.partition(".")
            if part not in REQUEST_PARTS or not field:
                raise ValueError(f"cannot mask {name!r}: name a field as part.field, "
                                 f"the part one of {', '.join(REQUEST_PARTS)}")
            self._mask[part] = self._mask.get(part, frozenset()) | {field}
        self._enabled = enabled
        # Ids: 64 random bits per log and a counter, unique without a system call each.
        self._lines = DecisionLines(write, os.urandom(8).hex(), self._mask, flush_every,
                                    text_lines, enabled)
        # Lines waiting for the sink are handed over when the log goes or the process ends.
        self._finalizer = weakref.finalize(self, self._lines.flush)
        self._clock = _UtcClock()

    def decide(self, source: PolicyStore | LivePolicy,
               request: Mapping[str, Any]) -> dict[str, Any]:
        """Decides `request` with the store's live policy (or the policy given) and logs it;
        the decision carries its `policy_hash` and `decision_id`."""
        live = source.live if isinstance(source, PolicyStore) else source
        decided: dict[str, Any] = self._lines.decide(live.engine, live.policy_hash,
                                                     request)  # type: ignore[arg-type]
        return decided

    def record(self, policy_hash: str, request: Mapping[str, Any],
               decision: Mapping[str, Any]) -> str:
        """Logs a decision made elsewhere; returns its new decision id."""
        decision_id: str | None = self._lines.record(policy_hash, request, decision["effect"],
                                                     decision["matched_rule"])
        if decision_id is not None:
            return decision_id
        decision_id = self._lines.new_id()
        if self._enabled is not None and not self._enabled():
            return decision_id
        line: dict[str, Any] = {"time": self._clock.now(), "decision_id": decision_id,
                                "policy_hash": policy_hash}
        masked: list[str] = []
        for part in REQUEST_PARTS:
            if part in request:
                line[part] = self._masked_part(part, request[part], masked)
        line["effect"] = decision["effect"]
        line["matched_rule"] = decision["matched_rule"]
        if masked:
            line["masked"] = masked
        self._lines.write(_encode(line, nulls=int(line["matched_rule"] is None)))
        return decision_id

    def flush(self) -> None:
        """Hands the lines still waiting (see `flush_every`) to the sink."""
        self._lines.flush()

    def close(self) -> None:
        """Writes the lines still waiting and closes the file of a log made by
        `open_decision_log`; a logger given by the caller is left to the caller."""
        self._lines.flush()
        if self._close is not None:
            self._close()

    def __enter__(self) -> DecisionLog:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _masked_part(self, part: str, value: Any, masked: list[str]) -> Any:
        hidden = self._mask.get(part)
        if not hidden or not isinstance(value, Mapping):
            return value
        copy = dict(value)
        for field in hidden & copy.keys():
            copy[field] = MASKED
            masked.append(f"{part}.{field}")
        return copy


class JsonLinesFile:
    """Appends lines to a file, thread-safe, rotating it to `path.1`, `path.2`, ... when it
    would pass `max_bytes` (0: never). Each line reaches the operating system before `write`
    returns unless `flush_every` > 1 lets that many lines wait in the buffer (faster; up to
    that many lines are lost if the process dies)."""

    def __init__(self, path: str | os.PathLike[str], *, max_bytes: int = 64 * 1024 * 1024,
                 backup_count: int = 8, flush_every: int = 1) -> None:
        self.path = Path(path)
        self._max_bytes = max_bytes
        self._backup_count = backup_count
        self._flush_every = max(1, flush_every)
        self._lock = threading.Lock()
        self._file: BinaryIO | None = self.path.open("ab")
        self._size = self.path.stat().st_size
        self._waiting = 0

    def write(self, line: str) -> None:
        self._append((line + "\n").encode("utf-8"), flush=False)

    def write_lines(self, lines: bytes) -> None:
        """Appends lines that each end in a line break, all to the same file; they reach
        the operating system before it returns."""
        self._append(lines, flush=True)

    def close(self) -> None:
        with self._lock:
            file, self._file = self._file, None
        if file is not None:
            file.close()

    def _append(self, data: bytes, *, flush: bool) -> None:
        with self._lock:
            file = self._file
            if file is None:
                raise ValueError("write to a closed decision log")
            if self._max_bytes and self._size and self._size + len(data) > self._max_bytes:
                file = self._rotate(file)
            file.write(data)
            self._size += len(data)
            self._waiting += 1
            if flush or self._waiting >= self._flush_every:
                file.flush()
                self._waiting = 0

    def _rotate(self, file: BinaryIO) -> BinaryIO:
        file.close()
        if self._backup_count > 0:
            for number in range(self._backup_count - 1, 0, -1):
                older = self.path.with_name(f"{self.path.name}.{number}")
                if older.exists():
                    os.replace(older, self.path.with_name(f"{self.path.name}.{number + 1}"))
            os.replace(self.path, self.path.with_name(f"{self.path.name}.1"))
        else:
            self.path.unlink()
        self._file = self.path.open("ab")
        self._size = 0
        return self._file


def open_decision_log(path: str | os.PathLike[str], *, max_bytes: int = 64 * 1024 * 1024,
                      backup_count: int = 8, flush_every: int = 1,
                      mask: Iterable[str] = ()) -> DecisionLog:
    """A decision log writing JSON Lines to `path` (see `JsonLinesFile` for rotation and
    flushing). The lines are rendered by the engine and written `flush_every` at a time:
    each line's own system call costs about as much as the decision itself."""
    file = JsonLinesFile(path, max_bytes=max_bytes, backup_count=backup_count)
    return DecisionLog._lines_to(file.write_lines, flush_every=max(1, flush_every), mask=mask,
                                 close=file.close)


class _UtcClock:
    """ISO 8601 UTC times to the microsecond; the part to the second is formatted once a
    second."""

    def __init__(self) -> None:
        # One tuple, replaced whole, so that threads never pair a second with another's text.
        self._second: tuple[int, str] = (-1, "")

    def now(self) -> str:
        moment = time.time()
        second = int(moment)
        cached, prefix = self._second
        if second != cached:
            prefix = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(second))
            self._second = (second, prefix)
        return f"{prefix}.{int((moment - second) * 1e6):06d}Z"
