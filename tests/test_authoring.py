"""What an author meets in the command: checks that fail on what changes a
decision, test cases checked against the schema, test discovery, hints under
the engine's messages, the project file, colour, request ids and merge keys."""

from __future__ import annotations

import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import pytest

from command_runs import DOCS, run
from conftest import POLICY, SCHEMA
from kavro._command.accepting import rule_extents
from kavro._command.hints import hint_for, schema_hint

# One rule condition dropped by a misspelt key, one rule id used twice.
SLOPPY = POLICY.replace("effect: block\n", "effect: block\n    unles: { x: 1 }\n", 1).replace(
    "id: maintenance", "id: approve-deletions")
DROPPED = "sloppy.yaml:7:5: error: unknown key 'unles' is ignored [unknown-key]"
TWICE = ("sloppy.yaml:12:5: error: rule id 'approve-deletions' is already used by rules[1] "
         "(line 8): "
         "results and governance filters cannot tell these rules apart [duplicate-rule-id]")


@pytest.fixture
def files(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "schema.yaml").write_text(SCHEMA)
    (tmp_path / "policy.yaml").write_text(POLICY)
    (tmp_path / "sloppy.yaml").write_text(SLOPPY)
    return tmp_path


def located(err: str) -> list[str]:
    return [line for line in err.splitlines() if line.startswith("sloppy.yaml:")]


@pytest.mark.parametrize("argv, edit, status, lines", [
    pytest.param([], None, 1, [DROPPED, TWICE], id="both-fail-by-default"),
    pytest.param(["--allow", "unknown-key"], None, 1,
                 [DROPPED.replace("error", "warning"), TWICE], id="allow-one-code"),
    pytest.param(["--allow", "unknown-key,duplicate-rule-id"], None, 0,
                 [DROPPED.replace("error", "warning"), TWICE.replace(": error", ": warning")],
                 id="allow-both-codes"),
    pytest.param(["--warn-only"], None, 0,
                 [DROPPED.replace("error", "warning"), TWICE.replace(": error", ": warning")],
                 id="warn-only"),
    pytest.param([], ("id: approve-deletions\n    scope: { global",
                      "id: approve-deletions  # kavro: allow duplicate-rule-id\n"
                      "    scope: { global"), 1,
                 [DROPPED, TWICE.replace(": error", ": warning")], id="annotated-rule"),
    pytest.param([], ("  - id: approve-deletions\n    scope: { global",
                      "  # kavro: allow duplicate-rule-id, unknown-key\n"
                      "  - id: approve-deletions\n    scope: { global"), 1,
                 [DROPPED, TWICE.replace(":12:", ":13:").replace(": error", ": warning")],
                 id="annotation-above-the-rule-covers-that-rule-only"),
])
def test_findings_that_change_decisions_fail_check(
        files: Path, capsys: pytest.CaptureFixture[str], argv: list[str],
        edit: tuple[str, str] | None, status: int, lines: list[str]) -> None:
    if edit is not None:
        (files / "sloppy.yaml").write_text(SLOPPY.replace(*edit))
    result, out, err = run(capsys, "check", "--schema", "schema.yaml", "--policy",
                           "sloppy.yaml", *argv)
    assert (result, located(err)) == (status, lines)
    assert (out == "ok: schema.yaml, sloppy.yaml\n") == (status == 0)
    closing = err.splitlines()[-1]
    assert closing.startswith(f"{len([line for line in lines if ': error:' in line])} error") == (
        status == 1)


def test_check_json_marks_the_failing_findings(files: Path,
                                               capsys: pytest.CaptureFixture[str]) -> None:
    status, out, _ = run(capsys, "check", "--schema", "schema.yaml", "--policy", "sloppy.yaml",
                         "--allow", "duplicate-rule-id", "--format", "json")
    report = json.loads(out)
    assert (status, report["ok"]) == (1, False)
    assert [(one["code"], one["fails"]) for one in report["findings"]
            if one["severity"] == "warning"] == [
        ("unknown-key", True), ("duplicate-rule-id", False)]


# Four first-draft mistakes in four rules: a misspelt field, a number written for text,
# a misspelt key, a misspelt action.
DRAFT = POLICY.replace("[action, amount]", "[action, amout]").replace(
    "literal: admin", "literal: 5").replace(
    "effect: require_approval\n", "effect: require_approval\n    unles: { x: 1 }\n") + """\
  - id: deletes
    scope: { action: delet }
    when: { subject: [actor, role], operator: equals, value: { literal: intern } }
    effect: block
"""


