"""Conversion of evaluate's input: which Python values become which engine values."""

from __future__ import annotations

import enum
import gc
import json
import pathlib
import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction
from typing import Any, Callable

import numpy
import pytest

import kavro
from conftest import raises_exactly
from kavro import PyKavro

# Every actor field is compared with the snapshot field of the same name and
# type. Feeding one value to all three actor fields and a reference value to
# one snapshot field shows which kind (and value) the conversion produced:
# values of different kinds never compare equal.
PROBE_SCHEMA = """\
version: 1
actions:
  refund:
    fields: { amount: number }
actor:
  fields: { flag: boolean, amount: number, name: string }
snapshot:
  fields: { flag: boolean, amount: number, name: string }
"""

PROBE_POLICY = """\
version: 1
rules:
  - id: large-refund
    scope: { action: refund }
    when: { subject: [action, amount], operator: greater_than, value: { literal: 1000 } }
    effect: block
""" + "".join(
    f"""\
  - id: same-{kind}
    scope: {{ global: true }}
    when: {{ subject: [actor, {field}], operator: equals, value: {{ subject: [snapshot, {field}] }} }}
    effect: block
"""
    for kind, field in [("boolean", "flag"), ("number", "amount"), ("text", "name")]
)

REFERENCE_FIELD = {bool: ("flag", "same-boolean"), float: ("amount", "same-number"),
                   str: ("name", "same-text")}


@pytest.fixture(scope="module")
def probe() -> PyKavro:
    return PyKavro(PROBE_SCHEMA, PROBE_POLICY)


def converts_like(probe: PyKavro, value: Any, reference: bool | float | str) -> bool:
    """True when `value` converts to the same engine value as `reference`."""
    field, rule = REFERENCE_FIELD[type(reference)]
    decision = probe.evaluate({"actor": {"flag": value, "amount": value, "name": value},
                               "snapshot": {field: reference}})
    return decision["matched_rule"] == rule


def numpy_named(module: str = "numpy", name: str = "bool_", **members: Any) -> Any:
    """A stand-in class whose type reports `module` and `name`."""
    return type(name, (), {"__module__": module, **members})()


class Text(str):
    pass


class Number(float):
    pass


class Count(int):
    pass


class Colour(enum.IntEnum):
    RED = 3


class FloatHook:
    def __init__(self, result: Any) -> None:
        self.result = result

    def __float__(self) -> Any:
        return self.result


class IndexHook:
    def __index__(self) -> int:
        return 12


class TextWithFloat(str):
    def __float__(self) -> float:
        return 3.0


class TextWithBrokenFloat(str):
    def __float__(self) -> float:
        raise ArithmeticError("not a number")


def fail(*_: Any) -> Any:
    raise RuntimeError("hook failed")


