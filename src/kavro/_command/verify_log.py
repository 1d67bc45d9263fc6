"""`kavro replay --verify`: re-decide a decision log with the policy of each line's hash."""

from __future__ import annotations

import argparse
import dataclasses
import json
from pathlib import Path

from kavro._command.documents import build_engine, read_documents
from kavro._command.usage import UsageError, open_input
from kavro._kavro import PyKavro
from kavro.log_verification import VerificationReport, archived_engines, verify_decision_lines

FAILED = 1


def verify(args: argparse.Namespace) -> int:
    try:
        from kavro._replay.logs import find_logs
    except ModuleNotFoundError as missing:
        raise UsageError(f"kavro replay reads logs with pyarrow; {missing.name} is not "
                         f"installed: pip install 'kavro[replay]'") from None
    engines: dict[str, PyKavro] = {}
    if args.archive is not None:
        try:
            engines.update(archived_engines(args.archive))
        except (OSError, ValueError) as error:
            raise UsageError(f"cannot use the archive {str(args.archive)!r}: {error}") from None
    engine = build_engine(read_documents(args.schema, args.policy, args.governance))
    engines[engine.policy_hash()] = engine
    report = VerificationReport()
    for path in find_logs(args.logs):
        try:
            with open_input(Path(path), "log") as file:
                _add(report, verify_decision_lines(file, engines), path)
        except OSError as error:
            raise UsageError(f"cannot read log {path!r}: {error.strerror or error}") from None
    if args.format == "json":
        print(json.dumps({
            "lines": report.lines, "verified": report.verified, "masked": report.masked,
            "problems": report.problem_count, "policies": dict(report.by_policy),
            "first_problems": [vars(problem) for problem in report.problems]}))
    else:
        _print_text(report, len(engines))
    return 0 if report.ok else FAILED


def _add(total: VerificationReport, part: VerificationReport, path: str) -> None:
    total.lines += part.lines
    total.verified += part.verified
    total.masked += part.masked
    total.by_policy.update(part.by_policy)
    for problem in part.problems:
        total.add(dataclasses.replace(problem, source=path))
    total.problem_count += part.problem_count - len(part.problems)


def _print_text(report: VerificationReport, policies: int) -> None:
    for problem in report.problems:
        decision = f" (decision {problem.decision_id})" if problem.decision_id else ""
        print(f"{problem.source}:{problem.line}{decision}: {problem.kind}: {problem.detail}")
    if report.problem_count > len(report.problems):
        print(f"... and {report.problem_count - len(report.problems)} more problems")
    masked = f"; {report.masked} with masked fields, not re-decided" if report.masked else ""
    print(f"verified {report.verified} of {report.lines} decision lines against "
          f"{policies} {'policy' if policies == 1 else 'policies'}{masked}; "
          f"{report.problem_count} {'problem' if report.problem_count == 1 else 'problems'}")
