"""The report page: the run's numbers, then each chart beside its table."""

from __future__ import annotations

from html import escape

from kavro._decisions import describe_decision
from kavro._report.charts import COLOURS, DEFAULT, GAINED, LOST, bars, grid
from kavro._replay.summary import PolicyRun, Summary, rule_hits
from kavro._kavro import EFFECTS

_DEFAULT = "(default)"
_STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; margin: 2em auto; max-width: 1200px;
       color: #1b1b1b; background: #fff; padding: 0 1em; }
h1 { font-size: 1.6em; } h2 { font-size: 1.25em; margin-top: 2em; border-bottom: 1px solid #ddd; }
.pair { display: flex; flex-wrap: wrap; gap: 2em; align-items: flex-start; }
table { border-collapse: collapse; } td, th { padding: .2em .7em; border-bottom: 1px solid #eee; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.never td { color: #8a8a8a; font-style: italic; }
code, pre { font: 13px/1.4 ui-monospace, monospace; } pre { background: #f6f6f6; padding: .6em; }
svg text { font: 12px system-ui, sans-serif; fill: #1b1b1b; }
svg text.light { fill: #fff; } dl { display: grid; grid-template-columns: max-content 1fr; }
dt { font-weight: 600; padding-right: 1em; }
.looser { color: #c62828; font-weight: 600; }
"""


def report_page(summary: Summary, traces: list[tuple[list[str], list[str]]]) -> str:
    diff = summary.changes is not None
    title = "kavro diff" if diff else "kavro replay"
    body = [f"<h1>{title}</h1>", _facts(summary)]
    if diff:
        body += _changes(summary, traces)
        for heading, policy in zip(("Old policy", "New policy"), summary.policies):
            body += _policy(heading, policy, summary.decided)
    else:
        body += _policy("Policy", summary.policies[0], summary.decided)
    return document(title, body)


def document(title: str, body: list[str]) -> str:
    """The whole page around its parts: styles inline, nothing to fetch or run."""
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{escape(title)}</title><style>{_STYLE}</style></head><body>"
            + "\n".join(body) + "</body></html>\n")


def _facts(summary: Summary) -> str:
    facts = [("Logs", escape(", ".join(summary.logs))), ("Rows read", f"{summary.rows:,}"),
             ("Decided", f"{summary.decided:,}"),
             ("Not requests (skipped)", f"{summary.refused:,}")]
    names = ("Old policy", "New policy") if len(summary.policies) == 2 else ("Policy",)
    facts += [(name, f"{escape(policy.path)} <code>{policy.policy_hash}</code>")
              for name, policy in zip(names, summary.policies)]
    return "<dl>" + "".join(f"<dt>{name}</dt><dd>{value}</dd>" for name, value in facts) + "</dl>"


def table(headings: list[str], rows: list[tuple[list[str], str]], numbers_from: int = 1) -> str:
    """A table whose columns from `numbers_from` on are numbers; each row may carry a class."""
    head = "".join(f'<th{" class=n" if index >= numbers_from else ""}>{escape(text)}</th>'
                   for index, text in enumerate(headings))
    body = "".join(
        f'<tr{f" class={css}" if css else ""}>' + "".join(
            f'<td{" class=n" if index >= numbers_from else ""}>{escape(cell)}</td>'
            for index, cell in enumerate(cells)) + "</tr>" for cells, css in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def pair(chart: str, beside: str) -> str:
    return f'<div class="pair"><figure>{chart}</figure>{beside}</div>'


def _policy(heading: str, policy: PolicyRun, decided: int) -> list[str]:
    effects = [(effect, policy.tally.effects.get(effect, 0)) for effect in EFFECTS]
    shares = [([effect, f"{count:,}", f"{100 * count / decided if decided else 0:.1f}%"], "")
              for effect, count in effects]
    hits = [(_DEFAULT if rule is None else rule, count) for rule, count in rule_hits(policy)]
    never = policy.never_hit
    rule_rows = [([rule, f"{count:,}"], "") for rule, count in hits]
    rule_rows += [([f"{rule} (never hit)", "0"], "never") for rule in never]
    return [f"<h2>{escape(heading)}: effects</h2>",
            pair(bars(effects, COLOURS), table(["effect", "rows", "share"], shares)),
            f"<h2>{escape(heading)}: hits per rule</h2>",
            f"<p>{len(never)} of {len(policy.rule_ids)} rules never decided a request"
            " (dashed, and in grey in the table).</p>",
            pair(bars(hits + [(rule, 0) for rule in never], {_DEFAULT: DEFAULT},
                      muted=frozenset(never)),
                 table(["rule", "rows"], rule_rows))]


def _changes(summary: Summary, traces: list[tuple[list[str], list[str]]]) -> list[str]:
    changes = summary.changes
    assert changes is not None
    matrix_rows = [([f"{old} -> {new}", f"{changes.matrix.get((old, new), 0):,}"], "")
                   for old in EFFECTS for new in EFFECTS]
    moved = sorted({*changes.gained, *changes.lost, *changes.new_effect},
                   key=lambda rule: -(changes.gained[rule] + changes.lost[rule]
                                      + changes.new_effect[rule]))
    names = [_DEFAULT if rule is None else rule for rule in moved]
    # A green bar for the rows a rule took, red for those it gave up, grey for
    # those it still decides with another effect.
    signs = (("+", changes.gained, GAINED), ("\u2212", changes.lost, LOST),
             ("~", changes.new_effect, DEFAULT))
    moves = [(f"{name} {sign}", counts[rule]) for name, rule in zip(names, moved)
             for sign, counts, _ in signs if counts[rule]]
    colours = {f"{name} {sign}": colour for name in names for sign, _, colour in signs}
    moved_rows = [([name, _signed("+", changes.gained[rule]), _signed("\u2212", changes.lost[rule]),
                    _signed("~", changes.new_effect[rule])], "")
                  for name, rule in zip(names, moved)]
    moved_part = (pair(bars(moves[:40], colours),
                       table(["rule", "gained", "lost", "other effect"], moved_rows))
                  if moved else "<p>No rule took, gave up or changed a decision.</p>")
    parts = [f"<h2>What changed: {changes.changed:,} of {summary.decided:,} decisions</h2>",
             "<p>Rows: the old policy's effect; columns: the new one's. "
             "The outlined diagonal kept its effect.</p>",
             pair(grid(list(EFFECTS), list(EFFECTS), dict(changes.matrix)),
                  table(["old -> new", "rows"], matrix_rows)),
             "<h2>Most changed rules</h2>",
             "<p>Rules by the rows they took (green), gave up (red) and still decide with"
             " another effect (grey).</p>",
             moved_part]
    if summary.sample:
        parts.append("<h2>Changed requests</h2>")
    for (path, row), (old_trace, new_trace) in zip(summary.sample, traces):
        label = f"{path}:{row.row}" + (f" (id {row.request_id})" if row.request_id else "")
        parts.append(
            f"<h3>{escape(label)}: "
            f"{escape(describe_decision(row.old['effect'], row.old['matched_rule']))} -&gt; "
            f"{escape(describe_decision(row.new['effect'], row.new['matched_rule']))}</h3>"
            f"<pre>old policy:\n{escape(chr(10).join(old_trace))}\n\n"
            f"new policy:\n{escape(chr(10).join(new_trace))}</pre>")
    return parts


def _signed(sign: str, count: int) -> str:
    return f"{sign}{count:,}" if count else "0"
