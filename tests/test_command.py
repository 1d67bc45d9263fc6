"""The `kavro` command: exit statuses, diagnostics, eval streams and the test runner."""

from __future__ import annotations

import json
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from command_runs import DOCS, run
from conftest import POLICY, SCHEMA

GOVERNANCE = """\
version: 1
governance:
  rules:
    - id: no-allow
      select: { where: { effect: allow } }
      must: { forbid: true }
      error: no allow rules
"""
ALLOWING_POLICY = POLICY.replace("effect: require_approval", "effect: allow")
CONDITION_HINT = "hint: a condition has one of three shapes:"


@pytest.fixture
def files(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.chdir(tmp_path)
    for name, text in {"schema.yaml": SCHEMA, "policy.yaml": POLICY,
                       "governance.yaml": GOVERNANCE, "allowing.yaml": ALLOWING_POLICY}.items():
        (tmp_path / name).write_text(text)
    return tmp_path



@pytest.mark.parametrize("argv, message", [
    pytest.param([], "the following arguments are required: COMMAND (see 'kavro --help')",
                 id="no-command"),
    pytest.param(["lint"], "argument COMMAND: invalid choice: 'lint' (choose from 'check', "
                 "'eval', 'explain', 'hash', 'test', 'fmt', 'replay', 'diff', 'serve', "
                 "'compare') "
                 "(see 'kavro --help')",
                 id="unknown-command"),
    pytest.param(["check", "--schema", "schema.yaml"], "the following arguments are required: "
                 "--policy (or a kavro.toml naming the documents; see 'kavro check --help')",
                 id="missing-option"),
    pytest.param(["hash", *DOCS, "--format", "xml"], "argument --format: invalid choice: 'xml' "
                 "(choose from 'text', 'json') (see 'kavro hash --help')", id="bad-format"),
    pytest.param(["check", "--schema", "absent.yaml", "--policy", "policy.yaml"],
                 "cannot read schema 'absent.yaml': No such file or directory", id="no-schema"),
    pytest.param(["check", "--schema", "binary.yaml", "--policy", "policy.yaml"],
                 "cannot read schema 'binary.yaml': not UTF-8 text (byte 1)", id="not-utf8"),
    pytest.param(["eval", *DOCS, "absent.jsonl"],
                 "cannot read requests 'absent.jsonl': No such file or directory",
                 id="no-requests"),
    pytest.param(["eval", *DOCS, "broken.json"],
                 "broken.json:2:1: not JSON or JSON Lines: Expecting property name enclosed "
                 "in double quotes", id="broken-json"),
    pytest.param(["test", "absent.test.yaml"],
                 "cannot read test file 'absent.test.yaml': No such file or directory",
                 id="no-test-file"),
])
def test_usage_errors_are_one_line_with_status_2(files: Path, capsys: pytest.CaptureFixture[str],
                                                  argv: list[str], message: str) -> None:
    (files / "binary.yaml").write_bytes(b"v\xffrsion: 1")
    (files / "broken.json").write_text("{\n")
    assert run(capsys, *argv) == (2, "", f"kavro: error: {message}\n")


@pytest.mark.parametrize("schema, policy, governance, first_line, document", [
    pytest.param("version: 1\nactions: {}\nactor: { fields: { role: String } }\n", POLICY, None,
                 "bad.yaml:3:26: error: actor.fields.role: unknown variant `String`, expected one "
                 "of `string`, `number`, `boolean`", "schema", id="schema-reading"),
    pytest.param(SCHEMA, POLICY.replace("value: { literal: 1000 }", "value: 1000"), None,
                 "bad.yaml:3:5: error: rules[0]: data did not match any variant of untagged "
                 "enum ConditionAst", "policy", id="condition-shape"),
    pytest.param(SCHEMA, POLICY.replace("literal: 1000", 'literal: "1000"'), GOVERNANCE,
                 "bad.yaml:5:82: error: type mismatch: left is 'Number', right is 'String' "
                 "(rule 'deny-large-refunds')", "policy", id="compile-error-with-governance"),
    pytest.param(SCHEMA, POLICY.replace("effect: block", "effect: Block", 1), GOVERNANCE,
                 "bad.yaml:6:13: error: rules[0].effect: unknown variant `Block`, expected one of "
                 "`allow`, `block`, `require_approval`", "policy", id="policy-reading-with-gov"),
    pytest.param(SCHEMA, POLICY, GOVERNANCE.replace("error: no allow rules", ""),
                 "bad.yaml:4:7: error: governance.rules[0]: missing field `error`", "governance",
                 id="governance-reading"),
    pytest.param(SCHEMA, ALLOWING_POLICY, GOVERNANCE,
                 'bad.yaml:4:7: error: governance validation failed: [GovernanceViolation { '
                 'rule_id: "no-allow", message: "no allow rules" }]', "governance",
                 id="violation"),
])
def test_check_places_the_error(files: Path, capsys: pytest.CaptureFixture[str], schema: str,
                                policy: str, governance: str | None, first_line: str,
                                document: str) -> None:
    texts = {"schema": schema, "policy": policy, "governance": governance}
    argv = ["check"]
    for kind, text in texts.items():
        if text is not None:
            name = "bad.yaml" if kind == document else f"{kind}.yaml"
            (files / name).write_text(text)
            argv += [f"--{kind}", name]
    status, out, err = run(capsys, *argv)
    assert (status, out, err.splitlines()[0]) == (1, "", first_line)
    if ":" in first_line.split(": error")[0]:  # a place: the source line and a caret follow
        line, column = map(int, first_line.split(":")[1:3])
        source = texts[document].splitlines()[line - 1]  # type: ignore[union-attr]
        assert err.splitlines()[1:3] == [f" {line} | {source}",
                                         f" {' ' * len(str(line))} | {' ' * (column - 1)}^"]
    assert (CONDITION_HINT in err) == ("ConditionAst" in first_line)
    assert ("  bad.yaml:4:7: rule 'no-allow' demands forbid: true; found 1 rule selected: "
            "'approve-deletions': no allow rules" in err.splitlines()) == ("Violation" in first_line)
    status, out, _ = run(capsys, *argv, "--format", "json")
    error = json.loads(out)["errors"][0]
    assert (error["file"], error["document"]) == ("bad.yaml", document)


def test_check_and_hash_of_good_documents(files: Path, capsys: pytest.CaptureFixture[str]) -> None:
    from kavro import PyKavro
    digest = PyKavro(SCHEMA, POLICY).policy_hash()
    assert run(capsys, "check", *DOCS) == (0, "ok: schema.yaml, policy.yaml\n", "")
    assert run(capsys, "hash", *DOCS) == (0, f"{digest}\n", "")
    assert json.loads(run(capsys, "hash", *DOCS, "--format", "json")[1]) == {
        "policy_hash": digest, "compiler_version": "0.7.8"}


LARGE = {"action": {"type": "refund", "amount": 1500}}
SMALL = {"action": {"type": "refund", "amount": 5}}
BLOCK = {"effect": "block", "matched_rule": "deny-large-refunds"}
ALLOW = {"effect": "allow", "matched_rule": None}


@pytest.mark.parametrize("text, decisions, status", [
    pytest.param(f"{json.dumps(LARGE)}\n\n{json.dumps(SMALL)}\n", [BLOCK, ALLOW], 0,
                 id="json-lines"),
    pytest.param(json.dumps([LARGE, SMALL], indent=2), [BLOCK, ALLOW], 0, id="json-array"),
    pytest.param(json.dumps(LARGE, indent=2), [BLOCK], 0, id="one-pretty-request"),
    pytest.param(f"{json.dumps(LARGE)}\n{{oops\n[1]\n{json.dumps(SMALL)}\n",
                 [BLOCK, {"where": "requests:2",
                          "error": "not JSON: Expecting property name enclosed in double quotes "
                                   "at column 2"},
                  {"where": "requests:3", "error": "TypeError: argument 'input': 'list' object "
                                                   "cannot be converted to 'PyDict'"}, ALLOW],
                 1, id="bad-lines-keep-their-place"),
    pytest.param('{"actor": {"role": "x"}, "action": {"type": "refund", "amount": null}}',
                 [{"where": "requests:1",
                   "error": "TypeError: Unsupported value type (action.amount is null)"}],
                 1, id="refused-value-named"),
])
def test_eval_gives_one_line_per_request(files: Path, capsys: pytest.CaptureFixture[str],
                                         text: str, decisions: list[object],
                                         status: int) -> None:
    (files / "requests").write_text(text)
    result, out, err = run(capsys, "eval", *DOCS, "requests", "--format", "json")
    assert (result, [json.loads(line) for line in out.splitlines()], err) == (
        status, decisions, "")


TEST_FILE = """\
schema: schema.yaml
policy: policy.yaml
cases:
  - name: large
    request: { action: { type: refund, amount: 0x5dc } }
    expect: { effect: block, matched_rule: deny-large-refunds }
  - name: text is not a number
    request: { action: { type: refund, amount: "1500" } }
    expect: { effect: allow, matched_rule: null }
    strict: false
  - name: yes is not a boolean
    request: { snapshot: { maintenance: yes } }
    expect: { effect: allow }
    strict: false
  - name: wrong
    request: { action: { type: refund, amount: 5 } }
    expect: { effect: block }
"""


def test_test_reports_failures_and_junit(files: Path, capsys: pytest.CaptureFixture[str]) -> None:
    (files / "refunds.test.yaml").write_text(TEST_FILE)
    status, out, err = run(capsys, "test", "refunds.test.yaml", "--junit", "report.xml")
    assert (status, err) == (1, "")
    assert out.splitlines() == [
        "FAIL refunds.test.yaml:15: wrong", "  expected: block",
        "  got:      allow (by the default: no rule matched)", "  why:",
        "    action bucket: 'refund', then the global rules",
        "    rule 'deny-large-refunds' (action): did not hold",
        "      action.amount greater_than 1000: found 5 -> did not hold",
        "    rule 'maintenance' (global): did not hold",
        "      snapshot.maintenance equals true: found nothing (absent) -> did not hold",
        "    decision: allow (by the default: no rule matched)", "3 passed, 1 failed"]
    suite = ElementTree.parse(files / "report.xml").getroot()[0]
    assert (suite.get("tests"), suite.get("failures")) == ("4", "1")
    assert [case.find("failure") is not None for case in suite] == [False, False, False, True]
    report = json.loads(run(capsys, "test", "refunds.test.yaml", "--format", "json")[1])
    assert [case["passed"] for case in report["files"][0]["cases"]] == [True, True, True, False]


def test_test_of_documents_that_do_not_build(files: Path,
                                             capsys: pytest.CaptureFixture[str]) -> None:
    (files / "gov.test.yaml").write_text(
        TEST_FILE.replace("policy.yaml", "allowing.yaml\ngovernance: governance.yaml"))
    status, out, _ = run(capsys, "test", "gov.test.yaml")
    assert status == 1
    assert out.splitlines()[0].startswith("governance.yaml:4:7: error: governance validation "
                                          "failed")
    assert out.splitlines()[-2:] == ["documents did not build: 4 cases not run",
                                     "0 passed, 0 failed, 4 not run"]


@pytest.mark.parametrize("text, message", [
    pytest.param(TEST_FILE.replace("cases:", "case:"), "refunds.test.yaml: unknown key 'case' in "
                 "the test file; expected schema, policy, governance, strict, cases, properties",
                 id="unknown-key"),
    pytest.param(TEST_FILE.replace("effect: block }", "effect: deny }"), "refunds.test.yaml:15: "
                 "case 'wrong': `expect.effect` must be one of allow, block, require_approval, "
                 "not 'deny'", id="bad-effect"),
    pytest.param(TEST_FILE.replace("type: refund, amount: 5 }", "type: refund, type: x }"),
                 "refunds.test.yaml:16:40: key 'type' is written twice", id="duplicate-key"),
    pytest.param(TEST_FILE.replace("schema.yaml", "nowhere.yaml"), "cannot read schema "
                 "'nowhere.yaml': No such file or directory", id="missing-document"),
    pytest.param("cases: [\n", "refunds.test.yaml:2:1: expected the node content, but found "
                 "'<stream end>'", id="not-yaml"),
])
def test_test_file_errors(files: Path, capsys: pytest.CaptureFixture[str], text: str,
                          message: str) -> None:
    (files / "refunds.test.yaml").write_text(text)
    assert run(capsys, "test", "refunds.test.yaml") == (2, "", f"kavro: error: {message}\n")


def test_without_pyyaml_only_test_needs_it(files: Path) -> None:
    script = ("import sys; sys.modules['yaml'] = None\n"
              "from kavro._command.main import main\n"
              "print(main(['hash', *sys.argv[1:]]), main(['test', 'x.test.yaml']))\n")
    result = subprocess.run([sys.executable, "-c", script, *DOCS], capture_output=True,
                            text=True, check=True)
    assert result.stdout.splitlines()[-1] == "0 2"
    assert result.stderr == ("kavro: error: kavro test reads YAML test files with PyYAML, which "
                             "is not installed: pip install 'kavro[cli]'\n")


def test_python_dash_m_runs_the_command(files: Path) -> None:
    result = subprocess.run([sys.executable, "-m", "kavro", "check", *DOCS],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "ok: schema.yaml, policy.yaml\n")


def test_the_example_test_file_passes(capsys: pytest.CaptureFixture[str]) -> None:
    example = Path(__file__).resolve().parent.parent / "examples/expenses/expenses.test.yaml"
    status, out, _ = run(capsys, "test", str(example))
    assert (status, out.splitlines()[-1]) == (0, "9 passed, 0 failed")


def test_check_prints_error_and_warnings_with_places(files: Path,
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    (files / "bad.yaml").write_text(
        POLICY.replace("literal: 1000", 'literal: "1000"').replace(
            "effect: block\n", "effect: block\n    unless: x\n", 1).replace(
            "id: maintenance", "id: approve-deletions"))
    status, out, err = run(capsys, "check", "--schema", "schema.yaml", "--policy", "bad.yaml")
    assert (status, out) == (1, "")
    assert [line for line in err.splitlines() if line.startswith("bad.yaml:")] == [
        "bad.yaml:5:82: error: type mismatch: left is 'Number', right is 'String' "
        "(rule 'deny-large-refunds')",
        "bad.yaml:7:5: error: unknown key 'unless' is ignored [unknown-key]",
        "bad.yaml:12:5: error: rule id 'approve-deletions' is already used by rules[1] "
        "(line 8): "
        "results and governance filters cannot tell these rules apart [duplicate-rule-id]"]


@pytest.mark.parametrize("argv, status, lines", [
    pytest.param(["--strict"], 1, [], id="warning-fails-when-strict"),
    pytest.param([], 0, ["ok: schema.yaml, warned.yaml"], id="warning-passes"),
])
def test_check_strict(files: Path, capsys: pytest.CaptureFixture[str], argv: list[str],
                      status: int, lines: list[str]) -> None:
    (files / "warned.yaml").write_text(POLICY.replace("{ global: true }", "{ actor: intern }"))
    result, out, err = run(capsys, "check", "--schema", "schema.yaml", "--policy", "warned.yaml",
                           *argv)
    assert (result, out.splitlines()) == (status, lines)
    assert "warning: rule 'maintenance' is scoped to actor 'intern'" in err


EXPLAINED = '{"action": {"type": "refund", "amount": 5}, "actor": {"Role": "x"}}'


@pytest.mark.parametrize("argv, status, output", [
    pytest.param(["explain"], 0, "action bucket: 'refund', then the global rules\n"
                 "rule 'deny-large-refunds' (action): did not hold\n"
                 "  action.amount greater_than 1000: found 5 -> did not hold\n"
                 "rule 'maintenance' (global): did not hold\n"
                 "  snapshot.maintenance equals true: found nothing (absent) -> did not hold\n"
                 "decision: allow (by the default: no rule matched)\n", id="explain"),
    pytest.param(["eval", "--strict"], 1, "request.json:1: error: actor.Role is not declared for "
                 "the actor and no rule reads it (did you mean 'role'?)\n", id="eval-strict"),
    pytest.param(["eval"], 0, "allow (by the default: no rule matched)\n", id="eval-lenient"),
])
def test_explain_and_strict_eval(files: Path, capsys: pytest.CaptureFixture[str],
                                 argv: list[str], status: int, output: str) -> None:
    (files / "request.json").write_text(EXPLAINED)
    assert run(capsys, *argv, *DOCS, "request.json") == (status, output, "")
