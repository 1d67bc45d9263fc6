"""Python module entry point.

Must match the compiled library name to satisfy Python's
`PyInit_<module>` symbol requirements.
"""

from typing import Any, Literal, TypedDict, final

__all__ = ["PyKavro"]

# The input must be a dict whose "action", "actor" and "snapshot" entries are
# dicts from field name to a bool, a number (anything with a float
# conversion) or a str. Request dicts are usually built with mixed value
# types, which invariant dict types would reject, so the entries are Any.
_Request = dict[str, Any]

class _Decision(TypedDict):
    effect: Literal["allow", "block", "require_approval"]
    matched_rule: str | None

@final
class PyKavro:
    """Python-exposed Kavro class.

    This is a thin wrapper around `CompiledPolicy`.
    Compilation occurs during initialization.
    Evaluation is deterministic and stateless.
    """

    def __new__(
        cls, schema_yaml: str, policy_yaml: str, governance_yaml: str | None = None
    ) -> PyKavro: ...
    def evaluate(self, input: _Request) -> _Decision:
        """Evaluates the compiled policy against runtime input.

        Expected input format:
        {
            "action": { ... },
            "actor": { ... },
            "snapshot": { ... }
        }

        Missing keys are treated as empty maps.

        Returns:
        {
            "effect": "allow" | "block" | "require_approval",
            "matched_rule": Optional[str]
        }
        """
    def policy_hash(self) -> str: ...
    @staticmethod
    def compiler_version() -> str: ...
