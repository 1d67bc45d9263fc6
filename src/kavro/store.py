"""A live policy for a service: built from files or texts, swapped atomically on reload.

A reload builds the new documents beside the live engine and runs the gates the caller
chose; only an engine that builds and passes every gate replaces the live one. Readers
take the live policy with one attribute read, so a decision never sees half a reload.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from kavro._kavro import PolicyError, PyKavro
from kavro._lint import check

__all__ = ["PolicyStore", "LivePolicy", "ReloadOutcome", "Gate", "lint_gate", "StoreError"]

_MAX_DOCUMENT_BYTES = 64 * 1024 * 1024
# The schema, the policy and the governance document: each a path or a text (_Text).
_Sources = tuple["str | os.PathLike[str]", "str | os.PathLike[str]",
                 "str | os.PathLike[str] | None"]


class StoreError(ValueError):
    """The first load of a store failed: the documents did not build or a gate refused them."""

    def __init__(self, reasons: Sequence[str]) -> None:
        super().__init__("; ".join(reasons))
        self.reasons = tuple(reasons)


@dataclass(frozen=True)
class Texts:
    """The documents of one policy version."""

    schema: str
    policy: str
    governance: str | None


@dataclass(frozen=True)
class LivePolicy:
    """One built policy version: its engine, its hash, when it was loaded and from what."""

    engine: PyKavro
    policy_hash: str
    texts: Texts
    loaded_at: float  # seconds since the epoch
    revision: int  # 1 for the first load, one more for every accepted reload

    def decide(self, request: Mapping[str, Any]) -> dict[str, Any]:
        """The engine's decision, tied to the hash of the policy that made it."""
        decision: dict[str, Any] = dict(self.engine.evaluate(request))  # type: ignore[arg-type]
        decision["policy_hash"] = self.policy_hash
        return decision


@dataclass(frozen=True)
class ReloadOutcome:
    """What a reload did: `accepted`, or refused with the reasons; the live policy after it."""

    accepted: bool
    reasons: tuple[str, ...]
    live: LivePolicy
    changed: bool = False  # accepted with another hash than the policy it replaced


# A gate sees the live policy (None on the first load) and the candidate, and returns the
# reasons to refuse the candidate; none means it may go live.
Gate = Callable[[LivePolicy | None, LivePolicy], Iterable[str]]


def lint_gate(*, allow_warnings: bool = False) -> Gate:
    """A gate that refuses documents with lint findings: warnings (an ignored key, a
    duplicate id, a rule that never decides) unless `allow_warnings`; notes never."""

    def gate(live: LivePolicy | None, candidate: LivePolicy) -> list[str]:
        texts = candidate.texts
        return [f"{finding.document}:{finding.line or 0}:{finding.column or 0}: "
                f"{finding.code}: {finding.message}"
                for finding in check(texts.schema, texts.policy, texts.governance)
                if finding.severity == "error"
                or (finding.severity == "warning" and not allow_warnings)]

    return gate


@dataclass
class _Watch:
    thread: threading.Thread
    stop: threading.Event = field(default_factory=threading.Event)