class TestValueKinds:
    @pytest.mark.parametrize(
        "value, reference",
        [
            pytest.param(True, True, id="true"),
            pytest.param(False, False, id="false"),
            pytest.param(1, 1.0, id="int"),
            pytest.param(2.5, 2.5, id="float"),
            pytest.param(-1.0, -1.0, id="minus-one"),
            pytest.param(2**53 + 1, float(2**53), id="int-rounded-to-double"),
            pytest.param("1", "1", id="numeric-text-stays-text"),
            pytest.param("", "", id="empty-text"),
            pytest.param("größe ✓", "größe ✓", id="non-ascii-text"),
            pytest.param(Decimal("1.5"), 1.5, id="decimal"),
            pytest.param(Fraction(3, 2), 1.5, id="fraction"),
            pytest.param(Number(4.5), 4.5, id="float-subclass"),
            pytest.param(Count(7), 7.0, id="int-subclass"),
            pytest.param(Colour.RED, 3.0, id="int-enum"),
            pytest.param(Text("admin"), "admin", id="str-subclass"),
            pytest.param(TextWithFloat("admin"), 3.0, id="str-subclass-with-float-hook"),
            pytest.param(TextWithBrokenFloat("admin"), "admin", id="str-subclass-failing-hook"),
            pytest.param(FloatHook(-1.0), -1.0, id="float-hook-minus-one"),
            pytest.param(IndexHook(), 12.0, id="index-hook"),
            pytest.param(numpy_named(__bool__=lambda self: True), True, id="numpy-bool-true"),
            pytest.param(numpy_named(__bool__=lambda self: False), False, id="numpy-bool-false"),
            pytest.param(numpy_named(__bool__=lambda self: True, __float__=lambda self: 7.0),
                         True, id="numpy-bool-before-float"),
            pytest.param(numpy_named(__bool__=lambda self: 1, __float__=lambda self: 7.0),
                         7.0, id="numpy-bool-returning-int"),
            pytest.param(numpy_named(__bool__=fail, __float__=lambda self: 7.0),
                         7.0, id="numpy-bool-failing"),
            pytest.param(numpy_named(module="numpyx", __bool__=lambda self: True,
                                     __float__=lambda self: 7.0), 7.0, id="other-module"),
            pytest.param(numpy_named(name="bool", __bool__=lambda self: True,
                                     __float__=lambda self: 7.0), True, id="numpy-2-name"),
            pytest.param(numpy_named(name="bool8", __bool__=lambda self: True,
                                     __float__=lambda self: 7.0), 7.0, id="other-name"),
            pytest.param(numpy.False_, False, id="real-numpy-false"),
            pytest.param(numpy.True_, True, id="real-numpy-true"),
        ],
    )
    def test_converts_to(self, probe: PyKavro, value: Any, reference: bool | float | str) -> None:
        assert converts_like(probe, value, reference)

    @pytest.mark.parametrize(
        "value, other",
        [
            pytest.param(True, 1.0, id="true-is-not-one"),
            pytest.param(1, True, id="one-is-not-true"),
            pytest.param("1", 1.0, id="text-is-not-number"),
            pytest.param(Decimal("1.5"), "1.5", id="decimal-is-not-text"),
        ],
    )
    def test_does_not_convert_to(self, probe: PyKavro, value: Any, other: bool | float | str) -> None:
        assert not converts_like(probe, value, other)

    @pytest.mark.parametrize(
        "value",
        [
            pytest.param(None, id="none"),
            pytest.param([], id="list"),
            pytest.param({}, id="dict"),
            pytest.param(b"1", id="bytes"),
            pytest.param(1j, id="complex"),
            pytest.param(2**1100, id="int-too-large"),
            pytest.param(object(), id="object"),
            pytest.param("\ud800", id="lone-surrogate"),
            pytest.param(Text("\udfff"), id="lone-surrogate-subclass"),
            pytest.param(FloatHook("1.0"), id="float-hook-returning-text"),
            pytest.param(numpy_named(), id="numpy-bool-without-hooks"),
            pytest.param(numpy_named(__bool__=lambda self: 1), id="numpy-bool-returning-int"),
        ],
    )
    def test_unsupported_values(self, probe: PyKavro, value: Any) -> None:
        error = raises_exactly(TypeError, "Unsupported value type", probe.evaluate,
                               {"snapshot": {"name": value}})
        assert error.__cause__ is None and error.__context__ is None

    def test_unsupported_value_in_a_field_the_policy_never_reads(self, probe: PyKavro) -> None:
        raises_exactly(TypeError, "Unsupported value type", probe.evaluate,
                       {"actor": {"unknown": None}})

    def test_action_values_convert_too(self, probe: PyKavro) -> None:
        decide = lambda amount: probe.evaluate(  # noqa: E731
            {"action": {"type": "refund", "amount": amount}})["matched_rule"]
        assert [decide(1500), decide(Decimal(1000.5)), decide(1000), decide("1500")] == [
            "large-refund", "large-refund", None, None]


class Holder:
    class Nested:
        pass


class CollidingKey:
    """Hashes like "action", so the request's own lookup compares with it and fails."""

    def __hash__(self) -> int:
        return hash("action")

    def __eq__(self, other: object) -> bool:
        raise TypeError("cannot compare")


