"""The arguments of `kavro replay` and `kavro diff`."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from kavro._command import replay, verify_log
from kavro._command.usage import UsageError


def add_replay_commands(subcommands: Any, parents: list[argparse.ArgumentParser]) -> None:
    logs = argparse.ArgumentParser(add_help=False)
    logs.add_argument("logs", nargs="+", metavar="LOG",
                      help="JSON Lines or Parquet files, one request per row (globs allowed)")
    logs.add_argument("--out", type=Path, metavar="FILE.parquet",
                      help="write the decisions (diff: the changed rows) as Parquet")
    logs.add_argument("--report", type=Path, metavar="FILE.html",
                      help="write a self-contained HTML report")
    logs.add_argument("--scheduler", metavar="ADDRESS",
                      help="run on the Dask cluster at ADDRESS (default: all local cores)")
    logs.add_argument("--threads", type=int, metavar="N",
                      help="local threads deciding partitions (default: one per core)")
    logs.add_argument("--skip-bad-rows", action="store_true",
                      help="count and report rows that are not requests instead of stopping")
    logs.add_argument("--id-field", default="id", metavar="KEY",
                      help="the top-level key or column holding a request id (default: id)")
    run = subcommands.add_parser(
        "replay", parents=[*parents, logs],
        help="decide every request of logs: decisions per effect, hits per rule")
    run.add_argument("--verify", action="store_true",
                     help="the logs are decision logs: re-decide each line with the policy of "
                          "its hash (--policy, or a version in --archive) and report every "
                          "line decided otherwise")
    run.add_argument("--archive", type=Path, metavar="DIR",
                     help="with --verify: a policy store's archive of the versions it ran")
    run.set_defaults(run=_replay_or_verify)
    compare = subcommands.add_parser(
        "diff", parents=[*parents, logs],
        help="decide logs with two policies (--policy OLD --against NEW) and show the changes")
    compare.add_argument("--against", type=Path, required=True, metavar="FILE",
                         help="the new policy")
    compare.add_argument("--sample", type=int, default=5, metavar="N",
                         help="changed requests shown with both traces (default: 5)")
    compare.add_argument("--fail-on-change", action="store_true",
                         help="exit with status 1 when any decision changed")
    compare.set_defaults(run=replay.diff)


def _replay_or_verify(args: argparse.Namespace) -> int:
    if args.verify:
        return verify_log.verify(args)
    if args.archive is not None:
        raise UsageError("--archive goes with --verify")
    return replay.replay(args)
