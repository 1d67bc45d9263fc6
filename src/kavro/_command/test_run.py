"""`kavro test`: runs the cases of test files and reports them."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Any

from kavro import PyKavro
from kavro._command.colour import PLAIN, Paint
from kavro._command.diagnostics import Diagnostic
from kavro._command.documents import BuildFailure, build_engine, lint_notes
from kavro._command.test_file import Case, TestFile
from kavro._command.traces import trace_lines
from kavro._decisions import ANY_RULE, describe_decision
from kavro._refusals import describe_refusal


@dataclass(frozen=True)
class Outcome:
    case: Case
    decision: dict[str, Any] | None  # None when the request was refused
    error: str | None = None

    @property
    def passed(self) -> bool:
        if self.decision is None:
            return False
        rule_ok = self.case.matched_rule is ANY_RULE or (
            self.decision["matched_rule"] == self.case.matched_rule)
        return self.decision["effect"] == self.case.effect and rule_ok


@dataclass(frozen=True)
class FileRun:
    test_file: TestFile
    outcomes: tuple[Outcome, ...]
    engine: PyKavro | None  # None when the documents did not build
    build_failure: BuildFailure | None = None
    findings: list[Diagnostic] = field(default_factory=list)  # lint warnings of the documents

    @property
    def failed(self) -> int:
        return 0 if self.build_failure is not None else sum(
            not outcome.passed for outcome in self.outcomes)

    @property
    def not_run(self) -> int:
        return len(self.outcomes) if self.build_failure is not None else 0


def run_test_file(test_file: TestFile, chosen: re.Pattern[str] | None = None) -> FileRun:
    """The cases of the file (those whose name `chosen` matches) against its
    documents; none runs when they do not build."""
    cases = [case for case in test_file.cases if chosen is None or chosen.search(case.name)]
    try:
        engine = build_engine(test_file.documents)
    except BuildFailure as failure:
        refused = tuple(Outcome(case, None, "the documents did not build") for case in cases)
        return FileRun(test_file, refused, None, failure)
    findings = [note for note in lint_notes(test_file.documents) if note.severity == "warning"]
    return FileRun(test_file, tuple(_run_case(engine, case) for case in cases), engine,
                   findings=findings)


def _run_case(engine: PyKavro, case: Case) -> Outcome:
    try:
        problems = engine.check_request(case.request) if case.strict else []
        if problems:
            found = "; ".join(problem["message"] for problem in problems)
            return Outcome(case, None, f"the request does not match the schema: {found} "
                                       "(a case with `strict: false` may send it)")
        return Outcome(case, dict(engine.evaluate(case.request)))
    except (TypeError, ValueError) as error:
        return Outcome(case, None, describe_refusal(case.request, error))


def failure_details(engine: PyKavro | None, outcome: Outcome) -> list[str]:
    """The lines shown under a failing case: what was expected and what came."""
    got = (f"error: {outcome.error}" if outcome.decision is None else
           describe_decision(outcome.decision["effect"], outcome.decision["matched_rule"]))
    lines = [f"expected: {describe_decision(outcome.case.effect, outcome.case.matched_rule)}",
             f"got:      {got}"]
    if engine is not None and outcome.decision is not None:
        trace = trace_lines(engine.explain(outcome.case.request))
        lines += ["why:"] + [f"  {line}" for line in trace]
    return lines


def text_report(runs: list[FileRun], paint: Paint = PLAIN) -> list[str]:
    lines: list[str] = []
    shown: set[str] = set()  # test files of one set of documents show its findings once
    for run in runs:
        for finding in run.findings:
            text = finding.render(paint)
            if text not in shown:
                shown.add(text)
                lines.append(text)
        if run.build_failure is not None:
            lines.append(run.build_failure.diagnostic.render(paint))
            lines.append(f"documents did not build: {run.not_run} case"
                         f"{'' if run.not_run == 1 else 's'} not run")
        for outcome in run.outcomes:
            if not outcome.passed and run.build_failure is None:
                lines.append(f"{paint.bad('FAIL')} {run.test_file.path}:{outcome.case.line}: "
                             f"{outcome.case.name}")
                lines += [f"  {line}" for line in failure_details(run.engine, outcome)]
    passed, failed, not_run = _totals(runs)
    lines.append(f"{passed} passed, {failed} failed" + (f", {not_run} not run" if not_run else ""))
    return lines


def json_report(runs: list[FileRun]) -> dict[str, object]:
    passed, failed, not_run = _totals(runs)
    return {"passed": passed, "failed": failed, "not_run": not_run,
            "files": [_file_json(run) for run in runs]}


def _file_json(run: FileRun) -> dict[str, object]:
    failure = run.build_failure
    return {
        "file": str(run.test_file.path),
        "errors": [] if failure is None else [failure.diagnostic.as_json()],
        "findings": [finding.as_json() for finding in run.findings],
        "cases": [{
            "name": outcome.case.name, "line": outcome.case.line,
            "passed": None if failure is not None else outcome.passed,
            "expected": {"effect": outcome.case.effect, **(
                {} if outcome.case.matched_rule is ANY_RULE
                else {"matched_rule": outcome.case.matched_rule})},
            "got": outcome.decision, "error": outcome.error,
        } for outcome in run.outcomes],
    }


def _totals(runs: list[FileRun]) -> tuple[int, int, int]:
    failed = sum(run.failed for run in runs)
    not_run = sum(run.not_run for run in runs)
    return sum(len(run.outcomes) for run in runs) - failed - not_run, failed, not_run
