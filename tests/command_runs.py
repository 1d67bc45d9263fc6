"""Running the command line in-process, shared by its test files."""

from __future__ import annotations

import pytest

from kavro._command.main import main

# The good documents, as the test files write them.
DOCS = ["--schema", "schema.yaml", "--policy", "policy.yaml"]


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    """The exit status and what the command printed to stdout and stderr."""
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err
