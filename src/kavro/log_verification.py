"""Verifying a decision log: every line re-decided by the policy whose hash it names.

A line is verified when that policy decides its request as the line says. A line whose
decision differs (tampered, or attributed to the wrong policy), whose hash names no policy
at hand, or that is not a decision line at all is a problem. A line with masked fields
cannot be re-decided exactly: it is counted apart, never as verified.
"""

from __future__ import annotations

import json
import os
from collections import Counter
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Literal

from kavro._kavro import PolicyError, PyKavro
from kavro.decision_log import REQUEST_PARTS

__all__ = ["LineProblem", "VerificationReport", "verify_decision_lines", "archived_engines"]

_PROBLEMS_KEPT = 100


@dataclass(frozen=True)
class LineProblem:
    line: int  # 1-based, in the order the lines were given
    kind: Literal["mismatch", "unknown-policy", "unreadable"]
    detail: str
    decision_id: str | None = None
    source: str | None = None  # the log file, where several were read


@dataclass
class VerificationReport:
    lines: int = 0
    verified: int = 0
    masked: int = 0
    problem_count: int = 0
    problems: list[LineProblem] = field(default_factory=list)  # the first 100
    by_policy: Counter[str] = field(default_factory=Counter)  # lines per policy hash

    @property
    def ok(self) -> bool:
        return self.problem_count == 0

    def add(self, problem: LineProblem) -> None:
        self.problem_count += 1
        if len(self.problems) < _PROBLEMS_KEPT:
            self.problems.append(problem)


def verify_decision_lines(lines: Iterable[str | bytes],
                          engines: Mapping[str, PyKavro]) -> VerificationReport:
    """Re-decides each decision line with `engines[line's policy_hash]`."""
    report = VerificationReport()
    for number, text in enumerate(lines, start=1):
        if not text.strip():
            continue
        report.lines += 1
        problem = _check_line(number, text, engines, report)
        if problem is not None:
            report.add(problem)
    return report


def _check_line(number: int, text: str | bytes, engines: Mapping[str, PyKavro],
                report: VerificationReport) -> LineProblem | None:
    try:
        line = json.loads(text)
    except (ValueError, RecursionError) as error:
        return LineProblem(number, "unreadable", f"not JSON: {error}")
    if not isinstance(line, dict) or not isinstance(line.get("policy_hash"), str) \
            or "effect" not in line or "matched_rule" not in line:
        return LineProblem(number, "unreadable",
                           "not a decision line (policy_hash, effect and matched_rule needed)")
    decision_id = line.get("decision_id")
    decision_id = decision_id if isinstance(decision_id, str) else None
    policy_hash = line["policy_hash"]
    report.by_policy[policy_hash] += 1
    engine = engines.get(policy_hash)
    if engine is None:
        return LineProblem(number, "unknown-policy",
                           f"no policy with hash {policy_hash} was given", decision_id)
    if line.get("masked"):
        report.masked += 1
        return None
    request = {part: line[part] for part in REQUEST_PARTS if part in line}
    try:
        decided = engine.evaluate(request)
    except (TypeError, ValueError, RecursionError) as error:
        return LineProblem(number, "unreadable", f"the request is refused: {error}", decision_id)
    logged = (line["effect"], line["matched_rule"])
    if (decided["effect"], decided["matched_rule"]) != logged:
        return LineProblem(
            number, "mismatch",
            f"logged {_said(*logged)}, but policy {policy_hash[:12]} decides "
            f"{_said(decided['effect'], decided['matched_rule'])}", decision_id)
    report.verified += 1
    return None


def _said(effect: object, rule: object) -> str:
    return f"{effect} (no rule)" if rule is None else f"{effect} (rule {rule!r})"


def archived_engines(folder: str | os.PathLike[str]) -> dict[str, PyKavro]:
    """The policies a store archived, by hash: each `<hash>/` holds `schema.yaml`,
    `policy.yaml` and maybe `governance.yaml`. A folder whose documents no longer build to
    its name is refused, so that a renamed or edited archive cannot vouch for a log."""
    engines: dict[str, PyKavro] = {}
    for version in sorted(Path(folder).iterdir()):
        if not (version / "policy.yaml").is_file():
            continue
        governance = version / "governance.yaml"
        try:
            engine = PyKavro((version / "schema.yaml").read_text(encoding="utf-8"),
                             (version / "policy.yaml").read_text(encoding="utf-8"),
                             governance.read_text(encoding="utf-8")
                             if governance.is_file() else None)
        except (OSError, UnicodeDecodeError, PolicyError) as error:
            raise ValueError(f"{version}: the archived documents do not build: {error}") from None
        if engine.policy_hash() != version.name:
            raise ValueError(f"{version}: the documents build to policy hash "
                             f"{engine.policy_hash()}, not to the folder's name")
        engines[version.name] = engine
    return engines
