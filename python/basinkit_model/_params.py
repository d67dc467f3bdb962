"""Parameter paths: "element.part.field", with dict entries (layers, outlets) by name."""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from datetime import timedelta
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._elements import Basin


def _step(value: Any, key: str) -> Any:
    if isinstance(value, Mapping):
        if key in value:
            return value[key]
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
    if parts[0] not in basin.names:
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
    """'duration' or 'number' for a path a calibration can vary; ValueError otherwise."""
    value = get_path(basin, path)
    if isinstance(value, timedelta):
        return "duration"
    if isinstance(value, float):
        return "number"
    raise ValueError(
        f"parameter path {path!r} holds {type(value).__name__}, not a number or a duration "
        "(counts, curves and unset values cannot be calibrated)"
    )


def _replace(value: Any, keys: list[str], new: Any) -> Any:
    if not keys:
        return new
    head, rest = keys[0], keys[1:]
    child = _replace(_step(value, head), rest, new)
    if isinstance(value, Mapping):
        return {**value, head: child}
    return dataclasses.replace(value, **{head: child})


def set_paths(basin: Basin, values: Mapping[str, Any]) -> Basin:
    """A new basin with every path set; each element validated again."""
    from ._elements import Basin

    elements = {e.name: e for e in basin.elements}
    for path, new in values.items():
        get_path(basin, path)
        parts = path.split(".")
        elements[parts[0]] = _replace(elements[parts[0]], parts[1:], new)
    return Basin(tuple(elements[e.name] for e in basin.elements))
