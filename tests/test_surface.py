"""The module and class surface: names, docstrings, signatures, argument binding."""

from __future__ import annotations

import pickle
import subprocess
import sys
import types
from typing import Any, Callable

import pytest

import kavro
from conftest import POLICY, SCHEMA, raises_exactly, run_fresh
from kavro import PyKavro
from kavro._kavro import DecisionLines

EVALUATE_DOC = (
    "Evaluates the compiled policy against runtime input.\n\n"
    "Expected input format:\n{\n"
    '    "action": { ... },\n    "actor": { ... },\n    "snapshot": { ... }\n}\n\n'
    "Missing keys are treated as empty maps.\n\n"
    'Returns:\n{\n    "effect": "allow" | "block" | "require_approval",\n'
    '    "matched_rule": Optional[str]\n}'
)


def kavro_version_of(engine: PyKavro) -> str:
    return engine.compiler_version()


class TestModuleAndClass:
    def test_module_docstring_and_exports(self) -> None:
        assert kavro.__doc__ == (
            "Python module entry point.\n\nMust match the compiled library name to satisfy "
            "Python's\n`PyInit_<module>` symbol requirements."
        )
        assert kavro.__all__[0] == "PyKavro"
        # Submodules (kavro.dask) appear once imported; they are not exports.
        public = [name for name, value in vars(kavro).items()
                  if not name.startswith("_") and not isinstance(value, types.ModuleType)]
        assert sorted(public) == sorted(kavro.__all__)
        assert kavro.PyKavro is kavro._kavro.PyKavro

    def test_class_names(self) -> None:
        assert (PyKavro.__name__, PyKavro.__qualname__, PyKavro.__module__) == (
            "PyKavro", "PyKavro", "kavro")
        assert PyKavro.__bases__ == (object,)

    @pytest.mark.parametrize(
        "member, signature, doc",
        [
            pytest.param(PyKavro, "(schema_yaml, policy_yaml, governance_yaml=None)",
                         "Python-exposed Kavro class.\n\nThis is a thin wrapper around "
                         "`CompiledPolicy`.\nCompilation occurs during initialization.\n"
                         "Evaluation is deterministic and stateless.", id="class"),
            pytest.param(PyKavro.evaluate, "($self, input)", EVALUATE_DOC, id="evaluate"),
            pytest.param(PyKavro.policy_hash, "($self)", None, id="policy_hash"),
            pytest.param(PyKavro.compiler_version, "()", None, id="compiler_version"),
        ],
    )
    def test_docstrings_and_signatures(self, member: Any, signature: str, doc: str | None) -> None:
        assert member.__text_signature__ == signature
        assert member.__doc__ == doc

    def test_compiler_version_on_class_and_instance(self, engine: PyKavro) -> None:
        assert PyKavro.compiler_version() == "0.7.8"
        assert engine.compiler_version() == "0.7.8"

    def test_policy_hash_is_stable_lowercase_hex(self, engine: PyKavro) -> None:
        digest = engine.policy_hash()
        assert digest == engine.policy_hash()
        assert len(digest) == 64 and set(digest) <= set("0123456789abcdef")

    @pytest.mark.parametrize("name", ["x", "evaluate", "__dict__", "__weakref__"])
    def test_instances_take_no_attributes(self, engine: PyKavro, name: str) -> None:
        with pytest.raises(AttributeError):
            setattr(engine, name, 1)

    def test_class_and_functions_naming_it_pickle_by_reference(self) -> None:
        assert pickle.loads(pickle.dumps(PyKavro)) is PyKavro
        assert pickle.loads(pickle.dumps(kavro_version_of)) is kavro_version_of

    def test_class_cannot_be_subclassed(self) -> None:
        raises_exactly(TypeError, "type 'kavro.PyKavro' is not an acceptable base type",
                       type, "Derived", (PyKavro,), {})

    @pytest.mark.parametrize("method", ["policy_hash", "compiler_version"])
    def test_methods_without_parameters_reject_arguments(self, engine: PyKavro,
                                                         method: str) -> None:
        raises_exactly(TypeError, f"PyKavro.{method}() takes no arguments (1 given)",
                       getattr(engine, method), 1)

    def test_second_initialisation_fails(self) -> None:
        script = (
            "import importlib, sys, kavro\n"
            "del sys.modules['kavro._kavro']\n"
            "try:\n"
            "    importlib.import_module('kavro._kavro')\n"
            "except ImportError as error:\n"
            "    print(error)\n"
        )
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                check=True)
        assert result.stdout == (
            "the kavro module may be initialised only once per interpreter process\n")


