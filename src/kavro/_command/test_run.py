"""`kavro test`: runs the cases of test files and reports them."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import Any

from kavro import PolicyError, PyKavro
from kavro._command.colour import PLAIN, Paint
from kavro._command.diagnostics import Diagnostic
from kavro._command.documents import BuildFailure, build_engine, lint_notes
from kavro._command.test_file import Case, Property, TestFile
from kavro._command.traces import trace_lines
from kavro._decisions import ANY_RULE, describe_decision
from kavro._refusals import describe_refusal
from kavro.analysis import AnalysisRefused, prove


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
class PropertyOutcome:
    prop: Property
    status: str  # "proved", "failed", "unknown", or "error" (the conditions do not build)
    witness: dict[str, Any] | None = None
    error: str | None = None

    @property
    def passed(self) -> bool:
        return self.status == "proved"


@dataclass(frozen=True)
class FileRun:
    test_file: TestFile
    outcomes: tuple[Outcome, ...]
    engine: PyKavro | None  # None when the documents did not build
    build_failure: BuildFailure | None = None
    findings: list[Diagnostic] = field(default_factory=list)  # lint warnings of the documents
    properties: tuple[PropertyOutcome, ...] = ()

    @property
    def failed(self) -> int:
        return 0 if self.build_failure is not None else sum(
            not outcome.passed for outcome in self.outcomes) + sum(
            not outcome.passed for outcome in self.properties)

    @property
    def not_run(self) -> int:
        return len(self.outcomes) + len(self.properties) if self.build_failure is not None else 0


def run_test_file(test_file: TestFile, chosen: re.Pattern[str] | None = None) -> FileRun:
    """The cases of the file (those whose name `chosen` matches) against its
    documents; none runs when they do not build."""
    cases = [case for case in test_file.cases if chosen is None or chosen.search(case.name)]
    properties = [prop for prop in test_file.properties
                  if chosen is None or chosen.search(prop.name)]
    try:
        engine = build_engine(test_file.documents)
    except BuildFailure as failure:
        refused = tuple(Outcome(case, None, "the documents did not build") for case in cases)
        unproved = tuple(PropertyOutcome(prop, "error", error="the documents did not build")
                         for prop in properties)
        return FileRun(test_file, refused, None, failure, properties=unproved)
    findings = [note for note in lint_notes(test_file.documents) if note.severity == "warning"]
    return FileRun(test_file, tuple(_run_case(engine, case) for case in cases), engine,
                   findings=findings,
                   properties=tuple(_prove(engine, test_file, prop) for prop in properties))


def _prove(engine: PyKavro, test_file: TestFile, prop: Property) -> PropertyOutcome:
    try:
        result = prove(engine, test_file.documents.schema.text, prop.effect, never=prop.never,
                       action=prop.action, when=prop.when, unless=prop.unless)
    except PolicyError as error:
        return PropertyOutcome(prop, "error", error=f"its conditions do not build: {error}")
    except AnalysisRefused as refused:
        return PropertyOutcome(prop, "error", error=f"cannot analyse: {refused}")
    return PropertyOutcome(prop, result.status, result.witness, result.reason)


def _run_case(engine: PyKavro, case: Case) -> Outcome:
    try:
        problems = engine.check_request(case.request) if case.strict else []
        if problems:
            return Outcome(case, None, "the request does not match the schema: " + "; ".join(
                problem["message"] for problem in problems) + " (a case with `strict: false` may send it)")
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
        for proved in run.properties:
            if not proved.passed and run.build_failure is None:
                lines.append(f"{paint.bad('FAIL')} {run.test_file.path}:{proved.prop.line}: "
                             f"property {proved.prop.name}")
                lines += [f"  {line}" for line in _property_details(run.engine, proved)]
    passed, failed, not_run = _totals(runs)
    lines.append(f"{passed} passed, {failed} failed" + (f", {not_run} not run" if not_run else ""))
    return lines


def _property_details(engine: PyKavro | None, outcome: PropertyOutcome) -> list[str]:
    claim = f"{'never' if outcome.prop.never else 'always'} {outcome.prop.effect}"
    if outcome.status == "unknown":
        return [f"{claim}: unknown, {outcome.error}"]
    if outcome.status == "error" or outcome.witness is None or engine is None:
        return [f"error: {outcome.error}"]
    lines = [f"{claim}: fails for {json.dumps(outcome.witness, sort_keys=True)}", "why:"]
    return lines + [f"  {line}" for line in trace_lines(engine.explain(outcome.witness))]


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
        "properties": [{
            "name": proved.prop.name, "line": proved.prop.line, "passed": proved.passed,
            "status": proved.status, "witness": proved.witness, "error": proved.error,
        } for proved in run.properties],
    }


def _totals(runs: list[FileRun]) -> tuple[int, int, int]:
    failed = sum(run.failed for run in runs)
    not_run = sum(run.not_run for run in runs)
    return sum(len(run.outcomes) + len(run.properties) for run in runs) - failed - not_run, \
        failed, not_run