# Four mistakes of mixed kinds: a misspelt key that leaves the first rule unreadable, then
# a number written for text, a misspelt field and a misspelt operator in rules that read.
MIXED = POLICY.replace("effect: block\n", "efect: block\n", 1).replace(
    "literal: admin", "literal: 5").replace("[snapshot, maintenance]", "[snapshot, maintenace]") + """\
  - id: big-refunds
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_then, value: { literal: 10 } }
    effect: block
"""


# The same in the second language version, whose reader places a misspelt operator itself.
MIXED_V2 = """\
version: 2
default: allow
rules:
  - id: deny-large-refunds
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_then, value: { literal: 1000 } }
    effect: block
  - id: euro-only
    scope: { action: refund }
    when: { subject: [action, curency], operator: not_in, value: { literal: [EUR] } }
    effect: block
  - id: admins
    scope: { action: delete }
    when: { subject: [actor, role], operator: equals, value: { literal: admin } }
    efect: allow
  - id: maintenance
    scope: { global: true }
    when: { subject: [action, amount], operator: present }
    effect: block
"""


@pytest.mark.parametrize("draft, lines, closing, codes", [
    pytest.param(DRAFT, [
        "draft.yaml:5:31: error: unknown field 'amout' in domain 'action' "
        "(rule 'deny-large-refunds')",
        "draft.yaml:9:77: error: type mismatch: left is 'String', right is 'Number' "
        "(rule 'approve-deletions')",
        "draft.yaml:11:5: error: unknown key 'unles' is ignored [unknown-key]",
        "draft.yaml:17:22: error: unknown action 'delet' in scope (rule 'deletes')"],
        "4 errors, 0 warnings; ",
        ["unknown-field", "type-mismatch", "unknown-key", "unknown-action"], id="compile-errors"),
    pytest.param(MIXED, [
        "draft.yaml:3:5: error: rules[0]: missing field `effect`",
        "draft.yaml:6:5: error: unknown key 'efect' is ignored (did you mean 'effect'?) "
        "[unknown-key]",
        "draft.yaml:9:77: error: type mismatch: left is 'String', right is 'Number' "
        "(rule 'approve-deletions')",
        "draft.yaml:13:33: error: unknown field 'maintenace' in domain 'snapshot' "
        "(rule 'maintenance')",
        "draft.yaml:17:50: error: unknown operator 'greater_then' (rule 'big-refunds')"],
        "5 errors, 0 warnings; ",
        ["load-error", "unknown-key", "type-mismatch", "unknown-field", "unknown-operator"],
        id="reading-and-compile-errors"),
    pytest.param(MIXED_V2, [
        "draft.yaml:6:50: error: rules[0].when.operator: unknown operator 'greater_then': use "
        "greater_than",
        "draft.yaml:10:31: error: unknown field 'curency' in domain 'action' (rule 'euro-only')",
        "draft.yaml:12:5: error: rules[2]: missing field `effect`",
        "draft.yaml:15:5: error: unknown key 'efect' is ignored (did you mean 'effect'?) "
        "[unknown-key]",
        "draft.yaml:18:31: error: unknown field 'amount' in domain 'action' (rule 'maintenance')"],
        "5 errors, 0 warnings; ",
        ["load-error", "unknown-field", "load-error", "unknown-key", "unknown-field"],
        id="second-version"),
])
def test_every_mistake_in_one_run(files: Path, capsys: pytest.CaptureFixture[str], draft: str,
                                  lines: list[str], closing: str, codes: list[str]) -> None:
    (files / "draft.yaml").write_text(draft)
    status, _, err = run(capsys, "check", "--schema", "schema.yaml", "--policy", "draft.yaml")
    assert status == 1
    assert [line for line in err.splitlines() if line.startswith("draft.yaml:")] == lines
    assert err.splitlines()[-1].startswith(closing)
    report = json.loads(run(capsys, "check", "--schema", "schema.yaml", "--policy",
                            "draft.yaml", "--format", "json")[1])
    assert [error["code"] for error in report["errors"]] + [
        finding["code"] for finding in report["findings"] if finding["severity"] != "info"] \
        == codes


