"""Which lint findings fail `kavro check`, and how an author accepts one.

A finding whose code is in FAILING_CODES means the engine will decide
otherwise than the text reads (a key it ignores drops a condition; two rules
with one id cannot be told apart in results), so it fails the check unless
accepted: by `--allow CODE`, by `--warn-only`, or by a comment on the lines
of the rule (or on the finding's own line)

    - id: legacy-refunds  # kavro: allow duplicate-rule-id
"""

from __future__ import annotations

import re
from collections.abc import Iterable

# Checks added later that show a decision the text does not say (a request
# that escapes every rule, say) join this set; --allow takes them as well.
FAILING_CODES = frozenset({"unknown-key", "duplicate-rule-id"})

_ANNOTATION = re.compile(r"#\s*kavro:\s*allow\s+([\w-]+(?:\s*,\s*[\w-]+|\s+[\w-]+)*)")
_RULES_KEY = re.compile(r"rules\s*:\s*(?:#.*)?$")
_ITEM = re.compile(r"(\s*)-(?:\s|$)")


def annotated_codes(line: str) -> set[str]:
    """The codes a `# kavro: allow ...` comment on `line` accepts."""
    found = _ANNOTATION.search(line)
    return set() if found is None else set(re.split(r"[\s,]+", found[1].strip()))


def rule_extents(text: str) -> list[range]:
    """The 1-based line numbers of each block-style rule under the top-level
    `rules:` key, the comment lines just above a rule included. A flow-style
    list of rules has none: its findings are accepted on their own line."""
    lines = text.splitlines()
    start = next((index for index, line in enumerate(lines) if _RULES_KEY.match(line)), None)
    if start is None:
        return []
    starts: list[int] = []
    end = len(lines)
    indent: str | None = None
    comments: int | None = None  # where the comment lines just above this line start
    for index in range(start + 1, len(lines)):
        line = lines[index]
        text_of_line = line.strip()
        if not text_of_line:
            comments = None
            continue
        if text_of_line.startswith("#"):
            comments = index if comments is None else comments
            continue
        item = _ITEM.match(line)
        if indent is None:
            if item is None:
                return []
            indent = item[1]
        if item is not None and item[1] == indent:
            starts.append(index if comments is None else comments)
        elif len(line) - len(line.lstrip()) <= len(indent):
            end = index if comments is None else comments  # the next top-level key
            break
        comments = None
    return [range(first + 1, after + 1) for first, after in zip(starts, [*starts[1:], end])]


def accepted_in_text(text: str, line: int | None, code: str) -> bool:
    """Whether a comment accepts the finding `code` at `line` of `text`: on
    the finding's line, or anywhere on the lines of the rule holding it."""
    if line is None:
        return False
    lines = text.splitlines()
    candidates: Iterable[int] = [line]
    for extent in rule_extents(text):
        if line in extent:
            candidates = extent
            break
    return any(code in annotated_codes(lines[number - 1])
               for number in candidates if 1 <= number <= len(lines))
