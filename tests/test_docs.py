"""Every example in docs/ is run, so the guide cannot drift from the engine.

Fenced blocks are read by their info string, `<language> [role] [file=NAME] [fails]`:
- `yaml schema|policy|governance` is written to <role>.yaml in the page's scratch directory
  and built with the page's latest other documents (a governance document alone is built
  with a policy without rules; policies after it on the page are checked against it);
- `yaml test` is a test file (file=NAME, default cases.test.yaml) that must pass;
- `python` blocks run in one namespace per page, in the scratch directory; `pycon` blocks are
  doctests in the same namespace;
- `console` blocks run each `$ kavro ...` line and compare its output with the lines below it;
- `fails` marks a block whose build must fail: the next block, a `text` block, holds the exact
  message. Other `text`, `json` and `xml` blocks are shown only (or written, with file=NAME).
- A block with file=NAME is written under that name and does not replace the page's document.
"""

from __future__ import annotations

import contextlib
import doctest
import io
import re
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

from kavro import PyKavro
from kavro._command.main import main

DOCS = Path(__file__).resolve().parent.parent / "docs"
FENCE = re.compile(r"^```(?P<info>[^`\n]*)\n(?P<body>.*?)^```[ \t]*$", re.M | re.S)
EMPTY_POLICY = "version: 1\nrules: []\n"
YAML_ROLES = ("schema", "policy", "governance", "test")
SHOWN_ONLY = ("text", "json", "xml")


@dataclass
class Block:
    line: int
    language: str
    words: list[str]
    body: str

    def option(self, name: str, default: str) -> str:
        return next((w.split("=", 1)[1] for w in self.words if w.startswith(f"{name}=")),
                    default)


@dataclass
class Page:
    path: Path
    scratch: Path
    documents: dict[str, str] = field(default_factory=dict)
    namespace: dict[str, Any] = field(default_factory=dict)

    def build(self, schema: str, policy: str, governance: str | None) -> str | None:
        try:
            PyKavro(schema, policy, governance)
        except ValueError as error:
            return str(error)
        return None


def read_blocks(page: Path) -> list[Block]:
    text = page.read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        language, *words = match["info"].split() or [""]
        blocks.append(Block(text.count("\n", 0, match.start()) + 1, language, words,
                            match["body"]))
    return blocks


def run_yaml(page: Page, block: Block) -> str | None:
    role = next((w for w in block.words if w in YAML_ROLES), None)
    assert role is not None, f"a yaml block needs one of the roles {YAML_ROLES}"
    name = block.option("file", "cases.test.yaml" if role == "test" else f"{role}.yaml")
    (page.scratch / name).write_text(block.body, encoding="utf-8")
    if role == "test":
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = main(["test", name])
        return None if status == 0 else out.getvalue().rstrip("\n")
    if name == f"{role}.yaml":
        page.documents[role] = block.body
    docs = page.documents
    if role == "schema":
        return page.build(block.body, EMPTY_POLICY, None)
    if role == "governance":
        return page.build(docs["schema"], EMPTY_POLICY, block.body)
    return page.build(docs["schema"], block.body, docs.get("governance"))


def run_console(block: Block) -> None:
    commands = re.split(r"^\$ ", block.body, flags=re.M)[1:]
    assert commands, "a console block holds `$ ` command lines"
    for command in commands:
        line, _, expected = command.partition("\n")
        assert "kavro " in line, line
        result = subprocess.run(
            ["bash", "-c", f'kavro() {{ "{sys.executable}" -m kavro "$@"; }}\n{line}'],
            capture_output=True, text=True)
        assert result.stdout + result.stderr == expected, line


def run_doctest(page: Page, block: Block) -> None:
    test = doctest.DocTestParser().get_doctest(block.body, page.namespace, str(page.path),
                                               str(page.path), block.line)
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write, clear_globs=False)
    assert runner.failures == 0, report.getvalue()
    page.namespace.update(test.globs)  # the doctest ran on a copy


@pytest.mark.parametrize("path", sorted(DOCS.glob("*.md")), ids=lambda path: path.name)
def test_examples_run(path: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    page = Page(path, tmp_path)
    blocks = read_blocks(path)
    expected_errors = {}
    for index, block in enumerate(blocks):
        if "fails" in block.words:
            message = blocks[index + 1]
            assert message.language == "text", f"line {block.line}: `fails` needs a text block"
            expected_errors[index] = message.body.rstrip("\n")
    for index, block in enumerate(blocks):
        where = f"{path.name}:{block.line}"
        if block.language == "yaml":
            assert run_yaml(page, block) == expected_errors.get(index), where
        elif block.language == "python":
            exec(compile(block.body, where, "exec"), page.namespace)
        elif block.language == "pycon":
            run_doctest(page, block)
        elif block.language == "console":
            run_console(block)
        else:
            assert block.language in SHOWN_ONLY, f"{where}: unknown language {block.language!r}"
            if "file=" in " ".join(block.words):
                (tmp_path / block.option("file", "")).write_text(block.body, encoding="utf-8")