def new(*args: Any, **kwargs: Any) -> PyKavro:
    return PyKavro(*args, **kwargs)


class TestConstructorArguments:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            pytest.param((SCHEMA, POLICY), {}, id="two-positional"),
            pytest.param((SCHEMA, POLICY, None), {}, id="governance-none"),
            pytest.param((SCHEMA, POLICY), {"governance_yaml": None}, id="governance-keyword"),
            pytest.param((), {"schema_yaml": SCHEMA, "policy_yaml": POLICY}, id="all-keywords"),
            pytest.param((SCHEMA,), {"policy_yaml": POLICY}, id="mixed"),
        ],
    )
    def test_accepted_forms_build_the_same_policy(self, engine: PyKavro, args: tuple[Any, ...],
                                                  kwargs: dict[str, Any]) -> None:
        assert new(*args, **kwargs).policy_hash() == engine.policy_hash()

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            pytest.param((), {}, "PyKavro.__new__() missing 2 required positional arguments: "
                         "'schema_yaml' and 'policy_yaml'", id="none"),
            pytest.param((SCHEMA,), {}, "PyKavro.__new__() missing 1 required positional "
                         "argument: 'policy_yaml'", id="one"),
            pytest.param((), {"policy_yaml": POLICY}, "PyKavro.__new__() missing 1 required "
                         "positional argument: 'schema_yaml'", id="policy-keyword-only"),
            pytest.param((SCHEMA, POLICY, None, None), {}, "PyKavro.__new__() takes from 2 to 3 "
                         "positional arguments but 4 were given", id="four"),
            pytest.param((SCHEMA, POLICY), {"schema_yaml": SCHEMA}, "PyKavro.__new__() got "
                         "multiple values for argument 'schema_yaml'", id="multiple"),
            pytest.param((SCHEMA, POLICY), {"strict": True}, "PyKavro.__new__() got an "
                         "unexpected keyword argument 'strict'", id="unexpected"),
            pytest.param((SCHEMA, POLICY, None, None), {"strict": True}, "PyKavro.__new__() "
                         "takes from 2 to 3 positional arguments but 4 were given",
                         id="count-before-keywords"),
            pytest.param((SCHEMA,), {"strict": True}, "PyKavro.__new__() got an unexpected "
                         "keyword argument 'strict'", id="keywords-before-missing"),
            pytest.param((b"version: 1", POLICY), {}, "argument 'schema_yaml': 'bytes' object "
                         "cannot be converted to 'PyString'", id="bytes-schema"),
            pytest.param((SCHEMA, 7), {}, "argument 'policy_yaml': 'int' object cannot be "
                         "converted to 'PyString'", id="int-policy"),
            pytest.param((SCHEMA, POLICY, 5), {}, "argument 'governance_yaml': 'int' object "
                         "cannot be converted to 'PyString'", id="int-governance"),
            pytest.param((None, POLICY), {}, "argument 'schema_yaml': 'NoneType' object cannot "
                         "be converted to 'PyString'", id="none-schema"),
            pytest.param(("", 7), {}, "argument 'policy_yaml': 'int' object cannot be "
                         "converted to 'PyString'", id="types-before-loading"),
        ],
    )
    def test_binding_errors(self, args: tuple[Any, ...], kwargs: dict[str, Any],
                            message: str) -> None:
        raises_exactly(TypeError, message, new, *args, **kwargs)

    def test_unencodable_text_raises_the_encoding_error_unprefixed(self) -> None:
        with pytest.raises(UnicodeEncodeError) as info:
            PyKavro(SCHEMA, "version: 1\nrules: []\n# \ud800")
        assert str(info.value) == (
            "'utf-8' codec can't encode character '\\ud800' in position 23: surrogates not allowed")

    def test_str_subclass_arguments_are_text(self, engine: PyKavro) -> None:
        class Text(str):
            pass

        assert PyKavro(Text(SCHEMA), Text(POLICY)).policy_hash() == engine.policy_hash()


