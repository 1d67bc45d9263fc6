"""`kavro test --coverage`: which rules the cases of a test file let decide and
which outcome of each comparison they saw; for a rule no case reaches, a
ready test case that does, found by kavro.analysis."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any

from kavro._command.test_run import FileRun
from kavro._decisions import describe_decision
from kavro.analysis import AnalysisRefused, Rule, compiled_rules, reaching_request


@dataclass
class Coverage:
    file: str
    covered: int = 0
    total: int = 0
    lines: list[str] = field(default_factory=list)
    missing: list[dict[str, Any]] = field(default_factory=list)

    @property
    def percent(self) -> float:
        return 100.0 if self.total == 0 else 100.0 * self.covered / self.total

    def as_json(self) -> dict[str, Any]:
        return {"file": self.file, "covered": self.covered, "total": self.total,
                "percent": round(self.percent, 1), "missing": self.missing}


def coverage_of(run: FileRun) -> Coverage | None:
    """None when the documents did not build."""
    engine = run.engine
    if engine is None:
        return None
    result = Coverage(str(run.test_file.path))
    decided: set[tuple[str, str | None, int]] = set()
    seen: dict[tuple[tuple[str, str | None, int], int], set[bool]] = {}
    for outcome in run.outcomes:
        if outcome.decision is None:
            continue
        explanation = engine.explain(outcome.case.request)
        numbers = {"action": 0, "global": 0}
        for traced in explanation["rules"]:
            scope: str = traced["scope"]
            place: tuple[str, str | None, int] = (scope, explanation["bucket"] if scope == "action" else None,
                     numbers[scope])
            numbers[scope] += 1
            if traced["held"]:
                decided.add(place)
            for index, compared in enumerate(traced["comparisons"]):
                seen.setdefault((place, index), set()).add(bool(compared["held"]))
    try:
        rules = [rule for rule in compiled_rules(engine) if rule.scope != "actor"]
    except AnalysisRefused as refused:
        result.lines.append(f"cannot analyse: {refused}")
        return result
    for rule in rules:
        rule_place = (rule.scope, rule.scope_name, rule.number)
        result.total += 1 + 2 * len(rule.members)
        if rule_place in decided:
            result.covered += 1
        else:
            _propose(engine, rule, result)
        for index, comparison in enumerate(rule.members):
            outcomes = seen.get((rule_place, index), set())
            result.covered += len(outcomes)
            for value in (True, False):
                if value not in outcomes:
                    result.lines.append(f"  {rule.place} '{rule.rule_id}': "
                                        f"{comparison.text()} never {'held' if value else 'failed'}")
                    result.missing.append({"rule_id": rule.rule_id, "place": rule.place,
                                           "comparison": comparison.text(), "held": value})
    return result


def _propose(engine: Any, rule: Rule, result: Coverage) -> None:
    request = reaching_request(engine, rule)
    missing: dict[str, Any] = {"rule_id": rule.rule_id, "place": rule.place, "decides": False,
                               "request": request}
    result.missing.append(missing)
    if request is None:
        result.lines.append(f"  {rule.place} '{rule.rule_id}' decides no case, and no request "
                            "reaches it")
        return
    expect = json.dumps({"effect": rule.effect, "matched_rule": rule.rule_id})
    result.lines += [
        f"  {rule.place} '{rule.rule_id}' decides no case; this one reaches it "
        f"({describe_decision(rule.effect, rule.rule_id)}):",
        f"    - name: reaches {rule.rule_id}",
        f"      request: {json.dumps(request, sort_keys=True)}",
        f"      expect: {expect}",
    ]


def coverage_lines(reports: list[Coverage]) -> list[str]:
    lines = []
    for report in reports:
        lines.append(f"coverage: {report.file}: {report.covered} of {report.total} "
                     f"({report.percent:.0f} %)")
        lines += report.lines
    return lines
