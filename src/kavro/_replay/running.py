"""Running a job over every partition of the logs: on local threads (the
engine decides with the interpreter lock released) or on a Dask cluster,
with a bounded number of tasks in flight, results taken in log order."""

from __future__ import annotations

import os
import re
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO
from urllib.parse import urlsplit

from kavro._errors import UsageError
from kavro._replay.logs import Part, plan_parts
from kavro._replay.parts import Job, PartResult, run_parts

_CONNECT_TIMEOUT = "10s"
_SCHEMES = ("tcp", "tls", "ws", "wss", "ucx")
# A host name, an IPv4 address or an IPv6 address (written in brackets).
_HOST = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9.-]*[A-Za-z0-9])?|[0-9A-Fa-f:.]+")
_MOST_PARTS_PER_TASK = 8
_TASKS_PER_THREAD = 4


@dataclass(frozen=True)
class Workers:
    """Where partitions are decided and how many at once."""

    pool: Executor
    threads: int
    remote: bool  # tasks cross to other processes, each costing milliseconds of scheduling


@contextmanager
def executor(scheduler: str | None, threads: int | None = None) -> Iterator[Workers]:
    """Local threads (one per core unless given), or the workers of the Dask
    cluster at `scheduler`."""
    if scheduler is None:
        count = max(threads or os.cpu_count() or 1, 1)
        with ThreadPoolExecutor(count) as pool:
            yield Workers(pool, count, remote=False)
        return
    _check_address(scheduler)
    try:
        from distributed import Client
    except ModuleNotFoundError:
        raise UsageError("--scheduler needs Dask's distributed scheduler: "
                         "pip install 'kavro[dask]'") from None
    try:
        client = Client(scheduler, timeout=_CONNECT_TIMEOUT, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise UsageError(f"cannot reach the Dask scheduler at {scheduler!r}: {error}") from None
    with client:
        count = sum(client.nthreads().values()) or 1
        yield Workers(client.get_executor(pure=False), count, remote=True)


def _check_address(address: str) -> None:
    """Refuses what cannot be a scheduler's address before connecting: the
    client would otherwise fail only after its timeouts, and leave a
    traceback behind when it is collected."""
    if not _is_address(address):
        raise UsageError(f"--scheduler {address!r} is not a scheduler's address "
                         "(such as tcp://10.0.0.5:8786)")


def _is_address(address: str) -> bool:
    scheme, separator, location = address.partition("://")
    if not separator:
        scheme, location = "tcp", address
    try:
        parts = urlsplit(f"//{location}")
        port = parts.port
    except ValueError:  # a port out of range, a bracket not closed
        return False
    return (scheme in _SCHEMES and port is not None
            and _HOST.fullmatch(parts.hostname or "") is not None
            and parts.username is None and not (parts.path or parts.query or parts.fragment))


def run_job(job: Job, paths: list[str], workers: Workers,
            on_result: Callable[[PartResult], None], progress: IO[str] | None = None) -> None:
    parts = [part for path in paths for part in plan_parts(path)]
    bar = _Progress(progress, len(parts))
    in_flight: deque[Future[list[PartResult]]] = deque()
    pending = iter(_tasks(parts, workers))
    for task in pending:
        in_flight.append(workers.pool.submit(run_parts, job, task))
        if len(in_flight) >= 2 * workers.threads:
            break
    try:
        while in_flight:
            results = in_flight.popleft().result()
            for task in pending:
                in_flight.append(workers.pool.submit(run_parts, job, task))
                break
            for result in results:
                on_result(result)
                bar.advance(result.rows)
    finally:
        for future in in_flight:
            future.cancel()
        bar.close()


def _tasks(parts: list[Part], workers: Workers) -> list[tuple[Part, ...]]:
    """Partitions one per task on local threads. On a cluster, a task costs
    milliseconds of processor time in the client, scheduler and worker, as
    much as deciding tens of thousands of rows: consecutive partitions go
    together, as long as every thread still gets a few tasks to balance."""
    size = 1
    if workers.remote:
        size = max(1, min(_MOST_PARTS_PER_TASK, len(parts) // (_TASKS_PER_THREAD * workers.threads)))
    return [tuple(parts[start:start + size]) for start in range(0, len(parts), size)]


class _Progress:
    """A one-line bar on a terminal; nothing when the output is a file or pipe."""

    def __init__(self, stream: IO[str] | None, parts: int) -> None:
        self.stream = stream if stream is not None and stream.isatty() else None
        self.parts, self.done, self.rows = parts, 0, 0

    def advance(self, rows: int) -> None:
        self.done += 1
        self.rows += rows
        if self.stream is not None:
            filled = 30 * self.done // max(self.parts, 1)
            self.stream.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] "
                              f"{self.done}/{self.parts} partitions, {self.rows:,} rows")
            self.stream.flush()

    def close(self) -> None:
        if self.stream is not None:
            self.stream.write("\n")
            self.stream.flush()