@pytest.mark.parametrize("text, extents", [
    pytest.param("version: 1\nrules:\n  - id: a\n    effect: block\n  - id: b\n", [
        range(3, 5), range(5, 6)], id="indented-items"),
    pytest.param("rules:\n- id: a\n  x: 1\n# about b\n- id: b\nversion: 1\n", [
        range(2, 4), range(4, 6)], id="comment-joins-the-next-rule-and-a-key-ends"),
    pytest.param("rules:\n  - id: a\n\n  # trailing note\n\nversion: 1\n", [range(2, 6)],
                 id="a-comment-after-a-blank-line-stays-in-the-rule"),
    pytest.param("rules: [{ id: a }]\n", [], id="flow-list"),
])
def test_rule_extents(text: str, extents: list[range]) -> None:
    assert rule_extents(text) == extents


STRICT_CASES = """\
schema: schema.yaml
policy: policy.yaml
cases:
  - name: a misspelt field cannot pass by the default
    request: { action: { type: refund, amout: 5000 }, actor: { role: clerk } }
    expect: { effect: allow }
  - name: an undeclared action
    request: { action: { type: refnd, amount: 5 } }
    expect: { effect: allow }
  - name: opted out
    request: { action: { type: refund, amout: 5000 } }
    expect: { effect: allow }
    strict: false
  - name: declared fields pass
    request: { action: { type: refund, amount: 5000 } }
    expect: { effect: block }
"""


def test_test_cases_are_checked_against_the_schema(files: Path,
                                                   capsys: pytest.CaptureFixture[str]) -> None:
    (files / "strict.test.yaml").write_text(STRICT_CASES)
    status, out, _ = run(capsys, "test", "strict.test.yaml", "--format", "json")
    cases = json.loads(out)["files"][0]["cases"]
    assert status == 1
    assert [(case["name"], case["passed"]) for case in cases] == [
        ("a misspelt field cannot pass by the default", False), ("an undeclared action", False),
        ("opted out", True), ("declared fields pass", True)]
    assert cases[0]["error"].startswith("the request does not match the schema: action.amout")
    assert "refnd" in cases[1]["error"]
    (files / "strict.test.yaml").write_text("strict: false\n" + STRICT_CASES)
    assert run(capsys, "test", "strict.test.yaml")[1].splitlines()[-1] == "4 passed, 0 failed"


def test_test_shows_the_documents_lint_warnings(files: Path,
                                                capsys: pytest.CaptureFixture[str]) -> None:
    # Two test files of the same documents: their findings are shown once.
    for name in ("sloppy.test.yaml", "again.test.yaml"):
        (files / name).write_text(STRICT_CASES.replace("policy.yaml", "sloppy.yaml"))
    status, out, _ = run(capsys, "test", "sloppy.test.yaml", "again.test.yaml", "--run",
                         "^declared")
    assert (status, out.splitlines()) == (0, [
        DROPPED.replace("error", "warning"), " 7 |     unles: { x: 1 }", "   |     ^",
        TWICE.replace(": error", ": warning"), " 12 |   - id: approve-deletions",
        "    |     ^", "2 passed, 0 failed"])


CASE = """\
  - name: {name}
    request: {{ action: {{ type: refund, amount: {amount} }} }}
    expect: {{ effect: {effect} }}
"""


def _test_file(*cases: tuple[str, int, str], policy: str = "policy.yaml") -> str:
    return f"schema: ../schema.yaml\npolicy: ../{policy}\ncases:\n" + "".join(
        CASE.format(name=name, amount=amount, effect=effect) for name, amount, effect in cases)


@pytest.mark.parametrize("argv, last_line, status", [
    pytest.param(["suite"], "3 passed, 1 failed", 1, id="directory-discovered"),
    pytest.param(["suite", "--run", "^small"], "2 passed, 0 failed", 0, id="run-pattern"),
    pytest.param(["suite/a.test.yaml", "--run", "large|wrong"], "1 passed, 1 failed", 1,
                 id="pattern-over-a-file"),
    pytest.param(["suite", "suite/a.test.yaml"], "3 passed, 1 failed", 1,
                 id="a-file-found-twice-runs-once"),
])
def test_test_discovers_files_and_chooses_cases(files: Path, capsys: pytest.CaptureFixture[str],
                                                argv: list[str], last_line: str,
                                                status: int) -> None:
    (files / "suite/deeper").mkdir(parents=True)
    (files / "suite/a.test.yaml").write_text(_test_file(
        ("small one", 5, "allow"), ("large one", 5000, "block"), ("wrong one", 5, "block")))
    (files / "suite/deeper/b.test.yaml").write_text(
        _test_file(("small two", 5, "allow")).replace("../", "../../"))
    (files / "suite/notes.yaml").write_text("not: a test file\n")
    result, out, _ = run(capsys, "test", *argv)
    assert (result, out.splitlines()[-1]) == (status, last_line)


