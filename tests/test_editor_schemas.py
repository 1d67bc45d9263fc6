"""The JSON Schemas shipped for editors agree with the engine: every document
under examples/ and docs/ is valid exactly when the engine reads it without
a load error or an ignored key, and a misspelt key is marked."""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from conftest import POLICY, SCHEMA
from kavro import check
from kavro._command.yaml_text import load_yaml
from kavro.schemas import KINDS, schema_path

jsonschema = pytest.importorskip("jsonschema")

ROOT = Path(__file__).resolve().parent.parent
EMPTY_POLICY = "version: 1\nrules: []\n"
# What the editor should mark: a document the engine cannot read, or a key it skips.
MARKED = {"load-error", "unknown-key"}
GOVERNANCE = """\
version: 1
governance:
  rules:
    - id: refunds-blocked
      applies_to: { actions: [refund] }
      select: { where: { scope: { action: refund }, effect: block } }
      must: { min_count: 1 }
      error: refunds need a block rule
"""
TEST_FILE = """\
schema: schema.yaml
policy: policy.yaml
cases:
  - name: a case
    request: { action: { type: refund, amount: 5 } }
    expect: { effect: allow, matched_rule: null }
    strict: false
"""


def validator(kind: str) -> Any:
    schema = json.loads(schema_path(kind).read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def problems(kind: str, text: str) -> list[str]:
    data, _ = load_yaml(text, kind)
    return [f"{'/'.join(map(str, error.absolute_path))}: {error.message}"
            for error in validator(kind).iter_errors(data)]


@dataclass
class Document:
    name: str
    kind: str
    text: str
    # The documents it is read with, for the engine's view of it.
    schema: str = SCHEMA
    governance: str | None = None

    def marked_by_engine(self) -> bool:
        if self.kind == "test":
            return False  # test files are read by the command, which refuses what they lack
        schema, policy, governance = {
            "schema": (self.text, EMPTY_POLICY, None),
            "policy": (self.schema, self.text, self.governance),
            "governance": (self.schema, EMPTY_POLICY, self.text),
        }[self.kind]
        return any(finding.code in MARKED and finding.document == self.kind
                   for finding in check(schema, policy, governance))


def example_documents() -> list[Document]:
    found = []
    for path in sorted((ROOT / "examples").rglob("*.yaml")):
        kind = "test" if path.name.endswith(".test.yaml") else path.stem
        schema = path.with_name("schema.yaml")
        found.append(Document(str(path.relative_to(ROOT)), kind, path.read_text(),
                              schema.read_text() if schema.exists() else SCHEMA))
    return found


def docs_documents() -> list[Document]:
    """The YAML blocks of docs/, each with the page's documents before it (as
    tests/test_docs.py builds them); blocks that must fail to build are left out."""
    from test_docs import read_blocks

    found = []
    for page in sorted((ROOT / "docs").glob("*.md")):
        latest: dict[str, str] = {}
        for block in read_blocks(page):
            kind = next((word for word in block.words if word in KINDS), None)
            if block.language != "yaml" or kind is None or "fails" in block.words:
                continue
            found.append(Document(f"{page.name}:{block.line}", kind, block.body,
                                  latest.get("schema", SCHEMA), latest.get("governance")))
            if block.option("file", f"{kind}.yaml") == f"{kind}.yaml":
                latest[kind] = block.body
    return found


DOCUMENTS = example_documents() + docs_documents()


def test_documents_were_found() -> None:
    kinds = {document.kind for document in DOCUMENTS}
    assert kinds == set(KINDS) and len(DOCUMENTS) > 20


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda document: document.name)
def test_schemas_agree_with_the_engine(document: Document) -> None:
    assert bool(problems(document.kind, document.text)) == document.marked_by_engine(), (
        problems(document.kind, document.text))


@pytest.mark.parametrize("kind, text, problem", [
    pytest.param("schema", SCHEMA.replace("actor:", "actr:"), ": 'actor' is a required property",
                 id="schema-key"),
    pytest.param("schema", SCHEMA.replace("amount: number", "amount: integer"),
                 "actions/refund/fields/amount: 'integer' is not one of "
                 "['string', 'number', 'boolean']", id="schema-type"),
    pytest.param("policy", POLICY.replace("effect: block", "efect: block", 1),
                 "rules/0: Additional properties are not allowed ('efect' was unexpected)",
                 id="policy-key"),
    pytest.param("policy", POLICY.replace("scope: { action: refund }", "scope: { acton: refund }"),
                 "rules/0/scope: Additional properties are not allowed ('acton' was unexpected)",
                 id="policy-scope-key"),
    pytest.param("policy", POLICY.replace("version: 1", 'version: "1"'),
                 "version: '1' is not of type 'integer'", id="policy-version"),
    pytest.param("governance", GOVERNANCE.replace("applies_to", "aplies_to"),
                 "governance/rules/0: Additional properties are not allowed ('aplies_to' was "
                 "unexpected)", id="governance-key"),
    pytest.param("governance", GOVERNANCE.replace("min_count: 1", "min_count: -1"),
                 "governance/rules/0/must/min_count: -1 is less than the minimum of 0",
                 id="governance-count"),
    pytest.param("test", TEST_FILE.replace("expect:", "expected:"),
                 "cases/0: 'expect' is a required property", id="test-key"),
])
def test_a_misspelt_key_is_marked(kind: str, text: str, problem: str) -> None:
    assert problem in problems(kind, text)


def test_the_unchanged_documents_are_valid() -> None:
    assert [problems(kind, text) for kind, text in (
        ("schema", SCHEMA), ("policy", POLICY), ("governance", GOVERNANCE),
        ("test", TEST_FILE))] == [[], [], [], []]


def test_unknown_kind() -> None:
    with pytest.raises(ValueError, match="no JSON Schema for 'rules'"):
        schema_path("rules")
