"""Why `evaluate` refused a request, said with the field that caused it.

The engine's message for a value it cannot take does not name the field; the
requests the command reads come from JSON or YAML, so the culprit is a null,
a list, a mapping or an integer too large for a float, and can be found.
"""

from __future__ import annotations

from typing import Any

_PARTS = ("action", "actor", "snapshot")


def describe_refusal(request: Any, error: Exception) -> str:
    text = f"{type(error).__name__}: {error}"
    if str(error) == "Unsupported value type" and isinstance(request, dict):
        for part in _PARTS:
            fields = request.get(part)
            for key, value in fields.items() if isinstance(fields, dict) else ():
                if not _convertible(value):
                    return f"{text} ({part}.{key} is {_kind(value)})"
    return text


def _convertible(value: Any) -> bool:
    if isinstance(value, int) and not isinstance(value, bool):
        try:
            float(value)
        except OverflowError:
            return False
    return isinstance(value, (bool, int, float, str))


def _kind(value: Any) -> str:
    return "null" if value is None else type(value).__name__