class TestMapErrors:
    @pytest.mark.parametrize(
        "request_, message, note",
        [
            pytest.param({"action": None}, "'NoneType' object cannot be converted to 'PyDict'",
                         "at action", id="none-map"),
            pytest.param({"actor": []}, "'list' object cannot be converted to 'PyDict'",
                         "at actor", id="list-map"),
            pytest.param({"snapshot": "x"}, "'str' object cannot be converted to 'PyDict'",
                         "at snapshot", id="text-map"),
            pytest.param({"actor": Holder.Nested()}, "'Holder.Nested' object cannot be "
                         "converted to 'PyDict'", "at actor", id="qualname"),
            pytest.param({"action": {1: 2}}, "'int' object cannot be converted to 'PyString'",
                         "at a key of action", id="int-key"),
            pytest.param({"action": {b"type": "refund"}}, "'bytes' object cannot be converted "
                         "to 'PyString'", "at a key of action", id="bytes-key"),
            pytest.param({"action": {"a": None}}, "Unsupported value type", "at action.a",
                         id="none-value"),
            pytest.param({"action": {"a": [1]}}, "Unsupported value type", "at action.a",
                         id="list-value"),
            pytest.param({"snapshot": {"big": 2**1100}}, "Unsupported value type",
                         "at snapshot.big", id="int-beyond-a-double"),
            pytest.param({"actor": {"s": Holder.Nested()}}, "Unsupported value type",
                         "at actor.s", id="value-with-hooks"),
            pytest.param({"action": {"a": None}, "actor": 5}, "Unsupported value type",
                         "at action.a", id="action-before-actor"),
            pytest.param({"actor": 5, "action": {"a": None}}, "Unsupported value type",
                         "at action.a", id="fixed-key-order-not-insertion-order"),
            pytest.param({"action": {"a": None, 1: 2}}, "Unsupported value type", "at action.a",
                         id="entries-in-stored-order"),
            pytest.param({"action": {1: None}}, "'int' object cannot be converted to "
                         "'PyString'", "at a key of action", id="key-before-value"),
            pytest.param({CollidingKey(): {}}, "cannot compare", None,
                         id="lookup-error-unprefixed"),
        ],
    )
    def test_first_failure_is_raised(self, probe: PyKavro, request_: dict[str, Any],
                                     message: str, note: str | None) -> None:
        # The message stays exactly evaluate's; a note says where it arose.
        error = raises_exactly(TypeError, message, probe.evaluate, request_)
        noted = note is not None and sys.version_info >= (3, 11)  # notes came in 3.11
        assert getattr(error, "__notes__", None) == ([note] if noted else None)

    @pytest.mark.parametrize("domain", ["action", "actor", "snapshot"])
    @pytest.mark.parametrize("policy", [PROBE_POLICY, "version: 1\nrules: []\n"],
                             ids=["policy-reads-fields", "policy-reads-none"])
    def test_unencodable_key_raises_the_encoding_error(self, domain: str, policy: str) -> None:
        # Whether or not the key could name a field the policy reads.
        with pytest.raises(UnicodeEncodeError):
            PyKavro(PROBE_SCHEMA, policy).evaluate({domain: {"\ud800": 1}})

    @pytest.mark.parametrize(
        "request_",
        [
            pytest.param({}, id="empty"),
            pytest.param({"actor": {}}, id="only-actor"),
            pytest.param({"other": None, 5: [], "ACTION": None}, id="other-keys-ignored"),
        ],
    )
    def test_missing_maps_are_empty(self, probe: PyKavro, request_: dict[Any, Any]) -> None:
        assert probe.evaluate(request_) == {"effect": "allow", "matched_rule": None}


class DefaultingRequest(dict[str, Any]):
    """Would hand out a matching actor map for any key, if it were asked."""

    def __missing__(self, key: str) -> dict[str, Any]:
        return {"name": "x", "flag": True}

    def __getitem__(self, key: str) -> Any:
        return {"name": "x", "flag": True}

    def get(self, key: str, default: Any = None) -> Any:
        return {"name": "x", "flag": True}


class LyingMap(dict[str, Any]):
    """Reports other entries than it holds through every overridable method."""

    def items(self) -> Any:
        return [("name", "lie")]

    def __iter__(self) -> Any:
        return iter(["name"])

    def __getitem__(self, key: str) -> Any:
        return "lie"

    def keys(self) -> Any:
        return ["name"]


class DistinctKey(str):
    """Equal text, yet distinct dictionary keys."""

    __hash__ = object.__hash__

    def __eq__(self, other: object) -> bool:
        return self is other