class PolicyStore:
    """The live policy of a service.

    `schema`, `policy` and `governance` are paths, read again at every reload
    (`from_texts` makes a store over texts instead). The first load happens
    in the constructor and raises `StoreError` when the documents do not build or a gate
    refuses them; later reloads never raise for those reasons: they return the outcome and
    leave the live policy as it was. `archive`, a folder, keeps the documents of every
    version that went live under `<hash>/`, so that a decision log can be verified later
    against the exact policy of each line.
    """

    def __init__(self, schema: str | os.PathLike[str], policy: str | os.PathLike[str],
                 governance: str | os.PathLike[str] | None = None, *,
                 gates: Sequence[Gate] = (), archive: str | os.PathLike[str] | None = None,
                 on_reload: Callable[[ReloadOutcome], None] | None = None) -> None:
        self._sources: _Sources = (schema, policy, governance)
        self._gates = tuple(gates)
        self._archive = None if archive is None else Path(archive)
        self._on_reload = on_reload
        self._reload_lock = threading.Lock()
        self._watch: _Watch | None = None
        self._revision = 0
        candidate, reasons = self._candidate(None)
        if candidate is None or reasons:
            raise StoreError(reasons)
        self._live = candidate
        self._archive_texts(candidate)

    @classmethod
    def from_texts(cls, schema: str, policy: str, governance: str | None = None,
                   **options: Any) -> PolicyStore:
        """A store over texts held in memory; `reload(texts=...)` swaps in new ones."""
        return cls(_Text(schema), _Text(policy), None if governance is None else _Text(governance),
                   **options)

    @property
    def live(self) -> LivePolicy:
        """The policy deciding now. Take it once per request and decide with it, so that the
        decision and the hash logged with it belong to the same version."""
        return self._live

    def decide(self, request: Mapping[str, Any]) -> dict[str, Any]:
        """The live policy's decision, with its `policy_hash`."""
        return self._live.decide(request)

    def reload(self, *, policy: str | None = None, schema: str | None = None,
               governance: str | None = None) -> ReloadOutcome:
        """Reads and builds the documents again (or the texts given here, which then become
        the store's documents once they go live) and swaps them in if they build and pass
        every gate. Never raises for a document that fails; the outcome says why."""
        with self._reload_lock:
            old_schema, old_policy, old_governance = self._sources
            sources: _Sources = (old_schema if schema is None else _Text(schema),
                                 old_policy if policy is None else _Text(policy),
                                 old_governance if governance is None else _Text(governance))
            current = self._live
            candidate, reasons = self._candidate(current, sources)
            if candidate is None or reasons:
                outcome = ReloadOutcome(False, tuple(reasons), current)
            else:
                self._sources = sources
                if candidate.policy_hash == current.policy_hash:
                    outcome = ReloadOutcome(True, (), current)
                else:
                    self._live = candidate
                    self._archive_texts(candidate)
                    outcome = ReloadOutcome(True, (), candidate, changed=True)
        if self._on_reload is not None:
            self._on_reload(outcome)
        return outcome

    def watch(self, interval: float = 1.0) -> None:
        """Reloads whenever a document file changes (checked every `interval` seconds, on a
        daemon thread) until `close()`. Documents given as texts are not watched."""
        if self._watch is not None:
            return
        paths = [Path(source) for source in self._sources
                 if source is not None and not isinstance(source, _Text)]
        watch = _Watch(threading.Thread(target=self._watch_files, name="kavro-store-watch",
                                        args=(paths, _signature(paths), interval),
                                        daemon=True))
        self._watch = watch
        watch.thread.start()

    def close(self) -> None:
        """Stops watching the files."""
        watch, self._watch = self._watch, None
        if watch is not None:
            watch.stop.set()
            watch.thread.join()

    def __enter__(self) -> PolicyStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _watch_files(self, paths: list[Path], seen: list[tuple[int, int] | None],
                     interval: float) -> None:
        # The first signature is taken before the thread starts, so that a change made
        # right after watch() returns is not mistaken for the starting state.
        watch = self._watch
        assert watch is not None
        while not watch.stop.wait(interval):
            now = _signature(paths)
            if now != seen:
                seen = now
                self.reload()

    def _candidate(self, live: LivePolicy | None,
                   sources: _Sources | None = None) -> tuple[LivePolicy | None, list[str]]:
        schema, policy, governance = self._sources if sources is None else sources
        try:
            texts = Texts(_read(schema), _read(policy),
                          None if governance is None else _read(governance))
        except (OSError, UnicodeDecodeError, ValueError) as error:
            return None, [f"cannot read the documents: {error}"]
        try:
            engine = PyKavro(texts.schema, texts.policy, texts.governance)
        except PolicyError as error:
            where = ":".join(str(part) for part in (error.document, error.line, error.column)
                             if part is not None)
            return None, [f"{where}: {error}"]
        candidate = LivePolicy(engine, engine.policy_hash(), texts, time.time(),
                               self._revision + 1)
        reasons = [reason for gate in self._gates for reason in gate(live, candidate)]
        if not reasons and (live is None or candidate.policy_hash != live.policy_hash):
            self._revision += 1
        return candidate, reasons

    def _archive_texts(self, live: LivePolicy) -> None:
        if self._archive is None:
            return
        folder = self._archive / live.policy_hash
        if (folder / "policy.yaml").exists():
            return
        folder.mkdir(parents=True, exist_ok=True)
        texts = {"schema.yaml": live.texts.schema, "governance.yaml": live.texts.governance,
                 "policy.yaml": live.texts.policy}  # policy last: its presence marks it complete
        for name, text in texts.items():
            if text is not None:
                _write_atomically(folder / name, text)


class _Text(str):
    """A document given as text rather than as a path."""


def _read(source: Any) -> str:
    if isinstance(source, _Text):
        return str(source)
    path = Path(source)
    if not path.is_file():
        raise ValueError(f"{path} is not a regular file")
    with path.open("rb") as file:
        data = file.read(_MAX_DOCUMENT_BYTES + 1)
    if len(data) > _MAX_DOCUMENT_BYTES:
        raise ValueError(f"{path} is larger than {_MAX_DOCUMENT_BYTES} bytes")
    return data.decode("utf-8")


def _signature(paths: list[Path]) -> list[tuple[int, int] | None]:
    signature: list[tuple[int, int] | None] = []
    for path in paths:
        try:
            stat = path.stat()
            signature.append((stat.st_mtime_ns, stat.st_size))
        except OSError:
            signature.append(None)
    return signature


def _write_atomically(path: Path, text: str) -> None:
    temporary = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}")
    temporary.write_text(text, encoding="utf-8")
    os.replace(temporary, path)
