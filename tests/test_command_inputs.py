"""The command facing inputs meant to break it: every one ends in one line
(exit 2, or 1 for a request or case that failed), never a traceback; it
writes no report over its inputs, no XML that does not parse, and shows
nothing of a file a test file names that is not a YAML mapping."""

from __future__ import annotations

import json
import xml.etree.ElementTree as ElementTree
from importlib.util import find_spec
from pathlib import Path

import pytest

from conftest import POLICY, SCHEMA
from kavro._command.main import main
from kavro._command.source import starts_as_mapping

DOCS = ["--schema", "schema.yaml", "--policy", "policy.yaml"]
HUGE = "1" * 5000
DEEP = "[" * 100_000 + "]" * 100_000
LARGE = '{"action": {"type": "refund", "amount": 1500}}'
BLOCKED = "{ action: { type: refund, amount: 1500 } }"
needs_pyarrow = pytest.mark.skipif(find_spec("pyarrow") is None, reason="replay needs pyarrow")


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def a_test_file(request: str, name: str = "case", schema: str = "schema.yaml") -> str:
    return (f"schema: {schema}\npolicy: policy.yaml\ncases:\n"
            f"  - name: {name}\n    request: {request}\n    expect: {{ effect: allow }}\n")


@pytest.fixture
def files(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "schema.yaml").write_text(SCHEMA)
    (tmp_path / "policy.yaml").write_text(POLICY)
    return tmp_path


@pytest.mark.parametrize("written, argv, status, output", [
    pytest.param({"r.json": f'{{"action": {{"amount": {HUGE}}}}}'}, ["eval", *DOCS, "r.json"],
                 2, "kavro: error: r.json: cannot read an integer of more than 4300 digits",
                 id="eval-long-integer"),
    pytest.param({"r.json": f'{{"action": {DEEP}}}'}, ["explain", *DOCS, "r.json"], 2,
                 "kavro: error: r.json: cannot read a value nested this deeply",
                 id="explain-deep-nesting"),
    pytest.param({"r.jsonl": f'{LARGE}\n{{"a": {HUGE}}}\n{{"a": {DEEP}}}\n{LARGE}\n'},
                 ["eval", *DOCS, "r.jsonl"], 1,
                 "block (rule 'deny-large-refunds')\n"
                 "r.jsonl:2: error: cannot read an integer of more than 4300 digits\n"
                 "r.jsonl:3: error: cannot read a value nested this deeply\n"
                 "block (rule 'deny-large-refunds')", id="eval-lines-go-on"),
    # Plain scalars are typed as policy literals; an explicit tag asks for an int.
    pytest.param({"t.test.yaml": a_test_file(f"{{ action: {{ amount: !!int {HUGE} }} }}")},
                 ["test", "t.test.yaml"], 2,
                 "kavro: error: t.test.yaml:5:34: cannot read this value as int",
                 id="test-long-integer"),
    pytest.param({"t.test.yaml": a_test_file(DEEP)}, ["test", "t.test.yaml"], 2,
                 "kavro: error: t.test.yaml: values nested too deeply to read",
                 id="test-deep-nesting"),
    pytest.param({"t.test.yaml": a_test_file("{ action: { ? [a, b] : 1 } }")},
                 ["test", "t.test.yaml"], 2, "kavro: error: t.test.yaml:5:28: a key must be a "
                 "single value, not a list or mapping", id="test-list-as-key"),
    pytest.param({"t.test.yaml": a_test_file("{ snapshot: { maintenance: !!bool maybe } }")},
                 ["test", "t.test.yaml"], 2,
                 "kavro: error: t.test.yaml:5:41: cannot read this value as bool",
                 id="test-tag-that-fails"),
    pytest.param({"t.test.yaml": a_test_file("{ action: !!set 3 }")}, ["test", "t.test.yaml"], 2,
                 "kavro: error: t.test.yaml:5:24: expected a mapping node, but found scalar",
                 id="test-set-of-a-scalar"),
    pytest.param({"t.test.yaml": a_test_file(BLOCKED, name='"\\ud800"')},
                 ["test", "t.test.yaml"], 1,
                 "FAIL t.test.yaml:4: \\ud800", id="test-surrogate-in-name"),
    pytest.param({}, ["check", "--schema", "/dev/zero", "--policy", "policy.yaml"], 2,
                 "kavro: error: cannot read schema '/dev/zero': not a regular file",
                 id="document-is-a-device"),
    pytest.param({"t.test.yaml": a_test_file("{}", schema="/dev/zero")}, ["test", "t.test.yaml"],
                 2, "kavro: error: cannot read schema '/dev/zero': not a regular file",
                 id="test-document-is-a-device"),
    pytest.param({}, ["eval", *DOCS, "/dev/zero"], 2,
                 "kavro: error: cannot read requests '/dev/zero': not a regular file",
                 id="requests-from-a-device"),
    pytest.param({"huge.yaml": ""}, ["hash", "--schema", "huge.yaml", "--policy", "policy.yaml"],
                 2, "kavro: error: cannot read schema 'huge.yaml': larger than 64 MiB",
                 id="document-too-large"),
    pytest.param({"huge.jsonl": f"{LARGE}\n"}, ["eval", *DOCS, "huge.jsonl"], 2,
                 "kavro: error: huge.jsonl:2: a line over 64 MiB", id="request-line-too-long"),
    pytest.param({"huge.json": "[\n"}, ["eval", *DOCS, "huge.json"], 2,
                 "kavro: error: huge.json: a JSON document over 64 MiB (JSON Lines are read a line "
                 "at a time, without a limit on their number)", id="request-document-too-large"),
    pytest.param({}, ["replay", *DOCS, "/dev/zero"], 2,
                 "kavro: error: cannot read log '/dev/zero': not a regular file",
                 id="log-is-a-device", marks=needs_pyarrow),
    pytest.param({}, ["replay", "--verify", *DOCS, "/dev/zero"], 2,
                 "kavro: error: cannot read log '/dev/zero': not a regular file",
                 id="decision-log-is-a-device", marks=needs_pyarrow),
    pytest.param({"log.jsonl": LARGE}, ["replay", *DOCS, "--scheduler", "not a url",
                                        "log.jsonl"], 2,
                 "kavro: error: --scheduler 'not a url' is not a scheduler's address "
                 "(such as tcp://10.0.0.5:8786)", id="scheduler-not-an-address",
                 marks=needs_pyarrow),
])
def test_hostile_inputs_end_in_one_line(files: Path, capsys: pytest.CaptureFixture[str],
                                        written: dict[str, str], argv: list[str],
                                        status: int, output: str) -> None:
    for name, text in written.items():
        with open(files / name, "w") as file:
            file.write(text)
            if name.startswith("huge."):
                # Grown past the limit on what is read (zero bytes, sparse on disk).
                file.truncate(65 << 20)
    result, out, err = run(capsys, *argv)
    shown = err if status == 2 else out
    assert result == status
    assert shown.splitlines()[:output.count("\n") + 1] == output.splitlines()
    assert err.count("\n") == (1 if status == 2 else 0)


