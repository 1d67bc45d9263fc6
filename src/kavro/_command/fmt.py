"""`kavro fmt`: one layout for kavro's YAML documents, comments kept.

The documents go through a round-trip YAML reader and writer (ruamel.yaml)
that types no scalar but nulls: `0123`, `yes`, `True` and `1.50` stay the
text they were, written as they were, so the engine reads the formatted
document as it read the original and the policy hash stays the same. What
changes: indentation (two spaces, list items indented under their key),
spacing inside flow collections, a flow collection written on one line, and
the spelling of null (`~` becomes nothing).
"""

from __future__ import annotations

import io
import re
from pathlib import Path
from typing import Any

from kavro._command.usage import UsageError

_NULL = re.compile(r"^(?:~|null|Null|NULL|)$")
_MISSING = ("kavro fmt writes YAML with ruamel.yaml, which is not installed: "
            "pip install 'kavro[fmt]'")


def _yaml() -> Any:
    try:
        from ruamel.yaml import YAML
        from ruamel.yaml.resolver import VersionedResolver
    except ModuleNotFoundError:
        raise UsageError(_MISSING) from None

    class _NullsOnly(VersionedResolver):
        @property
        def versioned_resolver(self) -> Any:
            return {first: [("tag:yaml.org,2002:null", _NULL)] for first in "~nN"} | {
                "": [("tag:yaml.org,2002:null", _NULL)]}

    yaml = YAML()
    yaml.Resolver = _NullsOnly
    yaml.preserve_quotes = True
    yaml.indent(mapping=2, sequence=4, offset=2)
    yaml.width = 1 << 16  # no line is folded: a flow collection stays on one line
    return yaml


def formatted(text: str, name: str) -> str:
    """`text` in the canonical layout, or a UsageError naming `name` when it
    is not YAML this formatter can keep as it is."""
    yaml = _yaml()
    from ruamel.yaml.error import MarkedYAMLError, YAMLError

    try:
        data = yaml.load(text)
        out = io.StringIO()
        yaml.dump(data, out)
        result = out.getvalue()
        unchanged = yaml.load(result) == data
    except MarkedYAMLError as error:
        mark = error.problem_mark
        place = name if mark is None else f"{name}:{mark.line + 1}:{mark.column + 1}"
        raise UsageError(f"{place}: cannot format: {error.problem}") from None
    except YAMLError as error:
        raise UsageError(f"{name}: cannot format: {error}") from None
    if data is None:
        return text  # nothing but comments
    if not unchanged:
        raise UsageError(f"{name}: cannot format: its content would change")
    return result
