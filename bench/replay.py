"""Replaying logs: rows per second of a Python loop over evaluate, of
`kavro replay` on one thread, of `kavro replay` on a local Dask cluster of two
worker processes, and the cost of `kavro diff` against one replay; with the
peak memory of each run, which follows the partition, not the log.

    python bench/replay.py                       # 10^6 rows, 30 and 300 rules
    python bench/replay.py --rows 10000000       # the long run (not in CI)

Uses the kavro module installed in the running interpreter, with pyarrow and
distributed. Logs are written once to --scratch (default: a temporary
folder): Parquet in row groups of 131,072 rows, and JSON Lines. Each figure is
the fastest of --rounds runs, on a machine that may be shared: indicative only. Rows per second
are net of the command's start (interpreter, imports, engine, connecting to
the cluster), measured by the same run over a one-row log and subtracted;
the seconds column is the whole run.
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

ROW_GROUP = 131_072
LOOP_ROWS = 200_000


def new_policy(policy: str) -> str:
    """The diff's second policy: every fourth blocking rule asks for approval instead."""
    parts = policy.split("effect: block")
    return "".join(part + ("effect: require_approval" if index % 4 == 0 else "effect: block")
                   for index, part in enumerate(parts[:-1])) + parts[-1]


def write_logs(workload: workloads.Workload, rows: int, folder: pathlib.Path) -> dict[str, pathlib.Path]:
    requests = [request.data for request in workload.requests]
    block = pa.Table.from_pylist(requests * (ROW_GROUP // len(requests) + 1)).slice(0, ROW_GROUP)
    paths = {"parquet": folder / f"log-{workload.size}-{rows}.parquet",
             "jsonl": folder / f"log-{workload.size}-{rows}.jsonl"}
    if not paths["parquet"].exists():
        with pq.ParquetWriter(paths["parquet"], block.schema) as writer:
            for start in range(0, rows, ROW_GROUP):
                writer.write_table(block.slice(0, min(ROW_GROUP, rows - start)))
    if not paths["jsonl"].exists():
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--sizes", default="30,300")
    parser.add_argument("--formats", default="parquet,jsonl")
    parser.add_argument("--scratch", type=pathlib.Path)
    parser.add_argument("--rounds", type=int, default=2,
                        help="runs of each measurement; the fastest counts")
    args = parser.parse_args()
    scratch = args.scratch or pathlib.Path(tempfile.mkdtemp(prefix="kavro-replay-bench-"))
    scratch.mkdir(parents=True, exist_ok=True)
    from distributed import LocalCluster

    print(f"{args.rows:,} rows per log; cores: {os.cpu_count()}; load: {os.getloadavg()[0]:.1f}")
    print("| rules | input | what | rows/s | seconds | peak MiB |")
    print("|---:|---|---|---:|---:|---:|")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0") as cluster:
        for size in map(int, args.sizes.split(",")):
            workload = workloads.make_workload(size)
            folder = scratch / f"rules-{size}"
            folder.mkdir(exist_ok=True)
            (folder / "schema.yaml").write_text(workload.schema_yaml)
            (folder / "old.yaml").write_text(workload.policy_yaml)
            (folder / "new.yaml").write_text(new_policy(workload.policy_yaml))
            docs = ["--schema", str(folder / "schema.yaml"), "--policy", str(folder / "old.yaml")]
            print(f"| {size} | dicts | Python loop over evaluate | {loop_rate(workload):,.0f} | | |")
            logs = write_logs(workload, args.rows, scratch)
            tiny = write_logs(workload, 1, scratch)
            modes = {
                "replay, 1 thread": ["replay", *docs, "--threads", "1"],
                "replay, 2 workers": ["replay", *docs, "--scheduler", cluster.scheduler_address],
                "diff, 1 thread": ["diff", *docs, "--against", str(folder / "new.yaml"),
                                   "--threads", "1"],
            }
            for kind in args.formats.split(","):
                net: dict[str, float] = {}
                for what, argv in modes.items():
                    start = min(run_command([*argv, str(tiny[kind])])[0]
                                for _ in range(args.rounds))
                    seconds, peak = min(run_command([*argv, str(logs[kind])])
                                        for _ in range(args.rounds))
                    net[what] = max(seconds - start, 1e-9)
                    print(f"| {size} | {kind} | {what} | {args.rows / net[what]:,.0f} | "
                          f"{seconds:.2f} | {peak:,.0f} |", flush=True)
                one = net["replay, 1 thread"]
                print(f"| {size} | {kind} | two workers / one thread | "
                      f"{one / net['replay, 2 workers']:.2f}x | | |")
                print(f"| {size} | {kind} | diff / replay | "
                      f"{net['diff, 1 thread'] / one:.2f}x | | |", flush=True)


if __name__ == "__main__":
    main()
