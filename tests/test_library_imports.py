"""The library stands without its command line: no module outside
`kavro._command` imports it, and importing the library's entry points
loads none of it."""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import kavro

PACKAGE = Path(kavro.__file__).resolve().parent
COMMAND = "kavro._command"
# `python -m kavro` is the command itself.
ENTRY_POINT = PACKAGE / "__main__.py"
LIBRARY_FILES = sorted(path for path in PACKAGE.rglob("*.py")
                       if "_command" not in path.relative_to(PACKAGE).parts
                       and path != ENTRY_POINT)


def _module_name(path: Path) -> str:
    parts = ("kavro", *path.relative_to(PACKAGE).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def command_imports(source: str, package: str) -> list[str]:
    """The names under kavro._command that `source`, a module of `package`,
    imports, wherever in the file."""
    parts = package.split(".")
    named: list[str] = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            named += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = parts[:len(parts) - node.level + 1] if node.level else []
            module = ".".join([*base, *([node.module] if node.module else [])])
            named += [module] + [f"{module}.{alias.name}" for alias in node.names]
    return sorted({name for name in named
                   if name == COMMAND or name.startswith(COMMAND + ".")})


def test_the_library_files_are_found() -> None:
    # An empty table would pass every row below without checking anything.
    assert {"dask.py", "_errors.py", "_refusals.py"} <= {path.name for path in LIBRARY_FILES}
    assert any(path.parent.name == "_replay" for path in LIBRARY_FILES)


@pytest.mark.parametrize("path", LIBRARY_FILES,
                         ids=[str(path.relative_to(PACKAGE)) for path in LIBRARY_FILES])
def test_no_library_module_imports_the_command(path: Path) -> None:
    module = _module_name(path)
    package = module if path.name == "__init__.py" else module.rpartition(".")[0]
    assert command_imports(path.read_text(encoding="utf-8"), package) == []


@pytest.mark.parametrize("module, needs", [
    ("kavro", None),
    ("kavro.dask", "dask.dataframe"),
    ("kavro._replay.running", "pyarrow"),
    ("kavro._replay.deciding", "pyarrow"),
    ("kavro._report.page", "pyarrow"),
])
def test_importing_the_library_loads_no_command_module(module: str, needs: str | None) -> None:
    if needs is not None:
        pytest.importorskip(needs)
    script = (f"import sys, {module}\n"
              f"assert {module!r} in sys.modules\n"
              f"print(sorted(name for name in sys.modules if name.startswith({COMMAND!r})))\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            check=True)
    assert result.stdout == "[]\n"