class TestSubclasses:
    def test_overridden_lookup_of_the_request_is_bypassed(self, probe: PyKavro) -> None:
        request = DefaultingRequest(snapshot={"name": "x", "flag": True})
        assert probe.evaluate(request) == {"effect": "allow", "matched_rule": None}

    def test_overridden_iteration_of_a_map_is_bypassed(self, probe: PyKavro) -> None:
        actor = LyingMap(name="truth")
        decision = probe.evaluate({"actor": actor, "snapshot": {"name": "truth"}})
        assert decision["matched_rule"] == "same-text"

    def test_str_subclass_keys(self, probe: PyKavro) -> None:
        decision = probe.evaluate({"actor": {Text("name"): "x"}, "snapshot": {"name": "x"}})
        assert decision["matched_rule"] == "same-text"

    @pytest.mark.parametrize("reference, matches", [("later", True), ("earlier", False)])
    def test_later_entry_of_equal_text_wins(self, probe: PyKavro, reference: str,
                                            matches: bool) -> None:
        actor = {DistinctKey("name"): "earlier", DistinctKey("name"): "later"}
        assert len(actor) == 2
        decision = probe.evaluate({"actor": actor, "snapshot": {"name": reference}})
        assert (decision["matched_rule"] == "same-text") is matches


class Mutator:
    """A value whose float hook changes the map that holds it."""

    def __init__(self, target: dict[str, Any], change: Callable[[dict[str, Any]], None]) -> None:
        self.target = target
        self.change = change

    def __float__(self) -> float:
        self.change(self.target)
        return 1.0


def mutated_map(change: Callable[[dict[str, Any]], None], last: bool = False) -> dict[str, Any]:
    target: dict[str, Any] = {}
    if last:
        target["amount"] = 5.0
    target["hook"] = Mutator(target, change)
    if not last:
        target["amount"] = 5.0
    return target


def add_key(target: dict[str, Any]) -> None:
    target["added"] = 1


def remove_key(target: dict[str, Any]) -> None:
    del target["amount"]


def swap_key(target: dict[str, Any]) -> None:
    del target["amount"]
    target["other"] = 1


class TestMutationDuringConversion:
    @pytest.mark.parametrize(
        "target, message",
        [
            pytest.param(mutated_map(add_key), "dictionary changed size during iteration",
                         id="added"),
            pytest.param(mutated_map(remove_key, last=True), "dictionary changed size during "
                         "iteration", id="removed-by-last-entry"),
            pytest.param(mutated_map(swap_key, last=True), "dictionary keys changed during "
                         "iteration", id="replaced"),
        ],
    )
    def test_internal_failure(self, probe: PyKavro, target: dict[str, Any], message: str) -> None:
        with pytest.raises(BaseException) as info:
            probe.evaluate({"actor": target})
        failure_type = type(info.value)
        assert failure_type.__bases__ == (BaseException,)
        assert not issubclass(failure_type, Exception)
        assert failure_type not in vars(kavro).values()
        assert info.value.args == (message,)

    def test_replaced_text_stays_alive_for_the_call(self, probe: PyKavro) -> None:
        original = "".join(["ab"] * 1000)  # built at run time: the map holds the only copy

        def replace_name(target: dict[str, Any]) -> None:
            target["name"] = "replacement"

        actor: dict[str, Any] = {"name": original}
        actor["hook"] = Mutator(actor, replace_name)
        del original
        decision = probe.evaluate({"actor": actor, "snapshot": {"name": "ab" * 1000}})
        assert decision["matched_rule"] == "same-text"
        assert actor["name"] == "replacement"

    @staticmethod
    def earlier_map_replaced(original: str) -> dict[str, Any]:
        actor: dict[str, Any] = {"name": original}

        def replace_name(target: dict[str, Any]) -> None:
            target["name"] = "replacement"

        return {"actor": actor, "snapshot": {"hook": Mutator(actor, replace_name),
                                             "name": "ab" * 1000}}

    @staticmethod
    def map_dropped_by_its_own_hook(original: str) -> dict[str, Any]:
        request: dict[str, Any] = {}

        def drop_actor(target: dict[str, Any]) -> None:
            del target["actor"]

        request["actor"] = {"hook": Mutator(request, drop_actor), "name": original}
        request["snapshot"] = {"name": "ab" * 1000}
        return request

    @staticmethod
    def replaced_by_a_colliding_key(original: str) -> dict[str, Any]:
        actor: dict[str, Any] = {"name": original}
        armed = []

        class Colliding:
            """Shares the hash of "snapshot", so looking that key up calls __eq__."""

            def __hash__(self) -> int:
                return hash("snapshot")

            def __eq__(self, other: object) -> bool:
                if armed:
                    actor["name"] = "replacement"
                return False

        request: dict[Any, Any] = {"actor": actor, Colliding(): None}
        request["snapshot"] = {"name": "ab" * 1000}
        armed.append(True)
        return request

    @staticmethod
    def later_map_replaced(original: str) -> dict[str, Any]:
        request: dict[str, Any] = {}

        def replace_actor(target: dict[str, Any]) -> None:
            target["actor"] = {"name": original}

        request["action"] = {"hook": Mutator(request, replace_actor)}
        # Built at run time: the replaced map holds the only reference.
        request["actor"] = {"name": "".join(["c", "d"])}
        request["snapshot"] = {"name": "ab" * 1000}
        return request

    @pytest.mark.parametrize(
        "build", [earlier_map_replaced, map_dropped_by_its_own_hook, replaced_by_a_colliding_key,
                  later_map_replaced],
        ids=["earlier-map-replaced", "map-dropped-by-its-own-hook", "replaced-by-a-colliding-key",
             "later-map-replaced"])
    def test_text_stored_around_a_hook_stays_alive(
            self, probe: PyKavro, build: Callable[[str], dict[str, Any]]) -> None:
        # Built at run time, so that the request holds the only reference.
        request = build("".join(["ab"] * 1000))
        decision = probe.evaluate(request)
        assert decision["matched_rule"] == "same-text"


