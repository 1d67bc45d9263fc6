"""YAML for test files, with scalars typed as the policy language types them.

PyYAML follows YAML 1.1, where `yes`, `on` and `0123` are not text; a request
written in a test file means what the same scalar means in a policy literal,
so every plain scalar is typed by the engine itself (`_plain_scalar`): only
true and false (in three casings) are booleans, numbers are decimal or
0x/0o/0b integers and decimal floats. A key written twice is an error here
rather than a silent overwrite. Merge keys (`<<: *normal`) merge, as YAML
1.1 has them; one that merges something other than mappings is an error with
its position.
"""

from __future__ import annotations

import math
from typing import Any

import yaml

from kavro._command.usage import UsageError
from kavro._kavro import _plain_scalar

_MERGE = "tag:yaml.org,2002:merge"
_SPECIAL_FLOATS = {"inf": math.inf, "nan": math.nan}
# The tag every plain scalar resolves to: the engine types it.
_PLAIN = "tag:kavro,plain"


class YamlError(UsageError):
    """A test file that is not YAML."""


class _Loader(yaml.SafeLoader):
    def resolve(self, kind: Any, value: Any, implicit: Any) -> Any:
        if kind is yaml.ScalarNode and implicit[0]:
            return _MERGE if value == "<<" else _PLAIN
        return super().resolve(kind, value, implicit)  # type: ignore[no-untyped-call]

    def construct_object(self, node: yaml.Node, deep: bool = False) -> Any:
        try:
            return super().construct_object(node, deep=deep)
        except (ValueError, KeyError, AttributeError):
            # A scalar its type cannot take: an integer past the interpreter's
            # limit on digits, or a value under an explicit tag (`!!int x`,
            # `!!bool x`, `!!timestamp x`) that the base class does not check.
            raise yaml.constructor.ConstructorError(
                None, None, f"cannot read this value as {node.tag.rpartition(':')[2]}",
                node.start_mark) from None

    def construct_mapping(self, node: yaml.MappingNode, deep: bool = False) -> dict[Any, Any]:
        seen: set[Any] = set()
        # Anything else under a mapping's tag (`!!set 1`) is refused by the base class.
        # A merge key (`<<: *normal`) is not a key of its own: the keys it brings
        # in are merged below, and the mapping's own keys replace them.
        own = [] if not isinstance(node, yaml.MappingNode) else [
            pair for pair in node.value if pair[0].tag != _MERGE]
        for key_node, _ in own:
            if not isinstance(key_node, yaml.ScalarNode):
                # A list or a mapping cannot be a key: Python cannot hash it.
                raise yaml.constructor.ConstructorError(
                    None, None, "a key must be a single value, not a list or mapping",
                    key_node.start_mark)
            key = self.construct_object(key_node, deep=True)
            if key in seen:
                raise yaml.constructor.ConstructorError(
                    None, None, f"key {key!r} is written twice", key_node.start_mark)
            seen.add(key)
        return super().construct_mapping(node, deep=deep)


def _integer(loader: yaml.SafeLoader, node: yaml.ScalarNode) -> int:
    return int(loader.construct_scalar(node), 0)


def _float(loader: yaml.SafeLoader, node: yaml.ScalarNode) -> float:
    text = loader.construct_scalar(node)
    special = text.lstrip("+-.").lower()
    if special in _SPECIAL_FLOATS:
        return math.copysign(_SPECIAL_FLOATS[special], -1.0 if text.startswith("-") else 1.0)
    return float(text)


def _plain(loader: yaml.SafeLoader, node: yaml.ScalarNode) -> Any:
    return _plain_scalar(loader.construct_scalar(node))


_Loader.add_constructor(_PLAIN, _plain)
_Loader.add_constructor("tag:yaml.org,2002:int", _integer)
_Loader.add_constructor("tag:yaml.org,2002:float", _float)


def load_yaml(text: str, name: str) -> tuple[Any, yaml.Node | None]:
    """The document's data and its node tree (for line numbers), or YamlError."""
    loader = _Loader(text)
    try:
        node = loader.get_single_node()
        return (None if node is None else loader.construct_document(node)), node
    except yaml.MarkedYAMLError as error:
        mark = error.problem_mark
        place = name if mark is None else f"{name}:{mark.line + 1}:{mark.column + 1}"
        raise YamlError(f"{place}: {error.problem}") from None
    except yaml.YAMLError as error:
        raise YamlError(f"{name}: {error}") from None
    except RecursionError:
        raise YamlError(f"{name}: values nested too deeply to read") from None
    finally:
        loader.dispose()
