"""The subcommands: each takes the parsed arguments and returns the exit status."""

from __future__ import annotations

import argparse
import io
import json
import re
import sys
from dataclasses import replace
from pathlib import Path
from typing import IO, Any

from kavro import PyKavro
from kavro._command.accepting import FAILING_CODES, accepted_in_text
from kavro._command.colour import paint_for
from kavro._command.compare import health_findings, print_health
from kavro._command.diagnostics import Diagnostic
from kavro._command.documents import (BuildFailure, Documents, build_engine, checked,
                                      read_documents)
from kavro._command.requests import read_requests
from kavro._command.source import Source
from kavro._command.traces import trace_lines
from kavro._command.usage import UsageError, open_input
from kavro._command.whole_files import refuse_overwriting, write_whole
from kavro._decisions import describe_decision
from kavro._refusals import describe_refusal
from kavro.analysis import Health

FAILED = 1
_PYYAML_MISSING = ("kavro test reads YAML test files with PyYAML, which is not installed: "
                   "pip install 'kavro[cli]'")


def check(args: argparse.Namespace) -> int:
    documents = _documents(args)
    sources = documents.sources
    error: Diagnostic | None = None
    try:
        engine: PyKavro | None = build_engine(documents)
    except BuildFailure as failure:
        engine, error = None, failure.diagnostic
    # The error, if any, is the one construction raised (placed with its details).
    error, found = checked(documents, error)
    errors = [] if error is None else [error]
    notes = [_judged(note, args) for note in found]
    failing = [note for note in notes if note.fails]
    failed = bool(errors or failing) or any(note.severity == "error" for note in notes) or (
        args.strict and any(note.severity == "warning" for note in notes))
    healthy: Health | None = None
    if args.health and engine is not None:
        healthy = health_findings(engine, args)
        failed = failed or (args.strict and bool(healthy.findings))
    if args.format == "json":
        report = {
            "ok": not failed, "errors": [error.as_json() for error in errors],
            "findings": [note.as_json() for note in notes],
            "policy_hash": None if engine is None else engine.policy_hash(),
        }
        if args.health:
            report["health"] = None if healthy is None else {
                "complete": healthy.status == "complete", "reason": healthy.reason,
                "findings": [finding.as_json() for finding in healthy.findings],
                "defaults": [region.as_json() for region in healthy.defaults]}
        _print_json(report)
        return FAILED if failed else 0
    paint = paint_for(sys.stderr)
    for diagnostic in errors + notes:
        if diagnostic.severity != "info" or args.verbose:
            print(diagnostic.render(paint), file=sys.stderr)
    print_health(documents.policy, healthy, args.verbose, paint)
    if failed:
        print(_closing_line(errors + notes, args.strict), file=sys.stderr)
        return FAILED
    names = ', '.join(str(source.path) for source in sources.values())
    print(f"{paint_for(sys.stdout).good('ok')}: {names}")
    return 0


def _closing_line(diagnostics: list[Diagnostic], strict: bool) -> str:
    """The count of what failed the check, and how to accept a finding."""
    errors = sum(one.severity == "error" or one.fails for one in diagnostics)
    warnings = sum(one.severity == "warning" and not one.fails for one in diagnostics)
    line = f"{_counted(errors, 'error')}, {_counted(warnings, 'warning')}"
    if any(one.fails for one in diagnostics):
        line += ("; a finding that changes decisions is accepted with --allow CODE or a "
                 "'# kavro: allow CODE' comment on its rule")
    elif strict and warnings:
        line += " (--strict)"
    return line


