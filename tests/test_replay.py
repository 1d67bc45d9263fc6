"""`kavro replay` and `kavro diff`: every decision agrees with evaluate, on
local threads and on a cluster of two worker processes; messy rows are
neither lost nor coerced; errors are one line."""

from __future__ import annotations

import json
import subprocess
import sys
from collections import Counter
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from conftest import POLICY, SCHEMA
from kavro import PyKavro
from kavro._command.main import main
from kavro._replay import deciding, logs, running
from kavro._replay.json_columns import json_lines_table
from replay_logs import NEW_POLICY, clean_requests, expected, messy_log, request_id


@pytest.fixture
def files(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.chdir(tmp_path)
    # Small partitions, so that a small log spans many and row numbers cross them.
    monkeypatch.setattr(logs, "PART_BYTES", 2048)
    monkeypatch.setattr(logs, "_BLOCK", 512)
    # Rows decided a few at a time, so that refusals fall on both sides of the cuts.
    monkeypatch.setattr(deciding, "_CHUNK", 7)
    # A cluster's tasks take several partitions even of these small logs.
    monkeypatch.setattr(running, "_TASKS_PER_THREAD", 1)
    for name, text in {"schema.yaml": SCHEMA, "old.yaml": POLICY, "new.yaml": NEW_POLICY}.items():
        (tmp_path / name).write_text(text)
    return tmp_path


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


DOCS = ["--schema", "schema.yaml", "--policy", "old.yaml"]
SCHEDULERS = ["local", "cluster"]


def scheduler_args(which: str, request: pytest.FixtureRequest) -> list[str]:
    return [] if which == "local" else ["--scheduler", request.getfixturevalue("cluster")]


def replay_agrees_with_evaluate(capsys: pytest.CaptureFixture[str], lines: list[str],
                                *argv: str) -> None:
    """Replays log.jsonl (`lines`) and checks every row's decision, row number
    and request id in --out, and the summary's counts, against evaluate."""
    status, out, _ = run(capsys, "replay", *DOCS, "log.jsonl", "--skip-bad-rows", "--out",
                         "out.parquet", "--format", "json", *argv)
    assert status == 0
    engine = PyKavro(SCHEMA, POLICY)
    want = {number: expected(engine, line) for number, line in enumerate(lines, 1) if line}
    written = pq.read_table("out.parquet").to_pylist()
    assert {row["row"]: {"effect": row["effect"], "matched_rule": row["matched_rule"]}
            for row in written} == {number: got for number, got in want.items() if got}
    assert {row["row"]: row["request_id"] for row in written} == {
        number: request_id(lines[number - 1]) for number, got in want.items() if got}
    summary = json.loads(out)
    refused = [number for number, got in want.items() if got is None]
    assert (summary["rows"], summary["refused"]) == (len(want), len(refused))
    assert [bad["row"] for bad in summary["refusals"]] == refused[:20]
    assert summary["effects"] == {effect: sum(got is not None and got["effect"] == effect
                                              for got in want.values())
                                  for effect in ("allow", "block", "require_approval")}


@pytest.mark.parametrize("which", SCHEDULERS)
def test_replay_of_a_messy_log_decides_every_row_as_evaluate(
        files: Path, capsys: pytest.CaptureFixture[str], request: pytest.FixtureRequest,
        which: str) -> None:
    lines = messy_log(files / "log.jsonl", 600)
    replay_agrees_with_evaluate(capsys, lines, *scheduler_args(which, request))


REFUND = '"action": {"type": "refund", "amount": %s}'


# Logs read as Arrow columns when that is exact (columns: True), and line by
# line when Arrow would read some line otherwise than json.loads.
@pytest.mark.parametrize("lines, columns", [
    pytest.param(['{"id": "a", %s, "actor": {"verified": false}}' % (REFUND % amount)
                  for amount in (1500, 700.5, 2, 1e3)], True, id="whole-and-fractional"),
    pytest.param(['{"id": %d, %s}' % (index, REFUND % amount) for index, amount in enumerate(
        ["9007199254740993", "1" + "0" * 30, "-0", "0.1000000000000000055511151231257827"])],
        True, id="long-numbers-int-ids"),
    pytest.param(["{%s}" % (REFUND % value) for value in ("1e3", "9" * 400, "9" * 400 + ".5")],
                 False, id="beyond-doubles"),
    pytest.param(['{"action": {"type": 7, "amount": 5000}}', '{"action": {}}', '{}',
                  '{"snapshot": {"maintenance": true}, "actor": {}}'], True,
                 id="odd-type-empty-parts"),
    pytest.param(['{"action": {"type": "refund", "amount": "1500"}}', "{%s}" % (REFUND % 1500)],
                 False, id="number-and-text"),
    pytest.param(["{%s}" % (REFUND % 1500), "{%s}" % (REFUND % "null")], False, id="null"),
    pytest.param(["{%s}" % (REFUND % value) for value in ("Inf", "-NaN", "Infinity")], False,
                 id="inf-nan"),
    pytest.param(["{%s}" % (REFUND % 1500), "{%s} {%s}" % (REFUND % 1, REFUND % 2)], False,
                 id="two-on-a-line"),
    pytest.param(['{"action": {"type": "refund",', '"amount": 5000}}',
                  "{%s} {%s}" % (REFUND % 1, REFUND % 2)], False, id="one-over-two-lines"),
    pytest.param(['{"action": {"type": "refund", "amount": 5000, "amount": 1}}',
                  '{"action": {"ty\\u0070e": "refund", "type": "other"}}'], False,
                 id="repeated-keys"),
    pytest.param(['{"actor": 5}', '{"actor": 6}'], False, id="part-not-a-map"),
    pytest.param(['{"actor": {"role": {"x": 1}}}', '{"actor": {"role": ["admin"]}}'], False,
                 id="nested-value"),
    pytest.param(['{"id": 1.5, %s}' % (REFUND % 5000)], False, id="fractional-id"),
    pytest.param(["{%s}" % (REFUND % 5000), '{"tags": %s, %s}' % (
        "[" * 100_000 + "]" * 100_000, REFUND % 5000)], False, id="deep-nesting"),
    pytest.param(["{%s}" % (REFUND % 5000), "", "{%s}" % (REFUND % 5)], False, id="blank-line"),
    pytest.param(['{"actor": {"role": "\\ud800"}}', '{"actor": {"role": "\\ud83d\\ude00"}}'],
                 False, id="surrogates"),
])
def test_json_lines_decide_as_evaluate_by_either_reading(
        files: Path, capsys: pytest.CaptureFixture[str], lines: list[str], columns: bool) -> None:
    data = "\n".join(lines).encode() + b"\n"
    (files / "log.jsonl").write_bytes(data)
    assert (json_lines_table(data, "id") is not None) == columns
    replay_agrees_with_evaluate(capsys, lines)


def test_a_bad_row_stops_replay_with_its_place(files: Path,
                                               capsys: pytest.CaptureFixture[str]) -> None:
    (files / "log.jsonl").write_text('{"action": {"type": "refund"}}\n\n'
                                     '{"actor": {"role": null}}\n{}\n')
    status, out, err = run(capsys, "replay", *DOCS, "log.jsonl")
    assert (status, out) == (1, "")
    assert err == ("kavro: error: log.jsonl:3: TypeError: Unsupported value type "
                   "(actor.role is null) (--skip-bad-rows counts such rows and goes on)\n")


@pytest.mark.parametrize("argv, status, replaced", [
    pytest.param(["replay", *DOCS, "--out", "target"], 1, False, id="replay-out-bad-row"),
    pytest.param(["diff", *DOCS, "--against", "new.yaml", "--out", "target"], 1, False,
                 id="diff-out-bad-row"),
    pytest.param(["replay", *DOCS, "--report", "target"], 1, False, id="report-bad-row"),
    pytest.param(["replay", *DOCS, "--out", "target", "--skip-bad-rows"], 0, True,
                 id="out-done"),
    pytest.param(["diff", *DOCS, "--against", "new.yaml", "--report", "target",
                  "--skip-bad-rows"], 0, True, id="report-done"),
])
def test_outputs_appear_whole_or_not_at_all(files: Path, capsys: pytest.CaptureFixture[str],
                                            argv: list[str], status: int,
                                            replaced: bool) -> None:
    # Many partitions decide and write before the bad row at the end stops the run.
    good = '{"action": {"type": "refund", "amount": 1500}, "actor": {"verified": false}}\n'
    (files / "log.jsonl").write_text(good * 400 + '{"actor": null}\n')
    (files / "target").write_bytes(b"earlier")
    before = sorted(path.name for path in files.iterdir())
    assert run(capsys, *argv, "log.jsonl")[0] == status
    assert sorted(path.name for path in files.iterdir()) == before
    written = (files / "target").read_bytes()
    assert (written != b"earlier") == replaced
    if replaced and "--out" in argv:
        assert pq.read_table(files / "target").num_rows == 400


@pytest.mark.parametrize("which", SCHEDULERS)
def test_diff_over_parquet_agrees_with_both_engines(
        files: Path, capsys: pytest.CaptureFixture[str], request: pytest.FixtureRequest,
        which: str) -> None:
    requests = clean_requests(3000)
    table = pa.Table.from_pylist([{"id": f"q{index}", **row} for index, row in enumerate(requests)])
    pq.write_table(table, "a.parquet", row_group_size=700)
    pq.write_table(table.slice(0, 500), "b.parquet", row_group_size=128)
    status, out, _ = run(capsys, "diff", *DOCS, "--against", "new.yaml", "*.parquet",
                         "--out", "changed.parquet", "--format", "json", "--sample", "2",
                         *scheduler_args(which, request))
    assert status == 0
    old, new = PyKavro(SCHEMA, POLICY), PyKavro(SCHEMA, NEW_POLICY)
    rows = [("a.parquet", index, row) for index, row in enumerate(requests)]
    rows += [("b.parquet", index, row) for index, row in enumerate(requests[:500])]
    changed, matrix = {}, Counter()
    for path, index, row in rows:
        before, after = old.evaluate(row), new.evaluate(row)
        matrix[before["effect"], after["effect"]] += 1
        if before != after:
            changed[path, index + 1] = (before["effect"], before["matched_rule"],
                                        after["effect"], after["matched_rule"], f"q{index}")
    written = pq.read_table("changed.parquet").to_pylist()
    assert {(row["file"], row["row"]): (row["old_effect"], row["old_matched_rule"],
                                        row["new_effect"], row["new_matched_rule"],
                                        row["request_id"]) for row in written} == changed
    summary = json.loads(out)
    assert summary["changed"] == len(changed) and summary["rows"] == len(rows)
    assert {(cell["old"], cell["new"]): cell["rows"] for cell in summary["matrix"]
            if cell["rows"]} == dict(matrix)
    assert (summary["old"]["policy_hash"], summary["new"]["policy_hash"]) == (
        old.policy_hash(), new.policy_hash())
    assert summary["new"]["never_hit"] == [] and "maintenance" not in summary["old"]["never_hit"]
    # A rule that decides the same rows with another effect is counted apart.
    kept = Counter(before[1] for before in changed.values() if before[1] == before[3])
    assert kept and {item["rule"]: item["rows"] for item in summary["new_effect"]} == kept
    first = min(changed)
    assert [(row["file"], row["row"], row["old"]["effect"], row["new"]["effect"])
            for row in summary["sample"]][:1] == [(*first, *changed[first][0:3:2])]


# How far apart two effects are: the sample of a diff shows the largest changes first.
STRICTNESS = {"allow": 0, "require_approval": 1, "block": 2}


@pytest.mark.parametrize("against, argv, status", [
    pytest.param("new.yaml", ["--fail-on-change"], 1, id="changed-fails"),
    pytest.param("new.yaml", [], 0, id="changed-passes-without-the-flag"),
    pytest.param("old.yaml", ["--fail-on-change"], 0, id="unchanged-passes"),
])
def test_diff_samples_the_largest_changes_first(files: Path, capsys: pytest.CaptureFixture[str],
                                                against: str, argv: list[str],
                                                status: int) -> None:
    requests = [
        {"action": {"type": "refund", "amount": 700}, "snapshot": {"maintenance": True}},
        {"action": {"type": "delete"}, "actor": {"role": "clerk"}},
        {"action": {"type": "refund", "amount": 700}},
        {"action": {"type": "refund", "amount": 100}, "actor": {"verified": False}},
    ] * 40  # over many partitions
    (files / "log.jsonl").write_text("".join(json.dumps(one) + "\n" for one in requests))
    result, out, _ = run(capsys, "diff", *DOCS, "--against", against, "log.jsonl",
                         "--sample", "6", "--format", "json", *argv)
    old, new = PyKavro(SCHEMA, POLICY), PyKavro(SCHEMA, (files / against).read_text())
    changes = [(-abs(STRICTNESS[before["effect"]] - STRICTNESS[after["effect"]]), row)
               for row, (before, after) in enumerate(
                   ((old.evaluate(one), new.evaluate(one)) for one in requests), 1)
               if before != after]
    assert result == status
    assert [row["row"] for row in json.loads(out)["sample"]] == [
        row for _, row in sorted(changes)[:6]]


def test_diff_traces_start_where_they_differ(files: Path,
                                             capsys: pytest.CaptureFixture[str]) -> None:
    (files / "log.jsonl").write_text('{"action": {"type": "refund", "amount": 700}}\n')
    lines = run(capsys, "diff", *DOCS, "--against", "new.yaml", "log.jsonl")[1].splitlines()
    start = lines.index("  log.jsonl:1: allow (by the default: no rule matched) -> "
                        "block (rule 'deny-large-refunds')")
    assert lines[start + 1:start + 3] == ["    alike for 1 trace line, then:",
                                          "    old: rule 'deny-large-refunds' (action): did not "
                                          "hold"]
    assert not any("action bucket" in line for line in lines[start:])


def test_diff_text_shows_hashes_matrix_rules_and_sample(files: Path,
                                                        capsys: pytest.CaptureFixture[str]) -> None:
    (files / "log.jsonl").write_text(
        '{"action": {"type": "refund", "amount": 700}}\n'
        '{"action": {"type": "refund", "amount": 100}, "actor": {"verified": false}}\n'
        '{"action": {"type": "refund", "amount": 100}}\n')
    status, out, _ = run(capsys, "diff", *DOCS, "--against", "new.yaml", "log.jsonl")
    assert status == 0
    lines = out.splitlines()
    assert f"old policy: {PyKavro(SCHEMA, POLICY).policy_hash()}  old.yaml" in lines
    assert "changed decisions: 2 of 3" in lines
    assert lines[lines.index("effects, old (rows) -> new (columns):") + 2].split() == [
        "allow", "1", "1", "1"]
    assert "  log.jsonl:1: allow (by the default: no rule matched) -> " \
           "block (rule 'deny-large-refunds')" in lines
    # Each sampled request comes with both traces.
    assert "    old:   action.amount greater_than 1000: found 700 -> did not hold" in lines
    assert "    new:   action.amount greater_than 500: found 700 -> held" in lines
    gained = lines[lines.index("rules that gained decisions:") + 1:
                   lines.index("rules that lost decisions:")]
    assert [line.split() for line in gained] == [["deny-large-refunds", "+1"], ["unverified", "+1"]]


@pytest.mark.parametrize("argv, message", [
    pytest.param(["absent.jsonl"], "cannot read log 'absent.jsonl': No such file or directory",
                 id="missing-file"),
    pytest.param(["nothing-*.jsonl"], "no log file matches 'nothing-*.jsonl'", id="empty-glob"),
    pytest.param(["dates.parquet"], "dates.parquet: column 'action.amount' has unsupported type "
                 "'date32'", id="column-type"),
    pytest.param(["log.jsonl", "--scheduler", "tcp://127.0.0.1:9"],
                 "cannot reach the Dask scheduler at 'tcp://127.0.0.1:9'", id="bad-address"),
])
def test_input_errors_are_one_line(files: Path, capsys: pytest.CaptureFixture[str],
                                   argv: list[str], message: str) -> None:
    (files / "log.jsonl").write_text("{}\n")
    pq.write_table(pa.table({"action.amount": pa.array([0], pa.date32())}), "dates.parquet")
    status, out, err = run(capsys, "replay", *DOCS, *argv)
    assert (status, out) == (2, "")
    assert err.startswith(f"kavro: error: {message}") and err.count("\n") == 1


def test_replay_text_lists_hits_and_never_hit_rules(files: Path,
                                                    capsys: pytest.CaptureFixture[str]) -> None:
    (files / "log.jsonl").write_text('{"action": {"type": "refund", "amount": 5000}}\n{}\n{}\n')
    status, out, _ = run(capsys, "replay", *DOCS, "log.jsonl")
    lines = out.splitlines()
    assert status == 0 and "rows: 3 read, 3 decided, 0 not requests (skipped)" in lines
    hits = lines[lines.index("hits per rule:") + 1:lines.index("hits per rule:") + 3]
    assert [line.split() for line in hits] == [["deny-large-refunds", "1"], ["(default)", "2"]]
    assert lines[-1] == "never hit: approve-deletions, maintenance"



@pytest.mark.parametrize("blocked", ["pyarrow", "yaml"])
def test_without_the_extra_replay_says_what_to_install(files: Path, blocked: str) -> None:
    (files / "log.jsonl").write_text("{}\n")
    script = (f"import sys; sys.modules[{blocked!r}] = None\n"
              "from kavro._command.main import main\n"
              "print(main(['replay', *sys.argv[1:]]))\n")
    result = subprocess.run([sys.executable, "-c", script, *DOCS, "log.jsonl"],
                            capture_output=True, text=True, check=True)
    assert (result.stdout, result.stderr) == ("2\n", (
        "kavro: error: kavro replay and diff read logs with pyarrow and policies' rule ids with "
        f"PyYAML; {blocked} is not installed: pip install 'kavro[replay]'\n"))


@pytest.mark.parametrize("address, valid", [
    ("tcp://10.0.0.5:8786", True),
    ("tls://scheduler.example.org:8786", True),
    ("ws://[::1]:8786", True),
    ("not a url", False),
    ("tcp://10.0.0.5", False),
    ("http://10.0.0.5:8786", False),
    ("tcp://user@10.0.0.5:8786", False),
    ("tcp://10.0.0.5:8786/path", False),
    ("tcp://[::1:8786", False),
])
def test_scheduler_addresses_checked_before_connecting(address: str, valid: bool) -> None:
    assert running._is_address(address) is valid
