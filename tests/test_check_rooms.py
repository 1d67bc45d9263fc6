"""scripts/check-rooms: a tree that breaks the room table, or a library module
that imports the command line, fails; the repository itself passes."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "check-rooms"

TABLE = """# Architecture

## Rooms and what they include

| From | May include | Why |
|---|---|---|
| `support/` | — | |
| `documents/` | `support/` | |
| `binding/` | `support/` | |
{extra}
## Next
"""
EXCEPTION = "| `binding/module.cpp` | `documents/loader.h` | exception, to be removed |"


def run(root: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(SCRIPT), "--root", str(root)],
                          capture_output=True, text=True, timeout=60)


def make_tree(root: Path, files: dict[str, str], extra_rows: str = "") -> None:
    (root / "docs").mkdir()
    (root / "docs" / "ARCHITECTURE.md").write_text(TABLE.format(extra=extra_rows))
    for name, text in {"src/support/result.h": "", "src/kavro/__init__.py": "", **files}.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


@pytest.mark.parametrize("files, extra_rows, complaint", [
    pytest.param({"src/documents/a.cpp": '#include "documents/a.h"\n#include "support/result.h"\n'
                                         "#include <vector>\n"},
                 "", None, id="own-room-and-allowed-rooms"),
    pytest.param({"src/binding/module.cpp": '#include "documents/loader.h"\n'}, "",
                 'src/binding/module.cpp: includes "documents/loader.h"; binding/ may include '
                 "support", id="room-not-allowed"),
    pytest.param({"src/documents/a.h": '  #  include "binding/module.h"\n'}, "",
                 'src/documents/a.h: includes "binding/module.h"', id="spaced-directive"),
    pytest.param({"src/binding/module.cpp": '#include "documents/loader.h"\n'}, EXCEPTION,
                 None, id="known-exception"),
    pytest.param({"src/binding/module.cpp": '#include "documents/loader.h"\n'
                                            '#include "documents/vocabulary.h"\n'}, EXCEPTION,
                 'src/binding/module.cpp: includes "documents/vocabulary.h"',
                 id="exception-covers-only-its-header"),
    pytest.param({"src/binding/other.cpp": '#include "documents/loader.h"\n'}, EXCEPTION,
                 'src/binding/other.cpp: includes "documents/loader.h"',
                 id="exception-covers-only-its-file"),
    pytest.param({}, "| `binding/module.cpp` | `documents/loader.h` | for now |",
                 "binding/module.cpp is a file, and its row does not say 'to be removed'",
                 id="exception-not-marked"),
    pytest.param({}, "| `engine/` | `columnar/` | |",
                 "the row of engine/ allows columnar, with no row", id="row-names-unknown-room"),
    pytest.param({"src/columnar/batch.h": ""}, "",
                 "src/columnar/batch.h: room columnar/ has no row", id="room-without-row"),
    pytest.param({"src/kavro/dask.py": "import kavro._command.usage\n"}, "",
                 "src/kavro/dask.py: imports kavro._command.usage", id="library-absolute"),
    pytest.param({"src/kavro/_replay/running.py": "def f():\n    from .._command import usage\n"},
                 "", "src/kavro/_replay/running.py: imports kavro._command", id="library-relative"),
    pytest.param({"src/kavro/_report/__init__.py": "from kavro import _command\n"}, "",
                 "src/kavro/_report/__init__.py: imports kavro._command", id="library-package"),
    pytest.param({"src/kavro/__main__.py": "from kavro._command.main import main\n",
                  "src/kavro/_command/main.py": "from kavro._command import usage\nimport kavro\n"},
                 "", None, id="command-line-may-import-itself"),
])
def test_tree(tmp_path: Path, files: dict[str, str], extra_rows: str,
              complaint: str | None) -> None:
    make_tree(tmp_path, files, extra_rows)
    done = run(tmp_path)
    if complaint is None:
        assert (done.returncode, done.stderr) == (0, "")
    else:
        assert done.returncode == 1
        assert complaint in done.stderr


def test_an_exception_no_longer_used_is_noted(tmp_path: Path) -> None:
    make_tree(tmp_path, {"src/binding/module.cpp": ""}, EXCEPTION)
    done = run(tmp_path)
    assert done.returncode == 0
    assert ('note: src/binding/module.cpp no longer includes "documents/loader.h"'
            in done.stdout)


def test_the_repository_keeps_to_its_table() -> None:
    done = run(ROOT)
    assert done.returncode == 0, done.stderr
    assert "keep to the table" in done.stdout
