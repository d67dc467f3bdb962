"""Parameter paths: "element.part.field", with dict entries (layers, outlets) by name."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from datetime import timedelta
from typing import TYPE_CHECKING, Any

from ._registry import Method

if TYPE_CHECKING:
    from ._elements import Basin


def _step(value: Any, key: str) -> Any:
    if isinstance(value, Mapping):
        if key in value:
            return value[key]
        raise KeyError(key)
    if isinstance(value, Method):
        if key in {name for name, _, _ in value.declared()}:
            return getattr(value, key)
        raise KeyError(key)
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        names = {f.name for f in dataclasses.fields(value) if f.init}
        if key in names and key != "name":
            return getattr(value, key)
    raise KeyError(key)


def _split(basin: Basin, path: str) -> list[str]:
    if not isinstance(path, str):
        raise TypeError(f"a parameter path must be a str, got {type(path).__name__}")
    parts = path.split(".")
    if len(parts) < 2 or not all(parts):
        raise ValueError(f"parameter path {path!r} must look like 'element.field' or 'element.part.field'")
    if parts[0] not in basin._by_name:
        raise ValueError(f"parameter path {path!r}: no element named {parts[0]!r}")
    return parts


def get_path(basin: Basin, path: str) -> Any:
    """The value at `path`; ValueError naming the first part that does not exist."""
    parts = _split(basin, path)
    value: Any = basin.element(parts[0])
    for i, key in enumerate(parts[1:], 1):
        try:
            value = _step(value, key)
        except KeyError:
            raise ValueError(
                f"parameter path {path!r}: {'.'.join(parts[:i])} has no {key!r}"
            ) from None
    return value


def numeric_path(basin: Basin, path: str) -> str:
    """'duration' or 'number' for a path a calibration can vary; ValueError otherwise.

    A method's field says so in its declaration; an element's own numbers
    (area, initial elevation) by their type.
    """
    value = get_path(basin, path)
    *parts, last = path.split(".")
    parent = get_path(basin, ".".join(parts)) if len(parts) > 1 else None
    if isinstance(parent, Method):
        field = {name: f for name, f, _ in parent.declared()}[last]
        if field.calibration is not None and value is not None:
            return field.calibration
    elif isinstance(value, timedelta):
        return "duration"
    elif isinstance(value, float):
        return "number"
    raise ValueError(
        f"parameter path {path!r} holds {type(value).__name__}, not a number or a duration "
        "(counts, curves and unset values cannot be calibrated)"
    )


class _Leaf:
    """A new value at the end of a path (as opposed to a branch of further parts)."""

    def __init__(self, value: Any) -> None:
        self.value = value


def _apply(value: Any, changes: Mapping[str, Any]) -> Any:
    # Every part is replaced once with all of its changes, so that fields checked
    # against each other (initial and max deficit) can change together.
    new = {
        key: change.value if isinstance(change, _Leaf) else _apply(_step(value, key), change)
        for key, change in changes.items()
    }
    if isinstance(value, Mapping):
        return {**value, **new}
    return dataclasses.replace(value, **new)


def _nested(outer: str, inner: str) -> ValueError:
    return ValueError(f"with_values got both {outer!r} and {inner!r}, which lies inside it: set one or the other")


def set_paths(basin: Basin, values: Mapping[str, Any]) -> Basin:
    """A new basin with every path set; each changed part validated again."""
    from ._elements import Basin

    tree: dict[str, Any] = {}
    given: dict[tuple[str, ...], str] = {}  # every path's parts -> the path as given
    for path, new in values.items():
        get_path(basin, path)
        key = tuple(path.split("."))
        # A part and a field under it in one call: which should win is not ours to guess.
        for i in range(1, len(key)):
            if key[:i] in given:
                raise _nested(given[key[:i]], path)
        given[key] = path
        *parts, last = key
        node = tree
        for part in parts:
            node = node.setdefault(part, {})
        if isinstance(node.get(last), dict):
            under = next(p for k, p in given.items() if len(k) > len(key) and k[: len(key)] == key)
            raise _nested(path, under)
        node[last] = _Leaf(new)
    elements = [
        _apply(e, tree[e.name]) if e.name in tree else e for e in basin.elements
    ]
    return Basin(tuple(elements), basin.units)
