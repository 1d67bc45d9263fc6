"""Decision logs: one JSON line per decision, naming the policy that made it.

A line holds the request's parts at its top level beside the decision, so that `kavro replay`
reads a decision log as it reads any request log (`--id-field decision_id`), and
`kavro replay --verify` re-decides each line with the policy of its hash:

    {"time": "2026-12-08T15:40:00.123456Z", "decision_id": "5f0c...", "policy_hash": "31a8...",
     "action": {...}, "actor": {...}, "snapshot": {...},
     "effect": "block", "matched_rule": "deny-large-refunds"}

Masked fields (`mask=["actor.email"]`) are written as the text "<masked>" and listed under
"masked"; such a line cannot be re-decided exactly, and verification says so.

Lines go through the standard `logging` machinery: give `DecisionLog` any logger, or let
`open_decision_log` make one that writes JSON Lines to a file with size-based rotation.
"""

from __future__ import annotations

import json
import logging
import logging.handlers
import os
import threading
import uuid
from collections.abc import Iterable, Mapping
from datetime import datetime, timezone
from typing import Any

from kavro.store import LivePolicy, PolicyStore

__all__ = ["DecisionLog", "open_decision_log", "MASKED", "REQUEST_PARTS"]

MASKED = "<masked>"
REQUEST_PARTS = ("action", "actor", "snapshot")


class DecisionLog:
    """Writes one line per decision to `logger` (at INFO, the line as the message)."""

    def __init__(self, logger: logging.Logger, *, mask: Iterable[str] = (),
                 owns_handlers: bool = False) -> None:
        self._logger = logger
        self._owns_handlers = owns_handlers
        self._mask: dict[str, frozenset[str]] = {}
        for name in mask:
            part, _, field = name.partition(".")
            if part not in REQUEST_PARTS or not field:
                raise ValueError(f"cannot mask {name!r}: name a field as part.field, "
                                 f"the part one of {', '.join(REQUEST_PARTS)}")
            self._mask[part] = self._mask.get(part, frozenset()) | {field}

    def decide(self, source: PolicyStore | LivePolicy,
               request: Mapping[str, Any]) -> dict[str, Any]:
        """Decides `request` with the store's live policy (or the policy given) and logs it;
        the decision carries its `policy_hash` and `decision_id`."""
        live = source.live if isinstance(source, PolicyStore) else source
        decision = live.decide(request)
        decision["decision_id"] = self.record(live.policy_hash, request, decision)
        return decision

    def record(self, policy_hash: str, request: Mapping[str, Any],
               decision: Mapping[str, Any]) -> str:
        """Logs a decision made elsewhere; returns its new decision id."""
        decision_id = uuid.uuid4().hex
        if not self._logger.isEnabledFor(logging.INFO):
            return decision_id
        line: dict[str, Any] = {
            "time": datetime.now(timezone.utc).isoformat(timespec="microseconds")
                    .replace("+00:00", "Z"),
            "decision_id": decision_id,
            "policy_hash": policy_hash,
        }
        masked: list[str] = []
        for part in REQUEST_PARTS:
            if part in request:
                line[part] = self._masked_part(part, request[part], masked)
        line["effect"] = decision["effect"]
        line["matched_rule"] = decision["matched_rule"]
        if masked:
            line["masked"] = masked
        self._logger.info(json.dumps(line, ensure_ascii=False, default=_as_json,
                                     allow_nan=True))
        return decision_id

    def close(self) -> None:
        """Closes the files of a log made by `open_decision_log`; a logger given by the
        caller is left to the caller."""
        if self._owns_handlers:
            for handler in list(self._logger.handlers):
                self._logger.removeHandler(handler)
                handler.close()

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


def open_decision_log(path: str | os.PathLike[str], *, max_bytes: int = 64 * 1024 * 1024,
                      backup_count: int = 8, mask: Iterable[str] = ()) -> DecisionLog:
    """A decision log writing JSON Lines to `path`, rotated to `path.1`, `path.2`, ... when a
    file would pass `max_bytes` (0: never rotate). Its logger does not propagate, so the
    lines stay out of the application's own logs."""
    handler = logging.handlers.RotatingFileHandler(os.fspath(path), maxBytes=max_bytes,
                                                   backupCount=backup_count, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(message)s"))
    with _naming_lock:
        global _opened
        _opened += 1
        logger = logging.getLogger(f"kavro.decisions.{_opened}")
    logger.setLevel(logging.INFO)
    logger.propagate = False
    logger.addHandler(handler)
    return DecisionLog(logger, mask=mask, owns_handlers=True)


_naming_lock = threading.Lock()
_opened = 0


def _as_json(value: Any) -> Any:
    # evaluate read such a value (a Decimal, a numpy number) through its float hook: the
    # float is what was decided, and what re-decides alike.
    if hasattr(type(value), "__float__"):
        return float(value)
    raise TypeError(f"a request value of type {type(value).__name__} cannot be logged as JSON")