CONTROL_NAMES = [
    pytest.param('"a\\x01b"', "a\\x01b", id="control"),
    pytest.param('"\\e[31mred"', "\\x1b[31mred", id="escape-sequence"),
    pytest.param('"lone \\ud800"', "lone \\ud800", id="surrogate"),
    pytest.param('"\\uFFFE"', "\\ufffe", id="not-a-character"),
    pytest.param('"tab\\tand line\\nbreak"', "tab\tand line\nbreak", id="allowed-kept"),
]


@pytest.mark.parametrize("name, written", CONTROL_NAMES)
def test_junit_report_parses_whatever_the_names(files: Path, capsys: pytest.CaptureFixture[str],
                                                name: str, written: str) -> None:
    (files / "t.test.yaml").write_text(a_test_file(BLOCKED, name=name))
    assert run(capsys, "test", "t.test.yaml", "--junit", "report.xml")[0] == 1
    case = ElementTree.parse(files / "report.xml").getroot()[0][0]
    failure = case.find("failure")
    assert case.get("name") == written
    assert failure is not None and failure.text is not None
    assert failure.get("message") == ("expected: allow; got: block (rule 'deny-large-refunds')")


@pytest.mark.parametrize("argv, message", [
    pytest.param(["test", "t.test.yaml", "--junit", "t.test.yaml"],
                 "--junit 't.test.yaml' would write over the input 't.test.yaml'",
                 id="junit-over-test-file"),
    pytest.param(["test", "t.test.yaml", "--junit", "sub/../policy.yaml"],
                 "--junit 'sub/../policy.yaml' would write over the input 'policy.yaml'",
                 id="junit-over-document"),
    pytest.param(["replay", *DOCS, "log.jsonl", "--out", "log.jsonl"],
                 "--out 'log.jsonl' would write over the input 'log.jsonl'",
                 id="out-over-log", marks=needs_pyarrow),
    pytest.param(["replay", *DOCS, "lo*.jsonl", "--out", "link.jsonl"],
                 "--out 'link.jsonl' would write over the input 'log.jsonl'",
                 id="out-over-log-by-link", marks=needs_pyarrow),
    pytest.param(["diff", *DOCS, "--against", "policy.yaml", "log.jsonl", "--report",
                  "./schema.yaml"], "--report 'schema.yaml' would write over the input "
                 "'schema.yaml'", id="report-over-schema", marks=needs_pyarrow),
    pytest.param(["replay", *DOCS, "log.jsonl", "--out", "x", "--report", "./x"],
                 "--report and --out name the same file 'x'", id="both-outputs-alike",
                 marks=needs_pyarrow),
])
def test_outputs_never_overwrite_inputs(files: Path, capsys: pytest.CaptureFixture[str],
                                        argv: list[str], message: str) -> None:
    (files / "t.test.yaml").write_text(a_test_file("{}"))
    (files / "log.jsonl").write_text(LARGE + "\n")
    (files / "sub").mkdir()
    (files / "link.jsonl").symlink_to("log.jsonl")
    before = {path.name: path.read_bytes() for path in files.iterdir() if path.is_file()}
    assert run(capsys, *argv) == (2, "", f"kavro: error: {message}\n")
    assert {path.name: path.read_bytes() for path in files.iterdir() if path.is_file()} == before


