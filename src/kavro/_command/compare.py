"""`kavro compare`: two policies over one schema, compared over every request,
and `kavro check --health`'s findings."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from kavro import PyKavro
from kavro._command.colour import PLAIN, Paint
from kavro._command.diagnostics import Diagnostic
from kavro._command.documents import build_engine, read_documents
from kavro._command.project import find_project
from kavro._command.source import Source
from kavro._command.usage import UsageError
from kavro._command.whole_files import write_whole
from kavro.analysis import AnalysisRefused, Health, compare, describe, health, weigh

FAILED = 1
_DEFAULT_SECONDS = 60.0
_DEFAULT_MEMORY_MB = 1024


def add_budget_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--time-limit", type=float, default=_DEFAULT_SECONDS, metavar="SECONDS",
                        help="answer 'unknown' after this long (default: 60)")
    parser.add_argument("--memory-limit", type=int, default=_DEFAULT_MEMORY_MB, metavar="MB",
                        help="answer 'unknown' once the process peaks above this (default: 1024)")


def add_compare_command(subcommands: Any, parents: list[argparse.ArgumentParser]) -> None:
    command = subcommands.add_parser(
        "compare", parents=parents,
        help="compare two policies over every request: 'equivalent', or each region of "
             "requests decided differently with a witness")
    # Not `schema`: the two policies are given here, so the project file fills
    # only the schema and governance (in run_compare), never a policy.
    command.add_argument("--schema", dest="schema_file", type=Path, metavar="FILE",
                         help="the schema (default: the project file's)")
    command.add_argument("--governance", dest="governance_file", type=Path, metavar="FILE")
    command.add_argument("old", type=Path, metavar="OLD", help="the policy as it is")
    command.add_argument("new", type=Path, metavar="NEW", help="the policy as it would be")
    command.add_argument("--fail-on", choices=("more-permissive", "any-change"),
                         help="exit 1 when some region moves toward allow (more-permissive: "
                              "block to allow or require_approval, require_approval to allow) "
                              "or differs at all (any-change), or when the answer is unknown")
    command.add_argument("--by-rule", action="store_true",
                         help="also report requests decided with the same effect by a rule of "
                              "another id")
    command.add_argument("--log", nargs="+", metavar="LOG",
                         help="JSON Lines or Parquet request logs (globs allowed): count the "
                              "logged requests in each region")
    command.add_argument("--report", type=Path, metavar="FILE.html",
                         help="also write a self-contained HTML report of the regions")
    add_budget_arguments(command)
    command.set_defaults(run=run_compare)


def _engine(schema: Path, policy: Path, governance: Path | None) -> tuple[PyKavro, Source]:
    documents = read_documents(schema, policy, governance)
    return build_engine(documents), documents.policy


def run_compare(args: argparse.Namespace) -> int:
    schema, governance = args.schema_file, args.governance_file
    if schema is None:
        project = find_project(Path.cwd())
        schema = None if project is None else project.document("schema")
        if governance is None and project is not None:
            governance = project.document("governance")
    if schema is None:
        raise UsageError("the following arguments are required: --schema (or a kavro.toml "
                         "naming the documents; see 'kavro compare --help')")
    old, old_source = _engine(schema, args.old, governance)
    new, new_source = _engine(schema, args.new, governance)
    try:
        result = compare(old, new, by_rule=args.by_rule, seconds=args.time_limit,
                         memory_mb=args.memory_limit)
    except AnalysisRefused as refused:
        raise UsageError(f"cannot analyse: {refused}") from None
    logged = None if args.log is None else weigh(result, _logged_requests(args.log))
    if args.report is not None:
        from kavro._report.regions import ComparedPolicy, compare_page
        page = compare_page(
            result, ComparedPolicy(str(args.old), old.policy_hash(), old_source.position),
            ComparedPolicy(str(args.new), new.policy_hash(), new_source.position),
            logged, args.log)
        write_whole(args.report, page.encode("utf-8"))
    failed = args.fail_on is not None and (
        result.status == "unknown"
        or (args.fail_on == "any-change" and bool(result.regions))
        or result.more_permissive)
    if args.format == "json":
        print(json.dumps({
            "status": result.status, "reason": result.reason, "checked": result.checked,
            "more_permissive": result.more_permissive,
            "old_hash": old.policy_hash(), "new_hash": new.policy_hash(),
            "regions": [dict(region.as_json(), **({} if logged is None else
                                                  {"logged": logged[number]}))
                        for number, region in enumerate(result.regions)],
        }, indent=2))
        return FAILED if failed else 0
    if result.status == "equivalent":
        print("equivalent over all requests")
    else:
        count = len(result.regions)
        print(f"{count} region{'' if count == 1 else 's'} decided differently"
              + ("" if result.status == "different" else " found so far"))
        for line in describe(result.regions, logged,
                             (old_source.position, new_source.position)):
            print(line)
        if result.status == "unknown":
            print(f"unknown: {result.reason}; compared completely: "
                  f"{', '.join(result.checked) or 'nothing'}")
    return FAILED if failed else 0


def _logged_requests(patterns: list[str]) -> Iterator[Any]:
    """Every readable request of the logs, read as kavro replay reads them."""
    try:
        import pyarrow  # noqa: F401  (only to name what is missing)
    except ModuleNotFoundError:
        raise UsageError("kavro compare --log reads logs with pyarrow, which is not installed: "
                         "pip install 'kavro[replay]'") from None
    from kavro._replay.logs import find_logs, plan_parts, read_part, request_of_row

    for path in find_logs(patterns):
        for part in plan_parts(path):
            rows = read_part(part, None)
            if rows.values is not None:
                unreadable = rows.unreadable or {}
                yield from (value for index, value in enumerate(rows.values)
                            if index not in unreadable)
            elif rows.table is not None:
                yield from (request_of_row(row) for row in rows.table.to_pylist())


def health_findings(engine: PyKavro, args: argparse.Namespace) -> Health:
    """The findings of `kavro check --health`."""
    try:
        return health(engine, seconds=args.time_limit, memory_mb=args.memory_limit)
    except AnalysisRefused as refused:
        raise UsageError(f"cannot analyse: {refused}") from None


def print_health(policy: Source, result: Health | None, verbose: bool,
                 paint: Paint = PLAIN) -> None:
    """Each finding as `kavro check` prints a lint finding: placed at its rule."""
    if result is None:
        return
    for finding in result.findings:
        witness = () if finding.witness is None else \
            (f"  witness: {json.dumps(finding.witness, sort_keys=True)}",)
        line = finding.line
        diagnostic = Diagnostic(
            "policy", policy, f"{finding.place} '{finding.rule_id}': {finding.message}", line,
            None if line is None else policy.item_column(line), severity="warning",
            code=finding.code, rule_id=finding.rule_id, details=witness)
        print(diagnostic.render(paint), file=sys.stderr)
    if verbose:
        for region in result.defaults:
            where = "no action with rules" if region.action is None else \
                f"action {region.action}"
            constraints = "; ".join(f"{k}: {v}" for k, v in region.constraints.items())
            print(f"{policy.path}: note: {where}: decided by the default "
                  f"({region.old.effect}) where "
                  f"{constraints or 'no rule holds'} [default-region]", file=sys.stderr)
            print(f"  witness: {json.dumps(region.witness, sort_keys=True)}", file=sys.stderr)
    if result.reason is not None:
        print(f"{policy.path}: note: rule health is incomplete: {result.reason}",
              file=sys.stderr)
