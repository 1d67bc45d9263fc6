"""Replaying logs: rows per second of a Python loop over evaluate, of
replay on one thread, of replay on a local Dask cluster of two worker
processes (and on two threads of one process, for what two cores give at
all), and the cost of diff against one replay; then each command run
whole in its own process, for its wall time and peak memory, which follows
the partition, not the log.

    python bench/replay.py                       # 10^6 rows, 30 and 300 rules
    python bench/replay.py --rows 10000000       # the long run (not in CI)

Uses the kavro module installed in the running interpreter, with pyarrow and
distributed. Logs are written once to --scratch (default: a temporary
folder): Parquet in row groups of 131,072 rows, and JSON Lines. Rows per
second are timed in this process over the partitions of the log, as the
command decides them (reading, deciding, tallying), without the start of an
interpreter; each is the fastest of --rounds, replay and diff taken in turn.
The machine may be shared: figures are indicative.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import workloads  # noqa: E402
from kavro import PyKavro  # noqa: E402
from kavro._replay.engines import EngineTexts  # noqa: E402
from kavro._replay.parts import Job  # noqa: E402
from kavro._replay.running import executor, run_job  # noqa: E402
from kavro._replay.summary import PolicyRun, Summary  # noqa: E402

ROW_GROUP = 131_072
LOOP_ROWS = 200_000


def new_policy(policy: str) -> str:
    """The diff's second policy: every fourth blocking rule asks for approval instead."""
    parts = policy.split("effect: block")
    return "".join(part + ("effect: require_approval" if index % 4 == 0 else "effect: block")
                   for index, part in enumerate(parts[:-1])) + parts[-1]


def write_logs(workload: workloads.Workload, rows: int, folder: pathlib.Path,
               formats: list[str]) -> dict[str, pathlib.Path]:
    requests = [request.data for request in workload.requests]
    block = pa.Table.from_pylist(requests * (ROW_GROUP // len(requests) + 1)).slice(0, ROW_GROUP)
    paths = {"parquet": folder / f"log-{workload.size}-{rows}.parquet",
             "jsonl": folder / f"log-{workload.size}-{rows}.jsonl"}
    if "parquet" in formats and not paths["parquet"].exists():
        with pq.ParquetWriter(paths["parquet"], block.schema) as writer:
            for start in range(0, rows, ROW_GROUP):
                writer.write_table(block.slice(0, min(ROW_GROUP, rows - start)))
    if "jsonl" in formats and not paths["jsonl"].exists():
        lines = [json.dumps(request) for request in requests]
        with paths["jsonl"].open("w") as file:
            for start in range(0, rows, len(lines)):
                file.write("\n".join(lines[:rows - start]) + "\n")
    return paths


def loop_rate(workload: workloads.Workload) -> float:
    engine = PyKavro(workload.schema_yaml, workload.policy_yaml)
    requests = [request.data for request in workload.requests]
    batch = (requests * (LOOP_ROWS // len(requests) + 1))[:LOOP_ROWS]
    start = time.perf_counter()
    for request in batch:
        engine.evaluate(request)
    return LOOP_ROWS / (time.perf_counter() - start)


def run_command(argv: list[str]) -> tuple[float, float]:
    """Seconds and peak resident memory (MiB) of one `kavro` run in its own process."""
    start = time.perf_counter()
    process = subprocess.Popen([sys.executable, "-m", "kavro", *argv], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"kavro {' '.join(argv)} failed with status {status}")
    return elapsed, usage.ru_maxrss / 1024


def job_seconds(job: Job, log: str, scheduler: str | None, threads: int | None) -> float:
    """Seconds to decide and tally every partition of `log` as the command does."""
    summary = Summary([log], [PolicyRun("", "", []) for _ in job.engines])
    with executor(scheduler, threads) as workers:
        start = time.perf_counter()
        run_job(job, [log], workers, summary.add)
        seconds = time.perf_counter() - start
    assert summary.rows == summary.decided
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--sizes", default="30,300")
    parser.add_argument("--formats", default="parquet,jsonl")
    parser.add_argument("--scratch", type=pathlib.Path)
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of the in-process timings; the fastest counts")
    args = parser.parse_args()
    scratch = args.scratch or pathlib.Path(tempfile.mkdtemp(prefix="kavro-replay-bench-"))
    scratch.mkdir(parents=True, exist_ok=True)
    from distributed import LocalCluster

    print(f"{args.rows:,} rows per log; cores: {os.cpu_count()}; load: {os.getloadavg()[0]:.1f}")
    print("| rules | input | what | rows/s | command seconds | command peak MiB |")
    print("|---:|---|---|---:|---:|---:|")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0") as cluster:
        address = cluster.scheduler_address
        for size in map(int, args.sizes.split(",")):
            workload = workloads.make_workload(size)
            folder = scratch / f"rules-{size}"
            folder.mkdir(exist_ok=True)
            new = new_policy(workload.policy_yaml)
            (folder / "schema.yaml").write_text(workload.schema_yaml)
            (folder / "old.yaml").write_text(workload.policy_yaml)
            (folder / "new.yaml").write_text(new)
            docs = ["--schema", str(folder / "schema.yaml"), "--policy", str(folder / "old.yaml")]
            old_texts = EngineTexts(workload.schema_yaml, workload.policy_yaml)
            replay, diff = Job((old_texts,)), Job((old_texts, EngineTexts(workload.schema_yaml, new)))
            print(f"| {size} | dicts | Python loop over evaluate | {loop_rate(workload):,.0f} | | |")
            logs = write_logs(workload, args.rows, scratch, args.formats.split(","))
            for kind in args.formats.split(","):
                log = str(logs[kind])
                timings: dict[str, list[float]] = {"one": [], "two": [], "diff": [], "threads": []}
                for _ in range(args.rounds):
                    timings["one"].append(job_seconds(replay, log, None, 1))
                    timings["diff"].append(job_seconds(diff, log, None, 1))
                    timings["two"].append(job_seconds(replay, log, address, None))
                    timings["threads"].append(job_seconds(replay, log, None, 2))
                one, two, both, threads = (min(timings[name])
                                           for name in ("one", "two", "diff", "threads"))
                commands = {
                    "replay, 1 thread": (one, ["replay", *docs, log, "--threads", "1"]),
                    "replay, 2 workers": (two, ["replay", *docs, log, "--scheduler", address]),
                    "diff, 1 thread": (both, ["diff", *docs, "--against", str(folder / "new.yaml"),
                                              log, "--threads", "1"]),
                }
                for what, (seconds, argv) in commands.items():
                    wall, peak = run_command(argv)
                    print(f"| {size} | {kind} | {what} | {args.rows / seconds:,.0f} | "
                          f"{wall:.2f} | {peak:,.0f} |", flush=True)
                print(f"| {size} | {kind} | two workers / one thread | {one / two:.2f}x | | |")
                # What two cores give at all, without Dask: the bound for two workers.
                print(f"| {size} | {kind} | two threads / one thread | {one / threads:.2f}x | | |")
                print(f"| {size} | {kind} | diff / replay | {both / one:.2f}x | | |", flush=True)


if __name__ == "__main__":
    main()
