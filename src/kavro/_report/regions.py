"""The report page of `kavro compare`: the answer, how the regions move
between effects, and each region with its constraints and witness."""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass
from html import escape

from kavro._kavro import EFFECTS
from kavro._report.charts import grid
from kavro._report.page import document, pair, table
from kavro.analysis import Comparison, Decision, Region

# A page with thousands of regions is no longer read: the rest are counted,
# and the JSON output has them all.
SHOWN_REGIONS = 200


@dataclass(frozen=True)
class ComparedPolicy:
    path: str
    policy_hash: str
    # The position ("old.yaml:3:5") of the rule that starts on a line.
    where: Callable[[int], str]


def compare_page(result: Comparison, old: ComparedPolicy, new: ComparedPolicy,
                 logged: list[int] | None = None, logs: list[str] | None = None) -> str:
    """The page; `logged` counts the requests of `logs` in each region."""
    body = ["<h1>kavro compare</h1>", _facts(result, old, new, logs)]
    if result.regions:
        body += _moves(result.regions, logged)
        body += _regions(result.regions, old, new, logged)
    return document("kavro compare", body)


def _answer(result: Comparison) -> str:
    count = len(result.regions)
    regions = f"{count:,} region{'' if count == 1 else 's'} decided differently"
    if result.status == "equivalent":
        return "equivalent over all requests"
    if result.status == "different":
        return regions
    return f"unknown ({result.reason}): {regions} found so far"


def _facts(result: Comparison, old: ComparedPolicy, new: ComparedPolicy,
           logs: list[str] | None) -> str:
    facts = [("Old policy", f"{escape(old.path)} <code>{escape(old.policy_hash)}</code>"),
             ("New policy", f"{escape(new.path)} <code>{escape(new.policy_hash)}</code>"),
             ("Answer", escape(_answer(result)))]
    if result.status == "unknown":
        facts.append(("Compared completely", escape(", ".join(result.checked) or "nothing")))
    if result.more_permissive:
        facts.append(("Toward allow", '<span class="looser">yes: some requests get a more '
                                      "permissive effect</span>"))
    if logs is not None:
        facts.append(("Logs", escape(", ".join(logs))))
    return "<dl>" + "".join(f"<dt>{name}</dt><dd>{value}</dd>" for name, value in facts) + \
        "</dl>"


def _moves(regions: list[Region], logged: list[int] | None) -> list[str]:
    """Regions (or, with a log, logged requests) per old and new effect."""
    counts: dict[tuple[str, str], int] = {}
    numbers: dict[tuple[str, str], int] = {}
    for index, region in enumerate(regions):
        move = (region.old.effect, region.new.effect)
        numbers[move] = numbers.get(move, 0) + 1
        counts[move] = counts.get(move, 0) + (1 if logged is None else logged[index])
    headings = ["old -> new", "regions"] + ([] if logged is None else ["logged requests"])
    rows = [([f"{a} -> {b}", f"{numbers[(a, b)]:,}"]
             + ([] if logged is None else [f"{counts[(a, b)]:,}"]), "")
            for a in EFFECTS for b in EFFECTS if (a, b) in numbers]
    what = "regions" if logged is None else "logged requests in the regions"
    return ["<h2>How the decisions move</h2>",
            f"<p>Rows: the old policy's effect; columns: the new one's; each square counts "
            f"{what}.</p>",
            pair(grid(list(EFFECTS), list(EFFECTS), counts), table(headings, rows))]


def _regions(regions: list[Region], old: ComparedPolicy, new: ComparedPolicy,
             logged: list[int] | None) -> list[str]:
    parts = ["<h2>Regions decided differently</h2>",
             "<p>Each region: the requests of its action whose fields meet the constraints "
             "(a field not listed may hold anything), and one witness request that both "
             "engines decided as shown.</p>"]
    for index, region in enumerate(regions[:SHOWN_REGIONS]):
        where = "requests of no action with rules" if region.action is None else \
            f"action {region.action}"
        weight = "" if logged is None else f" [{logged[index]:,} logged]"
        looser = ' <span class="looser">toward allow</span>' if region.more_permissive else ""
        rows = [([subject, constraint], "") for subject, constraint in
                region.constraints.items()] or [(["(any request of the action)", ""], "")]
        parts += [f"<h3>{index + 1}. {escape(where)}: {_decision(region.old, old)} -&gt; "
                  f"{_decision(region.new, new)}{escape(weight)}{looser}</h3>",
                  table(["field or comparison", "requests in the region"], rows, 2),
                  f"<pre>witness: {escape(json.dumps(region.witness, sort_keys=True))}</pre>"]
    if len(regions) > SHOWN_REGIONS:
        parts.append(f"<p>{len(regions) - SHOWN_REGIONS:,} more regions are not shown here; "
                     "<code>--format json</code> lists every one.</p>")
    return parts


def _decision(decision: Decision, policy: ComparedPolicy) -> str:
    return escape(decision.text(policy.where))