class TestResult:
    def test_keys_in_order_with_none_for_no_rule(self, probe: PyKavro) -> None:
        result = probe.evaluate({})
        assert list(result.items()) == [("effect", "allow"), ("matched_rule", None)]

    def test_each_call_returns_a_new_dict(self, probe: PyKavro) -> None:
        first = probe.evaluate({})
        first["effect"] = "changed"
        assert probe.evaluate({}) == {"effect": "allow", "matched_rule": None}


class OwnHash(str):
    """A key whose hash is not the text's: it must be found by its bytes."""

    def __hash__(self) -> int:
        return 7


def fresh(text: str) -> str:
    """An equal str that is a new object, not the interned one."""
    return "".join(list(text))


# The engine finds the policy's own (interned) name objects by address and
# every other key by its text; all forms of a key must find the same field.
KEY_FORMS: dict[str, Callable[[str], str]] = {
    "literal": lambda text: text,
    "built at run time": fresh,
    "decoded from JSON": lambda text: json.loads(json.dumps(text)),
    "interned at run time": lambda text: sys.intern(fresh(text)),
    "str subclass": Text,
    "str subclass with its own hash": lambda text: OwnHash(text),
}

UNICODE_SCHEMA = """\
version: 1
actions:
  übertrag:
    fields: { größe: number }
actor:
  fields: { straße: string }
snapshot:
  fields: {}
"""
UNICODE_POLICY = """\
version: 1
rules:
  - id: regel-groß
    scope: { action: übertrag }
    when:
      all:
        - { subject: [action, größe], operator: greater_than, value: { literal: 10 } }
        - { subject: [actor, straße], operator: equals, value: { literal: "ß" } }
    effect: require_approval
"""