class Unnamed(type):
    """A metaclass whose classes cannot report their __qualname__."""

    def __getattribute__(cls, name: str) -> Any:
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Anonymous(metaclass=Unnamed):
    pass


class Outer:
    class Inner:
        pass


class TestEvaluateArguments:
    @pytest.mark.parametrize(
        "call, message",
        [
            pytest.param(lambda e: e.evaluate(), "PyKavro.evaluate() missing 1 required "
                         "positional argument: 'input'", id="missing"),
            pytest.param(lambda e: e.evaluate({}, {}), "PyKavro.evaluate() takes 1 positional "
                         "arguments but 2 were given", id="two"),
            pytest.param(lambda e: e.evaluate({}, input={}), "PyKavro.evaluate() got multiple "
                         "values for argument 'input'", id="multiple"),
            pytest.param(lambda e: e.evaluate(request={}), "PyKavro.evaluate() got an "
                         "unexpected keyword argument 'request'", id="unexpected"),
            pytest.param(lambda e: e.evaluate([]), "argument 'input': 'list' object cannot be "
                         "converted to 'PyDict'", id="list"),
            pytest.param(lambda e: e.evaluate(None), "argument 'input': 'NoneType' object "
                         "cannot be converted to 'PyDict'", id="none"),
            pytest.param(lambda e: e.evaluate(Outer.Inner()), "argument 'input': 'Outer.Inner' "
                         "object cannot be converted to 'PyDict'", id="qualname"),
            pytest.param(lambda e: e.missing_fields(), "PyKavro.missing_fields() missing 1 "
                         "required positional argument: 'input'", id="missing_fields-missing"),
            pytest.param(lambda e: e.missing_fields([]), "argument 'input': 'list' object "
                         "cannot be converted to 'PyDict'", id="missing_fields-list"),
            pytest.param(lambda e: e.evaluate(Anonymous()), "argument 'input': '<failed to "
                         "extract type name>' object cannot be converted to 'PyDict'",
                         id="unreadable-qualname"),
        ],
    )
    def test_binding_errors(self, engine: PyKavro, call: Callable[[PyKavro], Any],
                            message: str) -> None:
        raises_exactly(TypeError, message, call, engine)

    def test_keyword_input_is_accepted(self, engine: PyKavro) -> None:
        assert engine.evaluate(input={}) == {"effect": "allow", "matched_rule": None}

    def test_unreadable_qualname_of_a_constructor_argument(self) -> None:
        raises_exactly(TypeError, "argument 'schema_yaml': '<failed to extract type name>' "
                       "object cannot be converted to 'PyString'", PyKavro, Anonymous(), POLICY)


def _lines(**changes: Any) -> DecisionLines:
    arguments: dict[str, Any] = {"sink": print, "id_prefix": "p", "mask": {}, "flush_every": 1,
                                 "text_lines": True, **changes}
    return DecisionLines(**arguments)


