"""JSON Schemas of kavro's documents, for editors: completion and marks
under a misspelt key while typing. Name one in a document's first line,

    # yaml-language-server: $schema=<path printed by schema_path("policy")>

or map file patterns to them in the editor's settings.
"""

from __future__ import annotations

from pathlib import Path

KINDS = ("schema", "policy", "governance", "test")


def schema_path(kind: str) -> Path:
    """The JSON Schema file of a kind of document: "schema", "policy",
    "governance" or "test" (a `kavro test` file)."""
    if kind not in KINDS:
        raise ValueError(f"no JSON Schema for {kind!r}; the kinds are {', '.join(KINDS)}")
    return Path(__file__).resolve().parent / f"{kind}.schema.json"
