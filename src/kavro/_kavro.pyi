"""Python module entry point.

Must match the compiled library name to satisfy Python's
`PyInit_<module>` symbol requirements.
"""

from collections.abc import Callable, Iterable, Mapping
from typing import Any, ClassVar, Literal, NotRequired, Protocol, TypedDict, final, type_check_only

__all__ = ["PyKavro"]

# The input must be a dict whose "action", "actor" and "snapshot" entries are
# dicts from field name to a bool, a number (anything with a float
# conversion) or a str. Request dicts are usually built with mixed value
# types, which invariant dict types would reject, so the entries are Any.
_Request = dict[str, Any]

_Effect = Literal["allow", "block", "require_approval"]
_Value = str | float | bool

_CompiledValue = (
    tuple[Literal["literal"], str | float | bool]
    | tuple[Literal["subject"], str, str]
    | tuple[Literal["list"], tuple[str | float | bool, ...]]
    | None
)
_CompiledComparison = tuple[str, str, str, _CompiledValue]
# A version-2 condition nests: a member of all or any is a comparison or a
# condition, and ("not", (condition,)) negates one.
_CompiledCondition = tuple[str, tuple["_CompiledComparison | _CompiledCondition", ...]]
_CompiledRule = tuple[str, str | None, int, str, str, _CompiledCondition]

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
    against_list: NotRequired[list[_Value]]

class _RuleTrace(TypedDict):
    rule_id: str
    scope: Literal["action", "global"]
    held: bool
    comparisons: list[_Comparison]
    description: NotRequired[str]

class _Explanation(TypedDict):
    effect: _Effect
    matched_rule: str | None
    bucket: str | None
    rules: list[_RuleTrace]
    default_decided: bool
    policy_default: NotRequired[_Effect]

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

@final
class Rule(tuple[str, int, str, _Effect, int | None]):
    """One rule of the policy, in document order."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]]
    @property
    def id(self) -> str: ...
    @property
    def number(self) -> int: ...
    @property
    def scope(self) -> str: ...
    @property
    def effect(self) -> _Effect: ...
    @property
    def line(self) -> int | None: ...
    @property
    def description(self) -> str | None: ...
    @property
    def tags(self) -> tuple[str, ...]: ...

# The words of the policy language, in the engine's table order.
EFFECTS: tuple[str, ...]
DOMAINS: tuple[str, ...]
OPERATORS: tuple[str, ...]

def _plain_scalar(text: str, /) -> None | bool | int | float | str: ...

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

# Arrow data lent through the PyCapsule protocol: pyarrow tables and record
# batches, polars and pandas data frames, DuckDB results, ...
@type_check_only
class _ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@type_check_only
class _ArrowArrayExportable(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

__version__: str

def _restore_engine(
    schema_yaml: str, policy_yaml: str, governance_yaml: str | None, policy_hash: str, /
) -> PyKavro:
    """Rebuilds a pickled PyKavro; not for direct use."""

def _restore_decisions(version: int, effects: bytes, rules: bytes, ids: list[str], /) -> Decisions:
    """Rebuilds pickled Decisions; not for direct use."""

@final
class Decisions:
    """The decisions of PyKavro.evaluate_arrow: the columns effect and
    matched_rule, one row per input row, readable by any Arrow consumer
    (pyarrow.table(decisions), polars.from_arrow(decisions)) or as
    result dicts through to_pylist().
    """

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The decisions as an Arrow C stream capsule, one batch per input batch."""
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """The decisions as one Arrow struct array: (schema capsule, array capsule)."""
    def to_pylist(self) -> list[_Decision]:
        """One result dict per row, each exactly what evaluate returns."""
    def __reduce__(self) -> tuple[Any, tuple[int, bytes, bytes, list[str]]]:
        """Pickles the decisions as their effects and rule ids."""
    def __len__(self) -> int: ...

