"""The HTML report: self-contained, and rendered by a real browser without
console errors into a page that is not blank."""

from __future__ import annotations

import re
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from browser import inked_share, render
from conftest import POLICY, SCHEMA
from test_analysis import _ONE_RULE as ANALYSIS_ONE_RULE
from test_analysis import _SPLIT as ANALYSIS_SPLIT
from kavro._command.main import main
from replay_logs import NEW_POLICY, clean_requests

# Anything that would make the page fetch or run something.
EXTERNAL = re.compile(r"<script|<link|<img|<iframe|\bsrc=|\bhref=|url\(|@import|"
                      r"https?://(?!www\.w3\.org/2000/svg\")", re.I)


@pytest.fixture(scope="module")
def reports(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("reports")
    for name, text in {"schema.yaml": SCHEMA, "old.yaml": POLICY, "new.yaml": NEW_POLICY}.items():
        (folder / name).write_text(text)
    requests = clean_requests(2000)
    pq.write_table(pa.Table.from_pylist(requests), folder / "log.parquet")
    # No maintenance in the replayed log: its rule is never hit.
    quiet = [{**row, "snapshot": {"maintenance": False}} for row in requests]
    pq.write_table(pa.Table.from_pylist(quiet), folder / "quiet.parquet")
    docs = ["--schema", str(folder / "schema.yaml"), "--policy", str(folder / "old.yaml")]
    pages = {"replay": folder / "replay.html", "diff": folder / "diff.html"}
    assert main(["replay", *docs, str(folder / "quiet.parquet"), "--report",
                 str(pages["replay"])]) == 0
    assert main(["diff", *docs, "--against", str(folder / "new.yaml"),
                 str(folder / "log.parquet"), "--report", str(pages["diff"])]) == 0
    return pages


@pytest.mark.parametrize("kind, sections", [
    ("replay", ["Policy: effects", "Policy: hits per rule", "maintenance (never hit)"]),
    ("diff", ["What changed", "Most changed rules", "Changed requests",
              "Old policy: effects", "New policy: hits per rule"]),
])
def test_report_is_self_contained_with_its_sections(reports: dict[str, Path], kind: str,
                                                    sections: list[str]) -> None:
    page = reports[kind].read_text(encoding="utf-8")
    assert EXTERNAL.search(page) is None
    assert page.count("<svg") == page.count("<table") >= 2  # each chart beside its table
    for section in sections:
        assert section in page


def broken_page(folder: Path) -> Path:
    page = folder / "broken.html"
    page.write_text("<!DOCTYPE html><html><body><p>x</p>"
                    "<script>console.error('broken'); missing();</script></body></html>")
    return page


@pytest.mark.parametrize("kind", ["replay", "diff", "broken", "blank"])
def test_browser_renders_report_without_errors(reports: dict[str, Path], tmp_path: Path,
                                               kind: str) -> None:
    # The broken and blank pages show that both checks can fail.
    if kind == "broken":
        page = broken_page(tmp_path)
    elif kind == "blank":
        page = tmp_path / "blank.html"
        page.write_text("<!DOCTYPE html><html><body></body></html>")
    else:
        page = reports[kind]
    screenshot = tmp_path / f"{kind}.png"
    console = render(page, screenshot)
    inked = inked_share(screenshot)
    if kind == "broken":
        assert len(console) == 2 and "broken" in console[0]
    elif kind == "blank":
        assert (console, inked) == ([], 0.0)
    else:
        assert console == []
        assert inked > 0.02, f"{kind}: only {inked:.2%} of the screenshot differs from white"


# kavro compare's page: the refactor that lets a refund without a role through,
# and strings that would break out of the page if they were not escaped.
_COMPARE_SCHEMA = """version: 1
actions:
  refund: { fields: { amount: number, note: string } }
actor: { fields: { role: string } }
snapshot: { fields: {} }
"""
# The same refactor as the analysis tests, from the document's first line.
_ONE_RULE = ANALYSIS_ONE_RULE.lstrip()
_SPLIT = ANALYSIS_SPLIT.lstrip()
_HOSTILE = """version: 1
rules:
  - id: "<script>alert(1)</script>"
    scope: { action: refund }
    when: { subject: [action, note], operator: equals,
            value: { literal: "</pre><img alt=x onerror=alert(2)>&amp;" } }
    effect: allow
""" + _ONE_RULE.split("rules:\n")[1]


@pytest.fixture(scope="module")
def compare_reports(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("compare")
    for name, text in {"schema.yaml": _COMPARE_SCHEMA, "old.yaml": _ONE_RULE,
                       "split.yaml": _SPLIT, "hostile.yaml": _HOSTILE}.items():
        (folder / name).write_text(text)
    # Two refunds without a role over 1000 fall in the region; the others do not.
    (folder / "log.jsonl").write_text("".join(f'{{"action": {{"type": "refund", '
                                              f'"amount": {amount}}}{role}}}\n'
                                              for amount, role in [
                                                  (5000, ""), (1500, ""), (10, ""),
                                                  (5000, ', "actor": {"role": "clerk"}')]))
    pages = {}
    for kind, new, extra in [("split", "split.yaml", ["--log", str(folder / "log.jsonl")]),
                             ("hostile", "hostile.yaml", []), ("same", "old.yaml", [])]:
        pages[kind] = folder / f"{kind}.html"
        assert main(["compare", "--schema", str(folder / "schema.yaml"), str(folder / "old.yaml"),
                     str(folder / new), "--report", str(pages[kind]), *extra]) == 0
    return pages


@pytest.mark.parametrize("kind, shown, absent", [
    ("split", ["1 region decided differently", "How the decisions move",
               "1. action refund: block by large-refunds at ", "old.yaml:3:5 (action refund "
               "rule #1) -&gt; allow [2 logged]", "toward allow", "actor.role",
               "absent or not a string", "(1000, inf]", "logged requests",
               'witness: {&quot;action&quot;: {&quot;amount&quot;: 1001, &quot;type&quot;: '
               '&quot;refund&quot;}}'], []),
    ("hostile", ["&lt;script&gt;alert(1)&lt;/script&gt;",
                 "&quot;&lt;/pre&gt;&lt;img alt=x onerror=alert(2)&gt;&amp;amp;&quot;"],
     ["<script", "<img", "[2 logged]"]),
    ("same", ["equivalent over all requests"], ["Regions decided differently", "<svg"]),
])
def test_compare_report_shows_the_regions_escaped(compare_reports: dict[str, Path], kind: str,
                                                   shown: list[str], absent: list[str]) -> None:
    page = compare_reports[kind].read_text(encoding="utf-8")
    assert EXTERNAL.search(page) is None
    for text in shown:
        assert text in page
    for text in absent:
        assert text not in page


@pytest.mark.parametrize("kind", ["split", "hostile"])
def test_browser_renders_compare_report_without_errors(compare_reports: dict[str, Path],
                                                       tmp_path: Path, kind: str) -> None:
    screenshot = tmp_path / f"{kind}.png"
    assert render(compare_reports[kind], screenshot) == []
    assert inked_share(screenshot) > 0.02