SECRET = "hunter2"


@pytest.mark.parametrize("document, shown", [
    pytest.param(f"root:x:0:0:{SECRET}:/root:/bin/bash\nbin:x:1:1::/:/bin/false\n", None,
                 id="passwd"),
    pytest.param(f"#!/bin/sh\nexport TOKEN={SECRET}\n", None, id="script-after-comment"),
    pytest.param(f"[database]\npassword = {SECRET}\n", None, id="ini"),
    pytest.param(f"- {SECRET}\n", None, id="list"),
    pytest.param(f"version: 1\nactions: {SECRET}\n",
                 f"schema.yaml:2:10: error: actions: invalid type: string \"{SECRET}\", "
                 "expected a map", id="yaml-mapping-shown"),
])
def test_a_test_file_shows_nothing_of_a_document_that_is_no_mapping(
        files: Path, capsys: pytest.CaptureFixture[str], document: str, shown: str | None) -> None:
    (files / "schema.yaml").write_text(document)
    (files / "t.test.yaml").write_text(a_test_file("{}"))
    status, out, _ = run(capsys, "test", "t.test.yaml")
    _, as_json, _ = run(capsys, "test", "t.test.yaml", "--format", "json")
    error = json.loads(as_json)["files"][0]["errors"][0]
    assert status == 1
    if shown is None:
        assert SECRET not in out + as_json
        assert out.splitlines()[0] == ("schema.yaml: error: not a schema document: it does not "
                                       "start as a YAML mapping (its content is not shown)")
        assert (error["line"], error["column"]) == (None, None)
    else:
        assert out.splitlines()[:2] == [shown, f" 2 | actions: {SECRET}"]


def test_documents_named_on_the_command_line_are_shown(files: Path,
                                                        capsys: pytest.CaptureFixture[str]) -> None:
    (files / "schema.yaml").write_text(f"#!/bin/sh\nexport TOKEN={SECRET}\n")
    status, _, err = run(capsys, "check", *DOCS)
    assert status == 1 and f" 2 | export TOKEN={SECRET}" in err.splitlines()


@pytest.mark.parametrize("text, mapping", [
    ("version: 1\n", True),
    ("# a comment\n\n%YAML 1.2\n---\n  version: 1\n", True),
    ('"version" : 1\n', True),
    ("{version: 1}", True),
    ("--- {version: 1}", True),
    ("---   \n...\nversion: 1\n", True),
    ("# only a comment\n", True),
    ("root:x:0:0:root:/root:/bin/bash\n", False),
    ("- version: 1\n", False),
    ("&anchor version: 1\n", False),
    ("text with: a colon later\n", False),
])
def test_what_starts_as_a_mapping(text: str, mapping: bool) -> None:
    assert starts_as_mapping(text) is mapping