def test_cases_of_documents_that_do_not_build_are_not_run(
        files: Path, capsys: pytest.CaptureFixture[str]) -> None:
    (files / "broken.yaml").write_text(POLICY.replace("literal: 1000", 'literal: "1000"'))
    (files / "suite").mkdir()
    (files / "suite/a.test.yaml").write_text(
        _test_file(("one", 5, "allow"), ("two", 5, "allow"), policy="broken.yaml"))
    (files / "suite/b.test.yaml").write_text(_test_file(("three", 5, "allow")))
    status, out, _ = run(capsys, "test", "suite")
    lines = out.splitlines()
    assert status == 1
    assert "documents did not build: 2 cases not run" in lines
    assert lines[-1] == "1 passed, 0 failed, 2 not run"
    report = json.loads(run(capsys, "test", "suite", "--format", "json")[1])
    assert (report["passed"], report["failed"], report["not_run"]) == (1, 0, 2)


@pytest.mark.parametrize("argv, message", [
    pytest.param(["test", "empty"], "no *.test.yaml files under 'empty'", id="empty-directory"),
    pytest.param(["test", "empty", "--run", "("], "--run '(' is not a regular expression: "
                 "missing ), unterminated subpattern at position 0", id="bad-pattern"),
])
def test_test_usage_errors(files: Path, capsys: pytest.CaptureFixture[str], argv: list[str],
                           message: str) -> None:
    (files / "empty").mkdir()
    assert run(capsys, *argv) == (2, "", f"kavro: error: {message}\n")


@pytest.mark.parametrize("message, first_hint", [
    pytest.param("version: invalid type: string \"1\", expected u32 at line 1 column 10",
                 "here the document needs a whole number from 0 to 4294967295, without quotes "
                 "(`version: 1`); it holds string \"1\"", id="u32"),
    pytest.param("version: invalid value: integer `4294967296`, expected u32",
                 "4294967296 is out of range: write a whole number from 0 to 4294967295",
                 id="u32-range"),
    pytest.param("type mismatch: left is 'Number', right is 'String'",
                 "the field compared is a number but the value compared with it is text",
                 id="type-mismatch"),
    pytest.param("governance validation failed: [GovernanceViolation { rule_id: \"x\", "
                 "message: \"y\" }]",
                 "the policy breaks the governance rules listed below, each with the policy "
                 "rule at fault: change those policy rules, or the governance rule if it is "
                 "wrong", id="governance"),
    pytest.param("rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 "
                 "column 5", "a scope is one of { action: refund }, { actor: <name> } or "
                 "{ global: true }", id="scope"),
    pytest.param("operator 'GreaterThan' not supported for type 'string'",
                 "`greater_than` does not apply to string fields: use an operator that does "
                 "(docs/language.md lists which operators apply to which field types)",
                 id="operator"),
    pytest.param("rules[0].scope: invalid type: sequence, expected struct RuleAst",
                 "here a mapping of keys is expected (RuleAst), not sequence", id="record"),
    pytest.param("rules[0]: missing field `effect` at line 3 column 5",
                 "this mapping needs the key `effect` (is it misspelt?)", id="missing"),
    pytest.param("unknown action 'refnd' in scope", None, id="no-hint"),
])
def test_hints_under_the_engine_messages(message: str, first_hint: str | None) -> None:
    hint = hint_for(message)
    assert (hint[0] if hint else None) == first_hint


@pytest.mark.parametrize("message, hint", [
    pytest.param("unknown action 'refnd' in scope", "did you mean 'refund'? (declared in the "
                 "schema)", id="action"),
    pytest.param("unknown field 'rol' in domain 'actor'", "did you mean 'role'? (declared in the "
                 "schema)", id="actor-field"),
    pytest.param("unknown field 'maintenace' in domain 'snapshot'", "did you mean 'maintenance'? "
                 "(declared in the schema)", id="snapshot-field"),
    pytest.param("unknown field 'amount' in domain 'action'", "the action of the rule's scope "
                 "declares no such field (is it misspelt?); a global rule reads actor and "
                 "snapshot fields only, even when every action declares the field",
                 id="action-field"),
    pytest.param("unknown field 'zzzzzzzz' in domain 'actor'", None, id="nothing-near"),
])
def test_names_the_schema_declares_are_suggested(message: str, hint: str | None) -> None:
    assert schema_hint(message, SCHEMA) == (() if hint is None else (hint,))


