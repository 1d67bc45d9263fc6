"""Python module entry point.

Must match the compiled library name to satisfy Python's
`PyInit_<module>` symbol requirements.
"""

from typing import Any, ClassVar, Literal, TypedDict, final

__all__ = ["PyKavro"]

# The input must be a dict whose "action", "actor" and "snapshot" entries are
# dicts from field name to a bool, a number (anything with a float
# conversion) or a str. Request dicts are usually built with mixed value
# types, which invariant dict types would reject, so the entries are Any.
_Request = dict[str, Any]

_Effect = Literal["allow", "block", "require_approval"]
_Value = str | float | bool

class _Decision(TypedDict):
    effect: _Effect
    matched_rule: str | None

class _Comparison(TypedDict):
    subject: str
    operator: str
    found: _Value | None
    against: _Value | None
    against_subject: str | None
    held: bool

class _RuleTrace(TypedDict):
    rule_id: str
    scope: Literal["action", "global"]
    held: bool
    comparisons: list[_Comparison]

class _Explanation(TypedDict):
    effect: _Effect
    matched_rule: str | None
    bucket: str | None
    rules: list[_RuleTrace]
    default_decided: bool

class _RequestProblem(TypedDict):
    path: str
    kind: Literal["UnknownSection", "MissingActionType", "UnknownAction", "UndeclaredField",
                  "WrongType"]
    message: str

@final
class Violation(tuple[str, str, str, str, int | None, int | None]):
    """One governance rule that the policy does not satisfy."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]]
    @property
    def rule_id(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def constraint(self) -> str: ...
    @property
    def found(self) -> str: ...
    @property
    def line(self) -> int | None: ...
    @property
    def column(self) -> int | None: ...

class PolicyError(ValueError):
    """A document did not load, the policy did not compile, or governance rejected it."""

    document: Literal["schema", "policy", "governance"]
    kind: str
    line: int | None
    column: int | None
    path: str | None
    rule_id: str | None
    rule_index: int | None
    violations: tuple[Violation, ...]

def _lint(
    schema_yaml: str, policy_yaml: str, governance_yaml: str | None = None
) -> list[tuple[Literal["error", "warning", "info"], str, str, str, int | None, int | None,
                str, str | None]]: ...

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
    def explain(self, input: _Request) -> _Explanation:
        """Evaluates `input` as evaluate does and also says why: the action bucket
        tried, every rule examined in order with each comparison it made, and
        whether the default decided. Slower than evaluate; never decides differently.
        """
    def check_request(self, input: _Request) -> list[_RequestProblem]:
        """The problems of `input` against the schema, as a list of dicts with
        "path", "kind" and "message": an undeclared action type, undeclared
        fields, declared fields holding a value of another type. Never changes
        what evaluate decides; a request evaluate refuses raises the same error.
        """
    def policy_hash(self) -> str: ...
    @staticmethod
    def compiler_version() -> str: ...
