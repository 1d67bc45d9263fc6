"""The project file: the documents a project's commands work on, so that
`--schema`, `--policy` and `--governance` need not be typed every time.

`kavro.toml`, or a `[tool.kavro]` table in `pyproject.toml`, found in the
current directory or the nearest directory above it that has one:

    schema = "policy/schema.yaml"      # paths relative to the project file
    policy = "policy/policy.yaml"
    governance = "policy/governance.yaml"
    tests = ["policy/tests"]           # what `kavro test` runs without paths

A flag given on the command line wins over the file.
"""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kavro._command.usage import UsageError, read_text

_DOCUMENT_KEYS = ("schema", "policy", "governance")
_KEYS = (*_DOCUMENT_KEYS, "tests")


@dataclass(frozen=True)
class Project:
    path: Path
    settings: dict[str, Any]

    def document(self, key: str) -> Path | None:
        value = self.settings.get(key)
        if value is None:
            return None
        if not isinstance(value, str):
            raise UsageError(f"{self.path}: `{key}` must be the path of the {key} document")
        return _shown(self.path.parent / value)

    def tests(self) -> list[Path] | None:
        value = self.settings.get("tests")
        if value is None:
            return None
        paths = [value] if isinstance(value, str) else value
        if not isinstance(paths, list) or not all(isinstance(one, str) for one in paths):
            raise UsageError(f"{self.path}: `tests` must be a path or a list of paths")
        return [_shown(self.path.parent / one) for one in paths]


def find_project(start: Path) -> Project | None:
    """The project file of `start` or of the nearest directory above it."""
    for directory in [start, *start.parents]:  # start is absolute
        own = _shown(directory / "kavro.toml")
        if own.is_file():
            return Project(own, _checked(own, _read_toml(own)))
        shared = _shown(directory / "pyproject.toml")
        if shared.is_file():
            table = _read_toml(shared).get("tool", {}).get("kavro")
            if isinstance(table, dict):
                return Project(shared, _checked(shared, table))
    return None


def complete_from_project(args: argparse.Namespace) -> None:
    """Fills the document flags the command takes but was not given, and the
    paths of `kavro test`, from the project file; a document still missing
    is bad usage, said as the parser says it."""
    takes_documents = hasattr(args, "schema")
    wants_tests = args.command == "test" and not args.files
    if not wants_tests and not (takes_documents and (args.schema is None or args.policy is None)):
        return
    project = find_project(Path.cwd())
    if wants_tests:
        args.files = (project and project.tests()) or [Path(".")]
        return
    if project is not None:
        for key in _DOCUMENT_KEYS:
            if getattr(args, key) is None:
                setattr(args, key, project.document(key))
    missing = [f"--{key}" for key in ("schema", "policy") if getattr(args, key) is None]
    if missing:
        raise UsageError(f"the following arguments are required: {', '.join(missing)} "
                         f"(or a kavro.toml naming the documents; see 'kavro {args.command} "
                         "--help')")


def _read_toml(path: Path) -> dict[str, Any]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        try:
            import tomli as tomllib
        except ModuleNotFoundError:
            raise UsageError(f"{path}: reading it needs Python 3.11 or the tomli package "
                             "(pip install tomli)") from None
    try:
        data: dict[str, Any] = tomllib.loads(read_text(path, "project file"))
    except tomllib.TOMLDecodeError as error:
        raise UsageError(f"{path}: not TOML: {error}") from None
    return data


def _checked(path: Path, settings: dict[str, Any]) -> dict[str, Any]:
    for key in settings:
        if key not in _KEYS:
            raise UsageError(f"{path}: unknown key {key!r}; expected {', '.join(_KEYS)}")
    return settings


def _shown(path: Path) -> Path:
    """The path as messages show it: relative to the current directory when below it."""
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else Path(relative)
