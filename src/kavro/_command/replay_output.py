"""The summary of `kavro replay` and `kavro diff` as printed text."""

from __future__ import annotations

from collections.abc import Iterable

from kavro._decisions import describe_decision
from kavro._replay.summary import PolicyRun, Summary, rule_hits
from kavro._kavro import EFFECTS

DEFAULT = "(default)"


def rule_name(rule: str | None) -> str:
    return DEFAULT if rule is None else rule


def text_summary(summary: Summary, traces: list[tuple[list[str], list[str]]]) -> list[str]:
    lines = [f"logs: {', '.join(summary.logs)}",
             f"rows: {summary.rows:,} read, {summary.decided:,} decided, "
             f"{summary.refused:,} not requests (skipped)"]
    lines += [f"  {path}:{row}: {message}" for path, row, message in summary.refusals]
    if summary.refused > len(summary.refusals):
        lines.append(f"  ... and {summary.refused - len(summary.refusals):,} more")
    if summary.changes is None:
        return lines + _policy_lines("policy", summary.policies[0], summary.decided)
    old, new = summary.policies
    changes = summary.changes
    lines += [f"old policy: {old.policy_hash}  {old.path}",
              f"new policy: {new.policy_hash}  {new.path}",
              f"changed decisions: {changes.changed:,} of {summary.decided:,}",
              "effects, old (rows) -> new (columns):"]
    width = max(map(len, EFFECTS)) + 2
    lines.append(" " * (width + 2) + "".join(f"{effect:>{width}}" for effect in EFFECTS))
    for before in EFFECTS:
        counts = "".join(f"{changes.matrix.get((before, after), 0):>{width},}"
                         for after in EFFECTS)
        lines.append(f"  {before:<{width}}{counts}")
    lines += _moves("rules that gained decisions:", changes.gained, "+")
    lines += _moves("rules that lost decisions:", changes.lost, "-")
    lines += _moves("rules that decide as before, with another effect:", changes.new_effect, "~")
    if summary.sample:
        lines.append(f"changed requests ({len(summary.sample)}, the largest changes of effect "
                     "first):")
    for (path, row), (old_trace, new_trace) in zip(summary.sample, traces):
        ident = f" (id {row.request_id})" if row.request_id is not None else ""
        lines.append(f"  {path}:{row.row}{ident}: "
                     f"{describe_decision(row.old['effect'], row.old['matched_rule'])} -> "
                     f"{describe_decision(row.new['effect'], row.new['matched_rule'])}")
        lines += diverging_traces(old_trace, new_trace)
    return lines


def diverging_traces(old: list[str], new: list[str]) -> list[str]:
    """The two traces from the first line where they differ, after a line
    counting the steps they share."""
    alike = 0
    while alike < min(len(old), len(new)) and old[alike] == new[alike]:
        alike += 1
    lines = [f"    alike for {alike} trace line{'' if alike == 1 else 's'}, then:"] if alike else []
    return (lines + ["    old: " + line for line in old[alike:]]
            + ["    new: " + line for line in new[alike:]])


def _policy_lines(title: str, policy: PolicyRun, decided: int) -> list[str]:
    lines = [f"{title}: {policy.policy_hash}  {policy.path}", "effects:"]
    for effect in EFFECTS:
        count = policy.tally.effects.get(effect, 0)
        share = 100 * count / decided if decided else 0.0
        lines.append(f"  {effect:<18}{count:>12,}  {share:5.1f}%")
    lines.append("hits per rule:")
    hits = rule_hits(policy)
    width = _name_width(rule for rule, _ in hits)
    described = policy.descriptions
    lines += [f"  {rule_name(rule):<{width}}{count:>12,}"
              + (f"  {described[rule]}" if rule is not None and rule in described else "")
              for rule, count in hits]
    never = policy.never_hit
    lines.append(f"never hit: {', '.join(never)}" if never else "never hit: none")
    return lines


def _moves(title: str, counts: dict[str | None, int], sign: str) -> list[str]:
    ranked = sorted(counts.items(), key=lambda item: (-item[1], rule_name(item[0])))
    width = _name_width(rule for rule, _ in ranked)
    return [title] + ([f"  {rule_name(rule):<{width}}{sign}{rows:,}" for rule, rows in ranked]
                      or ["  none"])


def _name_width(rules: Iterable[str | None]) -> int:
    """A column wide enough for every rule name, and at least 30."""
    return max([30, *(len(rule_name(rule)) + 2 for rule in rules)])