GLOBAL_REASON = ("the rule is global: a global rule is tried for every action, so it reads actor "
                 "and snapshot fields only, never action.amount; scope it to an action "
                 "({ action: <name> }) to read that action's fields")


# The rule's scope, read from the policy, says whose action fields are meant.
@pytest.mark.parametrize("message, path, hint", [
    pytest.param("unknown field 'amount' in domain 'action'", "rules[2].when.subject[1]",
                 GLOBAL_REASON, id="global-rule"),
    pytest.param("unknown field 'amout' in domain 'action'", "rules[0].when.subject[1]",
                 "did you mean 'amount'? (declared in the schema for action 'refund')",
                 id="the-scope-action-s-field"),
    pytest.param("unknown field 'amount' in domain 'action'", "rules[1].when.subject[1]",
                 "the schema declares no field 'amount' for action 'delete', the action of the "
                 "rule's scope", id="the-scope-action-declares-none-near"),
    pytest.param("unknown field 'amount' in domain 'action'", "rules[9].when", "the action of",
                 id="no-such-rule"),
    pytest.param("unknown field 'amount' in domain 'action'", None, "the action of",
                 id="no-path"),
])
def test_action_fields_are_judged_by_the_rule_s_scope(message: str, path: str | None,
                                                      hint: str | None) -> None:
    found = schema_hint(message, SCHEMA, POLICY, path)
    assert found[0].startswith(hint) if hint else found == ()