def _counted(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def _judged(note: Diagnostic, args: argparse.Namespace) -> Diagnostic:
    allowed = {code for given in args.allow or () for code in given.split(",")}
    fails = (note.code in FAILING_CODES and not args.warn_only and note.code not in allowed
             and not accepted_in_text(note.source.text, note.line, note.code))
    return replace(note, fails=fails)


def explain(args: argparse.Namespace) -> int:
    engine = build_engine(_documents(args))
    with _open_requests(args.request) as (stream, name):
        requests = list(read_requests(stream, name))
    if len(requests) != 1:
        raise UsageError(f"kavro explain takes one request; {name} holds {len(requests)}")
    request = requests[0]
    error = request.error
    if error is None:
        try:
            explanation = engine.explain(request.value)
        except (TypeError, ValueError) as refused:
            error = describe_refusal(refused)
    if error is not None:
        _print_line(args, {"where": request.where, "error": error},
                    f"{request.where}: error: {error}")
        return FAILED
    if args.format == "json":
        _print_json(explanation)
    else:
        print("\n".join(trace_lines(explanation)))
    return 0


def evaluate(args: argparse.Namespace) -> int:
    engine = build_engine(_documents(args))
    status = 0
    with _open_requests(args.requests) as (stream, name):
        for request in read_requests(stream, name):
            error = request.error
            echoed = _take_id(request.value, args.id_field)
            if error is None:
                try:
                    problems = engine.check_request(request.value) if args.strict else []
                    decision = engine.evaluate(request.value)
                except (TypeError, ValueError) as refused:
                    error = describe_refusal(refused)
                else:
                    if problems:
                        error = "; ".join(problem["message"] for problem in problems)
                    elif args.strict:
                        # Not an error: the request matches the schema, but a
                        # rule that reads a field it lacks cannot hold.
                        for missing in engine.missing_fields(request.value):
                            print(f"{request.where}: note: {missing['message']}",
                                  file=sys.stderr)
            if error is not None:
                status = FAILED
                _print_line(args, {**echoed, "where": request.where, "error": error},
                            f"{request.where}: error: {error}")
            else:
                _print_line(args, {**echoed, **decision},
                            describe_decision(decision["effect"], decision["matched_rule"]))
    return status


def _take_id(request: Any, id_field: str | None) -> dict[str, Any]:
    """The request's id under `id_field`, taken out of the request so that
    neither the engine nor --strict sees it as a field of the request."""
    if id_field is None or not isinstance(request, dict) or id_field not in request:
        return {}
    return {id_field: request.pop(id_field)}


def policy_hash(args: argparse.Namespace) -> int:
    engine = build_engine(_documents(args))
    digest = engine.policy_hash()
    _print_line(args, {"policy_hash": digest, "compiler_version": PyKavro.compiler_version()},
                digest)
    return 0


def test(args: argparse.Namespace) -> int:
    try:
        # PyYAML is needed by test files only.
        from kavro._command.junit import junit_xml
        from kavro._command.test_file import find_test_files, read_test_file
        from kavro._command.test_run import json_report, run_test_file, text_report
    except ModuleNotFoundError as error:
        if error.name != "yaml":
            raise
        raise UsageError(_PYYAML_MISSING) from None
    try:
        chosen = None if args.case_pattern is None else re.compile(args.case_pattern)
    except re.error as error:
        raise UsageError(f"--run {args.case_pattern!r} is not a regular expression: "
                         f"{error}") from None
    paths = find_test_files(args.files)
    files = [read_test_file(path, Source.read(path, "test file").text) for path in paths]
    refuse_overwriting([("--junit", args.junit)], [*paths, *(
        source.path for test_file in files for source in test_file.documents.sources.values())])
    runs = [run_test_file(test_file, chosen) for test_file in files]
    if args.junit is not None:
        try:
            args.junit.write_bytes(junit_xml(runs))
        except OSError as error:
            raise UsageError(f"cannot write {str(args.junit)!r}: "
                             f"{error.strerror or error}") from None
    reports = _coverage(args, runs)
    low = args.threshold is not None and any(r.percent < args.threshold for r in reports)
    if args.format == "json":
        report = json_report(runs)
        if args.coverage:
            report["coverage"] = [coverage.as_json() for coverage in reports]
        _print_json(report)
    else:
        print("\n".join(text_report(runs, paint_for(sys.stdout))))
        if args.coverage:
            from kavro._command.coverage import coverage_lines
            print("\n".join(coverage_lines(reports)))
    broken = any(run.build_failure is not None or run.failed for run in runs)
    return FAILED if broken or low else 0


def _coverage(args: argparse.Namespace, runs: list[Any]) -> list[Any]:
    if args.threshold is not None and not args.coverage:
        raise UsageError("--threshold goes with --coverage")
    if not args.coverage:
        return []
    from kavro._command.coverage import coverage_of
    return [report for report in map(coverage_of, runs) if report is not None]


def fmt(args: argparse.Namespace) -> int:
    from kavro._command.fmt import formatted

    # Every file is read and formatted before any is written: a file that
    # cannot be formatted leaves them all as they were.
    changed = []
    for path in dict.fromkeys(args.files):
        text = Source.read(path, "document").text
        result = formatted(text, str(path))
        if result != text:
            changed.append((path, result))
    for path, result in changed:
        if args.check:
            print(f"would reformat {path}")
        else:
            write_whole(path, result.encode("utf-8"))
            print(f"reformatted {path}")
    return FAILED if args.check and changed else 0


def _documents(args: argparse.Namespace) -> Documents:
    return read_documents(args.schema, args.policy, args.governance)


def build_failed(args: argparse.Namespace, failure: BuildFailure) -> int:
    """Reports documents that did not build: on standard error, or as JSON for scripts."""
    if args.format == "json":
        _print_json({"ok": False, "errors": [failure.diagnostic.as_json()]})
    else:
        print(failure.diagnostic.render(), file=sys.stderr)
    return FAILED


class _open_requests:
    """Standard input for "-", else the named file; a file that cannot be
    opened is a usage error."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.file: IO[str] | None = None

    def __enter__(self) -> tuple[IO[str], str]:
        if self.name == "-":
            return sys.stdin, "<stdin>"
        try:
            self.file = io.TextIOWrapper(open_input(Path(self.name), "requests"), encoding="utf-8")
        except OSError as error:
            raise UsageError(f"cannot read requests {self.name!r}: "
                             f"{error.strerror or error}") from None
        return self.file, self.name

    def __exit__(self, *exc: object) -> None:
        if self.file is not None:
            self.file.close()


def _print_line(args: argparse.Namespace, as_json: Any, as_text: str) -> None:
    print(json.dumps(as_json) if args.format == "json" else as_text, flush=True)


def _print_json(value: Any) -> None:
    print(json.dumps(value, indent=2))