class TestServiceHelperArguments:
    @pytest.mark.parametrize(
        "call, error, message",
        [
            pytest.param(lambda e: _lines(sink=5), TypeError,
                         "argument 'sink': a callable is needed", id="sink"),
            pytest.param(lambda e: _lines(mask={"request": ["x"]}), ValueError,
                         "cannot mask a field of request", id="mask-part"),
            pytest.param(lambda e: _lines(mask=["actor"]), TypeError,
                         "argument 'mask': 'list' object cannot be converted to 'PyDict'",
                         id="mask-not-dict"),
            pytest.param(lambda e: _lines(flush_every=0), ValueError,
                         "flush_every must be at least 1", id="flush-every"),
            pytest.param(lambda e: _lines(enabled=1), TypeError,
                         "argument 'enabled': a callable or None is needed", id="enabled"),
            pytest.param(lambda e: _lines().decide("engine", "h", {}), TypeError,
                         "argument 'engine': 'str' object cannot be converted to 'PyKavro'",
                         id="decide-engine"),
            pytest.param(lambda e: _lines().decide(e, "h", []), TypeError,
                         "argument 'input': 'list' object cannot be converted to 'PyDict'",
                         id="decide-input"),
            pytest.param(lambda e: _lines().decide(e, None, {}), TypeError,
                         "argument 'policy_hash': 'NoneType' object cannot be converted to "
                         "'PyString'", id="decide-hash"),
            pytest.param(lambda e: e._decide_batch((), "h", print, True, None), TypeError,
                         "argument 'requests': 'tuple' object cannot be converted to 'PyList'",
                         id="batch-requests"),
            pytest.param(lambda e: e._decide_batch([5], "h", lambda i: "{}", True, None),
                         TypeError, "answer() must return the JSON of a request as bytes",
                         id="batch-answer"),
            pytest.param(lambda e: e._decide_batch([], "h", print, True, print), TypeError,
                         "argument 'log': 'builtin_function_or_method' object cannot be "
                         "converted to 'DecisionLines'", id="batch-log"),
        ],
    )
    def test_binding_errors(self, engine: PyKavro, call: Callable[[PyKavro], Any],
                            error: type[BaseException], message: str) -> None:
        raises_exactly(error, message, call, engine)


@pytest.mark.parametrize(
    "call, expected",
    [
        pytest.param("print(bare.evaluate({}))", "TypeError: PyKavro object is not initialised",
                     id="evaluate"),
        pytest.param("print(bare.evaluate())", "TypeError: PyKavro object is not initialised",
                     id="evaluate-without-input"),
        pytest.param("print(bare.policy_hash())", "TypeError: PyKavro object is not initialised",
                     id="policy_hash"),
        pytest.param("print(bare.missing_fields({}))",
                     "TypeError: PyKavro object is not initialised", id="missing_fields"),
        pytest.param("print(bare._policy_default())",
                     "TypeError: PyKavro object is not initialised", id="policy_default"),
        pytest.param("print(bare.compiler_version())", "0.7.8", id="compiler_version"),
        pytest.param("print(bare._decide_batch([], 'h', print, True, None))",
                     "TypeError: PyKavro object is not initialised", id="decide_batch"),
        pytest.param("print(DecisionLines(print, 'p', {}, 1, True).decide(bare, 'h', {}))",
                     "TypeError: PyKavro object is not initialised", id="decision-lines-decide"),
        pytest.param("del bare; gc.collect(); print(engine.evaluate({})['effect'])", "allow",
                     id="dropped"),
    ],
)
def test_instance_that_skipped_construction(call: str, expected: str) -> None:
    # The class stays patchable, so a replaced __new__ can make an instance
    # that never went through construction; a real engine runs first, so
    # stale memory is not all zeros.
    done = run_fresh(f"""
        import gc
        from conftest import POLICY, SCHEMA
        from kavro import PyKavro
        from kavro._kavro import DecisionLines
        engine = PyKavro(SCHEMA, POLICY)
        engine.evaluate({{"action": {{"type": "refund", "amount": 5}}}})
        PyKavro.__new__ = staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))
        bare = PyKavro()
        try:
            {call}
        except TypeError as error:
            print("TypeError:", error)
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == expected


def test_failed_subinterpreter_import_leaves_the_main_interpreter_free() -> None:
    done = run_fresh("""
        import _testcapi
        status = _testcapi.run_in_subinterp("import kavro")
        import kavro
        print(status, kavro.PyKavro.compiler_version())
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["-1", "0.7.8"]
    assert "ImportError: the kavro module can be imported only in the main interpreter" in done.stderr
