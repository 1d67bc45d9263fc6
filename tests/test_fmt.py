"""`kavro fmt`: one layout, comments kept, idempotent, and never a change
the engine can see (the policy hash), over the examples and random policies."""

from __future__ import annotations

import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import POLICY, SCHEMA
from kavro import PyKavro
from kavro._command.fmt import formatted
from kavro._command.main import main
from kavro._command.usage import UsageError

pytest.importorskip("ruamel.yaml")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
COMMENT = re.compile(r"#.*$", re.M)

# Fields of the shared schema by scope and type, and literals written as an author might.
FIELDS = {
    "refund": {"number": [("action", "amount")],
               "string": [("action", "currency"), ("actor", "role")],
               "boolean": [("actor", "verified"), ("snapshot", "maintenance")]},
    "other": {"string": [("actor", "role")],
              "boolean": [("actor", "verified"), ("snapshot", "maintenance")]},
}
SCOPES = {"{ action: refund }": "refund", "{action: delete}": "other", "{ global: true }": "other"}
LITERALS = {"number": ["1000", "0x10", "1.50", "-5", "1e3", "+7", ".5"],
            "string": ["clerk", '"1000"', "'yes'", "yes", "0123", "on", '"a: b"', "Null text"],
            "boolean": ["true", "True", "FALSE"]}
OPERATORS = {"number": ["equals", "greater_than", "less_than"],
             "string": ["equals", "not_equals"], "boolean": ["equals", "not_equals"]}


def _atomic(rng: random.Random, scope: str) -> str:
    fields = FIELDS[SCOPES[scope]]
    kind = rng.choice(sorted(fields))
    domain, field = rng.choice(fields[kind])
    subject = rng.choice([f"[{domain}, {field}]", f"{{ domain: {domain}, field: {field} }}",
                          f"{{domain: {domain},field: {field}}}"])
    value = rng.choice(LITERALS[kind])
    return (f"{{ subject: {subject}, operator: {rng.choice(OPERATORS[kind])}, "
            f"value: {{ literal: {value} }} }}")


def random_policy(rng: random.Random) -> str:
    """A policy that builds against SCHEMA, in a layout chosen at random."""
    item_indent = rng.choice(["", "  ", "    "])
    inner = item_indent + "  "
    lines = ["# a policy", "version: 1", "rules:" + rng.choice(["", "  # the rules"])]
    for number in range(rng.randint(1, 6)):
        scope = rng.choice(sorted(SCOPES))
        conditions = [_atomic(rng, scope) for _ in range(rng.choice([1, 2, 3]))]
        lines.append(f"{item_indent}- id: rule-{number}" + rng.choice(["", "   # why"]))
        lines.append(f"{inner}scope: {scope}")
        if len(conditions) == 1:
            lines.append(f"{inner}when: {conditions[0]}")
        elif rng.random() < 0.5:
            lines.append(f"{inner}when: {{ {rng.choice(['all', 'any'])}: [ "
                         + ", ".join(conditions) + " ] }")
        else:
            lines.append(f"{inner}when:")
            lines.append(f"{inner}  {rng.choice(['all', 'any'])}:")
            lines += [f"{inner}    - {condition}" for condition in conditions]
        lines.append(f"{inner}effect: {rng.choice(['allow', 'block', 'require_approval'])}")
        if rng.random() < 0.3:
            lines.append(f"{item_indent}# between rules")
    return "\n".join(lines) + "\n"


def _comments(text: str) -> list[str]:
    return [found.group().strip() for found in COMMENT.finditer(text)]


def _assert_safe(schema: str, policy: str, governance: str | None = None) -> None:
    once = formatted(policy, "policy")
    assert formatted(once, "policy") == once
    assert _comments(once) == _comments(policy)
    assert (PyKavro(schema, once, governance).policy_hash()
            == PyKavro(schema, policy, governance).policy_hash())


@pytest.mark.parametrize("seed", range(60))
def test_random_policies_keep_their_hash(seed: int) -> None:
    _assert_safe(SCHEMA, random_policy(random.Random(seed)))


def test_every_example_keeps_its_hash() -> None:
    for folder in sorted({path.parent for path in EXAMPLES.rglob("policy.yaml")}):
        schema = (folder / "schema.yaml").read_text()
        governance_file = folder / "governance.yaml"
        governance = governance_file.read_text() if governance_file.exists() else None
        _assert_safe(schema, (folder / "policy.yaml").read_text(), governance)
        for document in (schema, governance):
            if document is not None:
                again = formatted(document, "document")
                assert formatted(again, "document") == again
                assert _comments(again) == _comments(document)


@pytest.mark.parametrize("text, layout", [
    pytest.param("version: 1\nrules:\n- id: a\n  scope: {action: refund}\n", (
        "version: 1\nrules:\n  - id: a\n    scope: {action: refund}\n"), id="items-indented"),
    pytest.param("version:    1   # v\nactor:\n      fields: {  role:   string }\n",
                 "version: 1      # v\nactor:\n  fields: {role: string}\n",
                 id="spacing-comments-keep-their-column"),
    pytest.param("a: { b: 1,\n     c: 2 }\nd: ~\n", "a: {b: 1, c: 2}\nd:\n",
                 id="flow-on-one-line"),
])
def test_layout(text: str, layout: str) -> None:
    assert formatted(text, "x") == layout


@pytest.mark.parametrize("text, message", [
    pytest.param("a: [\n",
                 "x:2:1: cannot format: expected the node content, but found '<stream end>'",
                 id="not-yaml"),
    pytest.param("a: 1\na: 2\n", "x:2:1: cannot format: found duplicate key \"a\" with value "
                 "\"2\" (original value: \"1\")", id="duplicate-key"),
])
def test_refusals(text: str, message: str) -> None:
    with pytest.raises(UsageError) as refused:
        formatted(text, "x")
    assert str(refused.value).splitlines()[0] == message


def test_command_check_and_write(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                 capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.chdir(tmp_path)
    sloppy = POLICY.replace("  - id", "- id").replace("    ", "  ")
    Path("policy.yaml").write_text(sloppy)
    Path("schema.yaml").write_text(formatted(SCHEMA, "schema"))
    assert main(["fmt", "--check", "policy.yaml", "schema.yaml"]) == 1
    assert capsys.readouterr().out == "would reformat policy.yaml\n"
    assert Path("policy.yaml").read_text() == sloppy
    assert main(["fmt", "policy.yaml", "schema.yaml"]) == 0
    assert capsys.readouterr().out == "reformatted policy.yaml\n"
    assert main(["fmt", "--check", "policy.yaml", "schema.yaml"]) == 0
    assert Path("policy.yaml").read_text() == formatted(sloppy, "p")


def test_without_ruamel(tmp_path: Path) -> None:
    (tmp_path / "p.yaml").write_text("a: 1\n")
    script = ("import sys; sys.modules['ruamel'] = None\n"
              "from kavro._command.main import main\nsys.exit(main(['fmt', 'p.yaml']))\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        2, "kavro: error: kavro fmt writes YAML with ruamel.yaml, which is not installed: "
           "pip install 'kavro[fmt]'\n")
