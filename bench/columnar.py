"""Many decisions at once, measured side by side in one run: a Python loop
calling evaluate on prebuilt dicts, evaluate_many on the same dicts, and
evaluate_arrow on a prebuilt Arrow table of the same requests; two threads on
evaluate_arrow against one; peak memory over a long stream of batches; and the
differential check of evaluate_arrow against evaluate on a million random rows.

    python bench/columnar.py [--core-bench build/bench/core_bench] [--skip-memory]

Uses the kavro module installed in the running interpreter. With --core-bench
(the C++ timer that bench/run builds, build/bench/core_bench), the evaluator's
own time per request is measured too, so that the per-row overhead of the
columnar path can be quoted. The machine may be shared: figures are
indicative; ratios are taken round by round.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import re
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Callable

import pyarrow as pa

HERE = pathlib.Path(__file__).resolve().parent
# The workloads and the random generators are the test suite's.
sys.path.insert(0, str(HERE.parent / "tests"))

import workloads  # noqa: E402
from kavro import PyKavro  # noqa: E402
ROWS = 65_536


def best_seconds(run: Callable[[], Any], rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def repeat_to(items: list, count: int) -> list:
    return (items * (count // len(items) + 1))[:count]


def evaluator_ns_per_request(core_bench: pathlib.Path, workload: workloads.Workload) -> float:
    """The C++ evaluator's own time per request of the workload, from core_bench."""
    with tempfile.TemporaryDirectory() as scratch:
        dump = pathlib.Path(scratch) / "workload.dump"
        dump.write_text(workloads.core_dump(workload))
        output = subprocess.run([str(core_bench), str(dump), "1"], check=True,
                                capture_output=True, text=True).stdout
    found = re.search(r"evaluate_policy: ([\d.]+) ns per rule examined(?:, [\d.]+ ns per request)? "
                      r"\((\d+) requests, (\d+) rules examined\)", output)
    assert found, output
    ns_per_rule, requests, examined = float(found[1]), int(found[2]), int(found[3])
    return ns_per_rule * examined / requests


def throughput(size: int, core_bench: pathlib.Path | None) -> None:
    workload = workloads.make_workload(size)
    engine = PyKavro(workload.schema_yaml, workload.policy_yaml)
    requests = repeat_to([request.data for request in workload.requests], ROWS)
    table = pa.Table.from_pylist(requests)
    expected = [engine.evaluate(request) for request in requests]
    assert engine.evaluate_arrow(table).to_pylist() == expected
    assert engine.evaluate_many(requests) == expected

    evaluate = engine.evaluate
    ways = {
        "loop": lambda: [evaluate(request) for request in requests],
        "evaluate_many": lambda: engine.evaluate_many(requests),
        "evaluate_arrow": lambda: engine.evaluate_arrow(table),
    }
    best = {name: float("inf") for name in ways}
    for _ in range(7):
        for name, run in ways.items():
            best[name] = min(best[name], best_seconds(run, 1))
    ns = {name: seconds / ROWS * 1e9 for name, seconds in best.items()}
    print(f"{size} rules: loop {ns['loop']:.0f} ns/row, evaluate_many {ns['evaluate_many']:.0f} "
          f"ns/row ({ns['loop'] / ns['evaluate_many']:.2f}x), evaluate_arrow "
          f"{ns['evaluate_arrow']:.1f} ns/row ({ns['loop'] / ns['evaluate_arrow']:.1f}x)")
    if core_bench is not None:
        own = evaluator_ns_per_request(core_bench, workload)
        print(f"  evaluator alone {own:.1f} ns/request: evaluate_arrow adds "
              f"{ns['evaluate_arrow'] - own:.1f} ns per row")


def two_threads(size: int) -> None:
    workload = workloads.make_workload(size)
    engine = PyKavro(workload.schema_yaml, workload.policy_yaml)
    table = pa.Table.from_pylist(repeat_to([r.data for r in workload.requests], 1_000_000))

    def in_threads(count: int) -> tuple[float, float]:
        """Wall time for `count` threads, and the mean CPU time each thread used."""
        cpu: list[float] = []

        def decide() -> None:
            start = time.thread_time()
            engine.evaluate_arrow(table)
            cpu.append(time.thread_time() - start)

        threads = [threading.Thread(target=decide) for _ in range(count)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return time.perf_counter() - start, sum(cpu) / count

    one = two = (float("inf"), float("inf"))
    for _ in range(5):
        one = min(one, in_threads(1))
        two = min(two, in_threads(2))
    # On a machine shared with other work the wall ratio understates the
    # scaling; equal CPU time per thread shows that the threads do not wait
    # for each other.
    print(f"two threads, {size} rules: {2 * one[0] / two[0]:.2f}x one thread's throughput "
          f"(wall); CPU time per thread {one[1] * 1e3:.0f} ms alone, {two[1] * 1e3:.0f} ms "
          f"beside another; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


MEMORY_CHILD = """
import sys
import pyarrow as pa
sys.path.insert(0, {tests!r})
import workloads
from kavro import PyKavro
workload = workloads.make_workload(30)
engine = PyKavro(workload.schema_yaml, workload.policy_yaml)
rows = [r.data for r in workload.requests]
batch = pa.RecordBatch.from_pylist((rows * ({batch} // len(rows) + 1))[:{batch}])
count = {rows} // {batch}
reader = pa.RecordBatchReader.from_batches(batch.schema, (batch for _ in range(count)))
del rows, workload
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
# Resets the peak to the current resident size, so that the peak below is this call's.
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")
before = status("VmRSS:")
decisions = engine.evaluate_arrow(reader)
peak = status("VmHWM:")
kept = sum(b.nbytes for b in pa.table(decisions).to_batches())
print(len(decisions), peak - before, kept)
"""


def memory() -> None:
    for rows in (1_000_000, 10_000_000):
        script = MEMORY_CHILD.format(tests=str(HERE.parent / "tests"), batch=ROWS, rows=rows)
        out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                             text=True).stdout.split()
        decided, growth, kept = (int(x) for x in out)
        print(f"memory, {decided} rows in batches of {ROWS}: peak grew {growth / 2**20:.1f} MiB, "
              f"of which the decisions themselves {kept / 2**20:.1f} MiB; working memory "
              f"{(growth - kept) / 2**20:.1f} MiB")


def differential(rows: int) -> None:
    import test_columnar as generators  # the suite's random policies and tables

    rng = random.Random(2024)
    engine = PyKavro(generators.RANDOM_SCHEMA, generators.random_policy(rng, 40))
    table = generators.random_table(rng, rows)
    expected = [engine.evaluate(row) for row in generators.row_dicts(table)]
    decided = engine.evaluate_arrow(table).to_pylist()
    mismatches = sum(a != b for a, b in zip(decided, expected))
    assert len(decided) == rows and mismatches == 0, mismatches
    print(f"differential: {rows} random rows, evaluate_arrow equals evaluate on every row")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--core-bench", type=pathlib.Path)
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--differential-rows", type=int, default=1_000_000)
    args = parser.parse_args()
    for size in (30, 300):
        throughput(size, args.core_bench)
    two_threads(30)
    if not args.skip_memory:
        memory()
    if args.differential_rows:
        differential(args.differential_rows)


if __name__ == "__main__":
    main()
