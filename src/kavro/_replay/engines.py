"""Engines named by their documents, so that a task carries three texts and
each process compiles them once, however many partitions it decides."""

from __future__ import annotations

import threading
from dataclasses import dataclass

from kavro import PyKavro

_built: dict[EngineTexts, PyKavro] = {}
_lock = threading.Lock()


@dataclass(frozen=True)
class EngineTexts:
    schema: str
    policy: str
    governance: str | None = None

    @classmethod
    def of(cls, engine: PyKavro) -> EngineTexts:
        # The pickled form of an engine is exactly its documents.
        _, (schema, policy, governance, _hash) = engine.__reduce__()
        return cls(schema, policy, governance)

    def engine(self) -> PyKavro:
        """This process's engine for the documents, compiled on first use."""
        with _lock:
            engine = _built.get(self)
        if engine is None:
            engine = PyKavro(self.schema, self.policy, self.governance)
            with _lock:
                engine = _built.setdefault(self, engine)
        return engine