@final
class DecisionLines:
    """Renders decision log lines and hands them to `sink`: each line as a str
    when `text_lines`, else lines ending in a line break, joined as bytes once
    `flush_every` of them wait. `mask` maps a part to the fields written as
    "<masked>". Decision ids are `id_prefix` and a serial number. While
    `enabled()` (when given) is false, decisions get ids but no lines.
    """

    def __new__(
        cls, sink: Callable[[Any], object], id_prefix: str,
        mask: Mapping[str, Iterable[str]], flush_every: int, text_lines: bool,
        enabled: Callable[[], bool] | None = None
    ) -> DecisionLines: ...
    def decide(self, engine: PyKavro, policy_hash: str, input: _Request) -> dict[str, Any]:
        """The decision evaluate makes, with `policy_hash` and a new `decision_id`,
        logged with the request as the engine read it. Raises what evaluate raises."""
    def record(self, policy_hash: str, input: Mapping[str, Any], effect: object,
               matched_rule: object) -> str | None:
        """Logs a decision made elsewhere and returns its new id; None, with
        nothing logged, when the request holds a value other than None, bool,
        int, float or str, or a map that is not a dict with str keys."""
    def write(self, line: str, /) -> None:
        """Hands a line rendered elsewhere to the sink as the others."""
    def flush(self) -> None:
        """Hands the lines still waiting to the sink."""
    def new_id(self) -> str:
        """A new decision id, for a line rendered elsewhere."""

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
    def missing_fields(self, input: _Request) -> list[_RequestProblem]:
        """The fields that the rules of `input`'s action and the global rules read
        and `input` lacks, in check_request's form with kind "MissingField": no
        comparison with such a field holds (but absent), so a block rule on it
        lets the request through. Never changes what evaluate decides."""
    def check_request(self, input: _Request) -> list[_RequestProblem]:
        """The problems of `input` against the schema, as a list of dicts with
        "path", "kind" and "message": an undeclared action type, undeclared
        fields, declared fields holding a value of another type. Never changes
        what evaluate decides; a request evaluate refuses raises the same error.
        """
    def evaluate_many(self, inputs: Iterable[_Request]) -> list[_Decision]:
        """Evaluates every input of an iterable of input dicts.

        Returns a list with one result dict per input, in order, each exactly
        what evaluate returns for it. The first input that evaluate would
        reject raises evaluate's exception, with an `index` attribute naming it.
        """
    def evaluate_arrow(self, data: _ArrowStreamExportable | _ArrowArrayExportable,
                       ignore_unknown_columns: bool = False) -> Decisions:
        """Evaluates every row of Arrow data: any object exporting __arrow_c_stream__
        or __arrow_c_array__ (pyarrow tables and record batches, polars and pandas
        data frames, ...).

        Columns: each request part as a struct column (action, actor, snapshot) or
        as flat columns named action.<field>, actor.<field> and snapshot.<field>, not
        both. A null is an absent field. Each row decides as evaluate would on the
        dict of its non-null values. Columns unrelated to the request are ignored.
        Unless ignore_unknown_columns is True, a table without request columns
        raises ValueError, and so does a column that looks like a request part
        (Action, action_amount) or names a field the schema does not declare.

        Returns Decisions with the columns effect and matched_rule.
        """
    def __reduce__(self) -> tuple[Any, tuple[str, str, str | None, str]]:
        """Pickles the engine as its documents."""
    def __copy__(self) -> PyKavro:
        """The engine itself: it is immutable."""
    def __deepcopy__(self, memo: Any) -> PyKavro:
        """The engine itself: it is immutable."""
    def policy_hash(self) -> str: ...
    def rules(self) -> tuple[Rule, ...]:
        """The policy's rules in document order, as kavro.Rule records: the id as
        the engine holds it, the number (place in the document, from 0), the
        scope, the effect and the line where the rule starts."""
    @staticmethod
    def compiler_version() -> str: ...
    def _compiled_rules(self) -> list[_CompiledRule]:
        """The compiled rules as tuples, for kavro.analysis."""
    def _decide_batch(self, requests: list[Any], policy_hash: str,
                      answer: Callable[[int], bytes], check: bool,
                      log: DecisionLines | None) -> tuple[bytes, list[tuple[str, str | None, int]]]:
        """The decision service's answer to a list of requests, as JSON bytes
        {"policy_hash": ..., "decisions": [...]}, and the decisions counted as
        (effect, matched_rule, count) tuples. Each request of plain JSON values
        is checked against the schema (when `check`) and decided, and logged to
        `log` (a DecisionLines, or None); `answer(index)` gives the JSON of any
        other request, and of one the check finds problems in."""
    def _policy_default(self) -> _Effect:
        """The effect when no rule decides, for kavro.analysis."""
