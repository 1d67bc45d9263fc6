"""`kavro test`: runs the cases of test files and reports them."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from kavro import PyKavro
from kavro._command.documents import BuildFailure, build_engine
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

    @property
    def failed(self) -> int:
        return sum(not outcome.passed for outcome in self.outcomes)


def run_test_file(test_file: TestFile) -> FileRun:
    """Every case of the file against its documents; all fail when they do not build."""
    try:
        engine = build_engine(test_file.documents)
    except BuildFailure as failure:
        refused = tuple(Outcome(case, None, "the documents did not build")
                        for case in test_file.cases)
        return FileRun(test_file, refused, None, failure)
    return FileRun(test_file, tuple(_run_case(engine, case) for case in test_file.cases), engine)


def _run_case(engine: PyKavro, case: Case) -> Outcome:
    try:
        return Outcome(case, dict(engine.evaluate(case.request)))
    except (TypeError, ValueError) as error:
        return Outcome(case, None, describe_refusal(error))


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


def text_report(runs: list[FileRun]) -> list[str]:
    lines: list[str] = []
    for run in runs:
        if run.build_failure is not None:
            lines.append(run.build_failure.diagnostic.render())
        for outcome in run.outcomes:
            if not outcome.passed and run.build_failure is None:
                lines.append(f"FAIL {run.test_file.path}:{outcome.case.line}: {outcome.case.name}")
                lines += [f"  {line}" for line in failure_details(run.engine, outcome)]
    passed, failed = _totals(runs)
    lines.append(f"{passed} passed, {failed} failed")
    return lines


def json_report(runs: list[FileRun]) -> dict[str, object]:
    passed, failed = _totals(runs)
    return {"passed": passed, "failed": failed, "files": [_file_json(run) for run in runs]}


def _file_json(run: FileRun) -> dict[str, object]:
    failure = run.build_failure
    return {
        "file": str(run.test_file.path),
        "errors": [] if failure is None else [failure.diagnostic.as_json()],
        "cases": [{
            "name": outcome.case.name, "line": outcome.case.line, "passed": outcome.passed,
            "expected": {"effect": outcome.case.effect, **(
                {} if outcome.case.matched_rule is ANY_RULE
                else {"matched_rule": outcome.case.matched_rule})},
            "got": outcome.decision, "error": outcome.error,
        } for outcome in run.outcomes],
    }


def _totals(runs: list[FileRun]) -> tuple[int, int]:
    failed = sum(run.failed for run in runs)
    return sum(len(run.outcomes) for run in runs) - failed, failed
