"""Running a job over every partition of the logs: on local threads (the
engine decides with the interpreter lock released) or on a Dask cluster,
with a bounded number of partitions in flight, results taken in log order."""

from __future__ import annotations

import os
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from contextlib import contextmanager
from typing import IO

from kavro._command.usage import UsageError
from kavro._replay.logs import Part, plan_parts
from kavro._replay.parts import Job, PartResult, run_part

_CONNECT_TIMEOUT = "10s"


@contextmanager
def executor(scheduler: str | None,
             threads: int | None = None) -> Iterator[tuple[Executor, int]]:
    """An executor for partitions and how many it runs at once: local
    threads (one per core unless given), or the workers of the Dask cluster
    at `scheduler`."""
    if scheduler is None:
        workers = max(threads or os.cpu_count() or 1, 1)
        with ThreadPoolExecutor(workers) as pool:
            yield pool, workers
        return
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
        threads = sum(client.nthreads().values()) or 1
        yield client.get_executor(pure=False), threads


def run_job(job: Job, paths: list[str], pool: Executor, width: int,
            on_result: Callable[[PartResult], None], progress: IO[str] | None = None) -> None:
    parts = [part for path in paths for part in plan_parts(path)]
    bar = _Progress(progress, len(parts))
    in_flight: deque[Future[PartResult]] = deque()
    pending = iter(parts)
    for part in pending:
        in_flight.append(pool.submit(run_part, job, part))
        if len(in_flight) >= 2 * width:
            break
    try:
        while in_flight:
            result = in_flight.popleft().result()
            for part in pending:
                in_flight.append(pool.submit(run_part, job, part))
                break
            on_result(result)
            bar.advance(result.rows)
    finally:
        for future in in_flight:
            future.cancel()
        bar.close()


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