def test_hint_is_printed_under_the_unchanged_message(files: Path,
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    (files / "policy.yaml").write_text(POLICY.replace("literal: 1000", 'literal: "1000"'))
    _, _, err = run(capsys, "check", *DOCS)
    assert err.splitlines()[0] == ("policy.yaml:5:82: error: type mismatch: left is 'Number', "
                                   "right is 'String' (rule 'deny-large-refunds')")
    assert err.splitlines()[3:] == [
        "hint: the field compared is a number but the value compared with it is text",
        "hint: write a number without quotes, { literal: 100 }, or compare with a field of that "
        "type", "1 error, 0 warnings"]


@pytest.mark.parametrize("project, where, argv, out", [
    pytest.param(("kavro.toml", 'schema = "docs/schema.yaml"\npolicy = "docs/policy.yaml"\n'),
                 ".", ["check"], "ok: docs/schema.yaml, docs/policy.yaml", id="kavro-toml"),
    pytest.param(("pyproject.toml", '[project]\nname = "x"\n[tool.kavro]\n'
                  'schema = "docs/schema.yaml"\npolicy = "docs/policy.yaml"\n'),
                 "docs", ["check"], "ok: schema.yaml, policy.yaml", id="pyproject-from-below"),
    pytest.param(("kavro.toml", 'schema = "docs/schema.yaml"\npolicy = "docs/nothing.yaml"\n'),
                 ".", ["check", "--policy", "docs/policy.yaml"],
                 "ok: docs/schema.yaml, docs/policy.yaml", id="flag-wins"),
    pytest.param(("kavro.toml", 'tests = "docs"\n'), ".", ["test"], "1 passed, 0 failed",
                 id="tests"),
])
def test_project_file_names_the_documents(files: Path, capsys: pytest.CaptureFixture[str],
                                          monkeypatch: pytest.MonkeyPatch,
                                          project: tuple[str, str], where: str,
                                          argv: list[str], out: str) -> None:
    (files / "docs").mkdir()
    for name in ("schema.yaml", "policy.yaml"):
        (files / name).rename(files / "docs" / name)
    (files / "docs/one.test.yaml").write_text(
        _test_file(("small", 5, "allow")).replace("../", ""))
    (files / project[0]).write_text(project[1])
    monkeypatch.chdir(files / where)
    status, printed, err = run(capsys, *argv)
    assert (status, printed.splitlines()[-1], err) == (0, out, "")


@pytest.mark.parametrize("text, message", [
    pytest.param("", "the following arguments are required: --schema, --policy (or a "
                 "kavro.toml naming the documents; see 'kavro check --help')", id="no-documents"),
    pytest.param("schema = 1\npolicy = 'p'\n", "kavro.toml: `schema` must be the path of the "
                 "schema document", id="not-a-path"),
    pytest.param("shema = 'p'\n", "kavro.toml: unknown key 'shema'; expected schema, policy, "
                 "governance, tests", id="unknown-key"),
    pytest.param("schema = \n", "kavro.toml: not TOML: Invalid value (at line 1, column 10)",
                 id="not-toml"),
])
def test_project_file_errors(files: Path, capsys: pytest.CaptureFixture[str], text: str,
                             message: str) -> None:
    (files / "kavro.toml").write_text(text)
    assert run(capsys, "check") == (2, "", f"kavro: error: {message}\n")


def _on_a_terminal(files: Path, environment: dict[str, str]) -> bytes:
    """The output of `kavro check` on sloppy.yaml run with a pseudo-terminal as its output."""
    leader, follower = pty.openpty()
    process = subprocess.Popen(
        [sys.executable, "-m", "kavro", "check", "--schema", "schema.yaml", "--policy",
         "sloppy.yaml", "--allow", "unknown-key,duplicate-rule-id"],
        stdout=follower, stderr=follower, cwd=files,
        env={**{key: value for key, value in os.environ.items() if key != "NO_COLOR"},
             **environment})
    os.close(follower)
    output = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the other end closed
            break
        if not chunk:
            break
        output += chunk
    process.wait()
    os.close(leader)
    return output


@pytest.mark.parametrize("environment, coloured", [
    pytest.param({"TERM": "xterm"}, True, id="terminal"),
    pytest.param({"TERM": "xterm", "NO_COLOR": "1"}, False, id="no-color"),
    pytest.param({"TERM": "dumb"}, False, id="dumb-terminal"),
])
def test_colour_on_a_terminal_only(files: Path, environment: dict[str, str],
                                   coloured: bool) -> None:
    output = _on_a_terminal(files, environment)
    assert b"warning" in output and b"ok" in output
    assert (b"\x1b[" in output) == coloured


def test_no_colour_when_piped(files: Path) -> None:
    result = subprocess.run([sys.executable, "-m", "kavro", "check", *DOCS],
                            capture_output=True, cwd=files, env={**os.environ, "TERM": "xterm"})
    assert result.stdout == b"ok: schema.yaml, policy.yaml\n"


@pytest.mark.parametrize("argv, lines", [
    pytest.param(["--strict", "--id-field", "id"], [
        {"id": "q1", "effect": "block", "matched_rule": "deny-large-refunds"},
        {"id": 2, "where": "requests:2", "error": "action.amont is not declared for the "
         "action 'refund' and no rule reads it (did you mean 'amount'?)"},
        {"effect": "allow", "matched_rule": None}], id="id-echoed-and-left-out"),
    pytest.param(["--id-field", "request_id"], [
        {"effect": "block", "matched_rule": "deny-large-refunds"},
        {"effect": "allow", "matched_rule": None},
        {"effect": "allow", "matched_rule": None}], id="other-key-not-echoed"),
])
def test_eval_id_field(files: Path, capsys: pytest.CaptureFixture[str], argv: list[str],
                       lines: list[object]) -> None:
    (files / "requests").write_text(
        '{"id": "q1", "action": {"type": "refund", "amount": 5000}}\n'
        '{"id": 2, "action": {"type": "refund", "amont": 5000}}\n'
        '{"action": {"type": "refund", "amount": 5}}\n')
    _, out, _ = run(capsys, "eval", *DOCS, "requests", "--format", "json", *argv)
    assert [json.loads(line) for line in out.splitlines()] == lines


MERGED = """\
schema: schema.yaml
policy: policy.yaml
cases:
  - name: base
    request: &large { action: { type: refund, amount: 5000 }, actor: { role: clerk } }
    expect: { effect: block }
  - name: merged and overridden
    request:
      <<: *large
      action: { type: refund, amount: 5 }
    expect: { effect: allow }
"""


@pytest.mark.parametrize("text, outcome", [
    pytest.param(MERGED, (0, "2 passed, 0 failed"), id="merged"),
    pytest.param(MERGED.replace("<<: *large", "<<: 5"),
                 (2, "kavro: error: merge.test.yaml:9:11: expected a mapping or list of "
                     "mappings for merging, but found scalar"), id="refused-at-load"),
])
def test_merge_keys_in_test_files(files: Path, capsys: pytest.CaptureFixture[str], text: str,
                                  outcome: tuple[int, str]) -> None:
    (files / "merge.test.yaml").write_text(text)
    status, out, err = run(capsys, "test", "merge.test.yaml")
    assert (status, (out or err).splitlines()[-1]) == outcome
