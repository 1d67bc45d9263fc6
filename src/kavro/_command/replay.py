"""`kavro replay` and `kavro diff`: decide every request of logs with a
policy, or with two, and say what the decisions were or what changed."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from kavro import PyKavro
from kavro._command.traces import trace_lines
from kavro._command.documents import build_engine, read_documents
from kavro._command.usage import UsageError
from kavro._command.whole_files import (cannot_write, refuse_overwriting, whole_file,
                                        write_whole)

FAILED = 1
_REPLAY_MISSING = ("kavro replay and diff read logs with pyarrow and policies' rule ids with "
                   "PyYAML; {} is not installed: pip install 'kavro[replay]'")


def replay(args: argparse.Namespace) -> int:
    return _run(args, [args.policy])


def diff(args: argparse.Namespace) -> int:
    return _run(args, [args.policy, args.against])


def _run(args: argparse.Namespace, policies: list[Path]) -> int:
    try:
        import pyarrow  # noqa: F401  (only to name what is missing)
        import yaml  # noqa: F401
    except ModuleNotFoundError as missing:
        raise UsageError(_REPLAY_MISSING.format(missing.name)) from None
    from kavro._command.replay_output import text_summary
    from kavro._replay.engines import EngineTexts
    from kavro._replay.logs import find_logs
    from kavro._replay.parts import Job
    from kavro._replay.running import executor, run_job
    from kavro._replay.summary import PolicyRun, Summary

    documents = [read_documents(args.schema, policy, args.governance) for policy in policies]
    engines = [build_engine(one) for one in documents]
    paths = find_logs(args.logs)
    summary = Summary(paths, [PolicyRun(str(one.policy.path), engine.policy_hash(),
                                        _rule_ids(engine), descriptions=_descriptions(engine))
                              for one, engine in zip(documents, engines)],
                      sample_size=getattr(args, "sample", 0))
    job = Job(tuple(EngineTexts.of(engine) for engine in engines), args.id_field or None,
              keep_rows=args.out is not None, sample=summary.sample_size)
    refuse_overwriting([("--out", args.out), ("--report", args.report)],
                       [args.schema, *policies, *_given(args.governance), *map(Path, paths)])
    try:
        # A bad row leaves the block by its exception, so that --out is discarded.
        with (_rows_file(args.out, len(policies)) as out,
              executor(args.scheduler, args.threads) as workers):
            def take(result: Any) -> None:
                if result.refusals and not args.skip_bad_rows:
                    row, message = result.refusals[0]
                    raise _BadRow(f"{result.part.path}:{row}: {message}")
                summary.add(result)
                if out is not None:
                    out.write(result.out)
            run_job(job, paths, workers, take, sys.stderr)
    except _BadRow as bad:
        print(f"kavro: error: {bad} (--skip-bad-rows counts such rows and goes on)",
              file=sys.stderr)
        return FAILED
    traces = _traces(summary, engines)
    if args.report is not None:
        from kavro._report.page import report_page
        write_whole(args.report, report_page(summary, traces).encode("utf-8"))
    if args.format == "json":
        print(json.dumps(summary.as_json(), indent=2))
    else:
        print("\n".join(text_summary(summary, traces)))
    changed = summary.changes is not None and summary.changes.changed > 0
    return FAILED if changed and getattr(args, "fail_on_change", False) else 0


class _BadRow(Exception):
    """A row that is not a request, met without --skip-bad-rows."""


def _rule_ids(engine: PyKavro) -> list[str]:
    """The policy's rule ids in order, each once, as the engine holds them (it
    only reports the rule that decided)."""
    return list(dict.fromkeys(rule.id for rule in engine.rules()))


def _descriptions(engine: PyKavro) -> dict[str, str]:
    """The description of each rule id that has one, the first rule's for a repeated id."""
    described: dict[str, str] = {}
    for rule in engine.rules():
        if rule.description is not None:
            described.setdefault(rule.id, rule.description)
    return described


def explain_trace(engine: PyKavro, request: Any) -> list[str]:
    """Why `engine` decided `request` as it did, one line per step."""
    return trace_lines(engine.explain(request))


def _traces(summary: Any, engines: list[PyKavro]) -> list[tuple[list[str], list[str]]]:
    if len(engines) < 2:
        return []
    return [(explain_trace(engines[0], row.request), explain_trace(engines[1], row.request))
            for _, row in summary.sample]


@contextmanager
def _rows_file(path: Path | None, policies: int) -> Iterator[_RowsFile | None]:
    """The file of --out, if asked for: in place only once every row is written."""
    if path is None:
        yield None
        return
    with whole_file(path) as temporary:
        rows = _RowsFile(path, temporary)
        try:
            yield rows
            if rows.writer is None:
                from kavro._replay.parts import rows_schema
                rows.write(rows_schema(policies).empty_table())
        finally:
            if rows.writer is not None:
                rows.writer.close()


class _RowsFile:
    """Parquet rows written to a temporary file, opened with the first rows."""

    def __init__(self, path: Path, temporary: Path) -> None:
        self.path, self.temporary = path, temporary
        self.writer: Any = None

    def write(self, table: Any) -> None:
        import pyarrow.parquet as pq
        try:
            if self.writer is None:
                self.writer = pq.ParquetWriter(str(self.temporary), table.schema)
            self.writer.write_table(table)
        except OSError as error:
            raise cannot_write(self.path, error) from None


def _given(path: Path | None) -> list[Path]:
    return [] if path is None else [path]
