"""Why `evaluate` refused a request, said with the field that caused it.

The engine's message for a value it cannot take does not name the field; the
exception carries it as attributes (`field`, "snapshot.amount", and `found`,
"null" or the value's type name), set where the value was refused.
"""

from __future__ import annotations


def describe_refusal(error: Exception) -> str:
    text = f"{type(error).__name__}: {error}"
    field, found = getattr(error, "field", None), getattr(error, "found", None)
    if isinstance(field, str) and isinstance(found, str):
        return f"{text} ({field} is {found})"
    return text