class TestKeyForms:
    def test_fresh_keys_are_distinct_objects(self) -> None:
        assert fresh("name") is not sys.intern("name")

    @pytest.mark.parametrize("form", KEY_FORMS.values(), ids=KEY_FORMS.keys())
    def test_every_form_of_a_key_finds_its_field(self, probe: PyKavro,
                                                 form: Callable[[str], str]) -> None:
        decision = probe.evaluate({"actor": {form("name"): "x"}, "snapshot": {form("name"): "x"}})
        assert decision["matched_rule"] == "same-text"

    # Literal keys are found by address, copies by their bytes: one map may mix both.
    @pytest.mark.parametrize("first, last", [("decoded from JSON", "literal"),
                                             ("literal", "decoded from JSON")])
    def test_key_forms_mixed_in_one_map(self, probe: PyKavro, first: str, last: str) -> None:
        early, late = KEY_FORMS[first], KEY_FORMS[last]
        request = {"actor": {early("flag"): True, early("amount"): 1, late("name"): "x"},
                   "snapshot": {"flag": False, "amount": 2, "name": "x"}}
        assert probe.evaluate(request)["matched_rule"] == "same-text"

    @pytest.mark.parametrize("other", [{}, {5: None}], ids=["str-keys", "and-an-int-key"])
    @pytest.mark.parametrize("form", KEY_FORMS.values(), ids=KEY_FORMS.keys())
    def test_every_form_of_a_map_name_finds_its_map(self, probe: PyKavro,
                                                    form: Callable[[str], str],
                                                    other: dict[Any, Any]) -> None:
        # As in any dict lookup, a key with a hash of its own is another key.
        found = not isinstance(form("actor"), OwnHash)
        request = {**other, form("actor"): {"name": "x"}, form("snapshot"): {"name": "x"}}
        assert (probe.evaluate(request)["matched_rule"] == "same-text") is found

    @pytest.mark.parametrize("form", KEY_FORMS.values(), ids=KEY_FORMS.keys())
    def test_non_ascii_names(self, form: Callable[[str], str]) -> None:
        engine = PyKavro(UNICODE_SCHEMA, UNICODE_POLICY)
        request = {"action": {form("type"): form("übertrag"), form("größe"): 11},
                   "actor": {form("straße"): "ß"}}
        assert engine.evaluate(request) == {"effect": "require_approval",
                                            "matched_rule": "regel-groß"}
        request["actor"] = {form("strasse"): "ß"}
        assert engine.evaluate(request)["matched_rule"] is None

    # Names past 16 bytes that agree in length and in their first and last
    # eight bytes differ only in the middle, which must still be compared.
    @pytest.mark.parametrize("form", KEY_FORMS.values(), ids=KEY_FORMS.keys())
    @pytest.mark.parametrize("key, found", [("aaaaaaaaXbbbbbbbb", True),
                                            ("aaaaaaaaYbbbbbbbb", False),
                                            ("aaaaaaaabbbbbbbb", False)])
    def test_long_names_compare_every_byte(self, form: Callable[[str], str], key: str,
                                           found: bool) -> None:
        schema = PROBE_SCHEMA.replace("name: string }", "name: string, aaaaaaaaXbbbbbbbb: string }", 1)
        policy = ("version: 1\nrules:\n  - id: long\n    scope: { global: true }\n    when: { subject: [actor, aaaaaaaaXbbbbbbbb],"
                  " operator: equals, value: { literal: x } }\n    effect: block\n")
        engine = PyKavro(schema, policy)
        assert (engine.evaluate({"actor": {form(key): "x"}})["matched_rule"] == "long") is found

    def test_a_name_of_another_domain_is_not_found(self, probe: PyKavro) -> None:
        # The policy reads "name" from actor and snapshot: an action key of that
        # name must not fill the actor's slot.
        decision = probe.evaluate({"action": {"name": "x"}, "snapshot": {"name": "x"}})
        assert decision["matched_rule"] is None


class TestMatchedRuleText:
    def test_repeated_decisions_are_equal(self, probe: PyKavro) -> None:
        request = {"action": {"type": "refund", "amount": 5000}}
        results = [probe.evaluate(request) for _ in range(3)]
        assert results == [{"effect": "block", "matched_rule": "large-refund"}] * 3

    def test_result_outlives_the_engine(self) -> None:
        engine = PyKavro(PROBE_SCHEMA, PROBE_POLICY)
        result = engine.evaluate({"action": {"type": "refund", "amount": 5000}})
        del engine
        gc.collect()
        assert result == {"effect": "block", "matched_rule": "large-refund"}


def test_deep_reentry_from_a_float_hook_ends_in_recursion_error() -> None:
    # A fresh interpreter: before the guard, this overflowed the native stack.
    script = textwrap.dedent("""
        import sys
        import kavro
        from conftest import POLICY, SCHEMA

        engine = kavro.PyKavro(SCHEMA, POLICY)
        seen = []

        class Reentrant:
            def __float__(self):
                try:
                    engine.evaluate({"action": {"type": "refund", "amount": Reentrant()}})
                except BaseException as error:
                    seen.append(type(error).__name__)
                    raise
                return 1.0

        sys.setrecursionlimit(1_000_000)
        try:
            engine.evaluate({"action": {"type": "refund", "amount": Reentrant()}})
        except TypeError as error:
            print(seen[0], set(seen[1:]), error)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, cwd=pathlib.Path(__file__).parent)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "RecursionError {'TypeError'} Unsupported value type"
