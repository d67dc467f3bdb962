"""Basin files: TOML with one table per element, in the order of the basin.

    [upper]
    kind = "subbasin"
    area_acres = 6400.0
    downstream = "channel"
    [upper.loss]
    initial_deficit = 0.6
    max_deficit = 1.5
    rate_in_per_hr = 0.12
    time_to_dry = "PT36H"
    [upper.transform]
    tc = { hours = 4 }
    storage_r = "PT3H"

Durations are ISO-8601 strings ("PT3H", "P1DT30M") or tables such as
``{hours = 3}``; curves are arrays; series (a source's flow, a release
schedule) are ``{times = [...], values = [...]}`` with TOML date-times.

Time zones: naive times are written naive, UTC and fixed offsets with their
offset. A series in a named zone is written as UTC times with the zone's
name, so that it reads back equal across daylight-saving changes::

    flow = { timezone = "Europe/Berlin", times = [2024-10-27T00:00:00Z, ...], values = [...] }

Instants finer than a microsecond are refused on save (TOML stops there).

A top-level ``units = "si"`` (before the first table) gives every value in SI
units (mm, km^2, m^3/s, m, m^3); without it, or with ``units = "us"``, they are
US customary (inches, acres, cfs, feet, cubic feet).
"""

from __future__ import annotations

import dataclasses
import os
import tomllib
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any, TypeVar

import tomli_w

from . import _checks as chk
from ._units import US, check_system
from . import _tomlvalues as tv
from ._elements import Basin, Element, Junction, Reach, Reservoir, Source, Subbasin
from ._elements import kind as kind_of
from ._registry import Method, lookup, role_of, to_table
from ._tomlvalues import format_duration, parse_duration

__all__ = ["BasinFileError", "dumps", "format_duration", "load", "loads", "parse_duration", "save"]

T = TypeVar("T")


class BasinFileError(ValueError):
    """A basin file that cannot be read: the message names the file, the element and the key."""


# ---------------------------------------------------------------- reading


class _Table:
    """One TOML table of an element; every key must be used exactly once."""

    def __init__(self, data: object, file: str, element: str, prefix: str) -> None:
        self.file, self.element, self.prefix = file, element, prefix
        if not isinstance(data, Mapping):
            raise self.error("", f"must be a table, got {type(data).__name__}")
        self.data = dict(data)
        self.used: set[str] = set()

    def error(self, key: str, message: str) -> BasinFileError:
        where = f"{self.prefix}{key}".rstrip(".")
        key_part = f", key '{where}'" if where else ""
        return BasinFileError(f"{self.file}: element '{self.element}'{key_part}: {message}")

    def has(self, key: str) -> bool:
        return key in self.data

    def take(self, key: str, convert: Callable[[Any], T], default: Any = ...) -> T:
        self.used.add(key)
        if key not in self.data:
            if default is ...:
                raise self.error(key, "is missing")
            return default  # type: ignore[no-any-return]
        try:
            return convert(self.data[key])
        except BasinFileError:
            raise
        except (TypeError, ValueError) as exc:
            raise self.error(key, str(exc)) from None

    def sub(self, key: str) -> _Table:
        self.used.add(key)
        if key not in self.data:
            raise self.error(key, "is missing")
        return _Table(self.data[key], self.file, self.element, f"{self.prefix}{key}.")

    def method(self, role: str) -> Method:
        """The method of `role` this table describes, its own checks reported against its keys."""
        r = role_of(role)
        tag = self.take(r.key, _str, r.default if r.default is not None else ...)
        try:
            cls = lookup(role, tag)
        except ValueError as exc:
            raise self.error(r.key, str(exc)) from None
        values = {
            name: self.take(name, field.from_file, ... if fallback is dataclasses.MISSING else fallback)
            for name, field, fallback in cls.declared()
        }
        try:
            made = cls(**values)
        except (chk.FieldError, chk.FieldTypeError) as exc:
            raise (self.error(exc.field, exc.reason) if exc.field else self.error("", str(exc))) from None
        self.done()
        return made

    def done(self) -> None:
        extra = [k for k in self.data if k not in self.used]
        if extra:
            raise self.error(extra[0], "is not a known key here")


def _str(v: object) -> str:
    if not isinstance(v, str):
        raise ValueError(f"needs a string, got {type(v).__name__}")
    return v


def _subbasin(t: _Table, name: str, down: str | None) -> Element:
    loss, transform = t.sub("loss").method("loss"), t.sub("transform").method("transform")
    layers = None
    if t.has("baseflow"):
        base_t = t.sub("baseflow")
        layers = {layer: base_t.sub(layer).method("baseflow") for layer in base_t.data}
    area = t.take("area_acres", tv.number_from_file)
    return Subbasin(name, area, loss, transform, layers, down)  # type: ignore[arg-type]


def _reach(t: _Table, name: str, down: str | None) -> Element:
    return Reach(name, t.sub("routing").method("routing"), down)  # type: ignore[arg-type]


def _reservoir(t: _Table, name: str, down: str | None) -> Element:
    ot = t.sub("outlets")
    outlets = {o: ot.sub(o).method("outlet") for o in ot.data}
    return Reservoir(
        name,
        t.take("elevations", tv.floats_from_file),
        t.take("storages", tv.floats_from_file),
        outlets,  # type: ignore[arg-type]
        t.take("initial_elevation", tv.number_from_file),
        down,
        t.take("method", _str, role_of("reservoir method").default),
    )


def _junction(t: _Table, name: str, down: str | None) -> Element:
    return Junction(name, down)


def _source(t: _Table, name: str, down: str | None) -> Element:
    return Source(name, t.take("flow", tv.series_from_file), down)


_READ: dict[str, Callable[[_Table, str, str | None], Element]] = {
    "subbasin": _subbasin,
    "reach": _reach,
    "reservoir": _reservoir,
    "junction": _junction,
    "source": _source,
}


def _element(t: _Table, name: str) -> Element:
    kind = t.take("kind", _str)
    down = t.take("downstream", _str, None)
    read = _READ.get(kind)
    if read is None:
        raise t.error("kind", f"unknown element kind {kind!r} (subbasin, reach, reservoir, junction or source)")
    e = read(t, name, down)
    t.done()
    return e


def loads(text: str, *, file: str = "<string>") -> Basin:
    """A basin from TOML text; `file` names the source in error messages."""
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise BasinFileError(f"{file}: {exc}") from None
    except RecursionError:
        raise BasinFileError(f"{file}: arrays or tables nested too deeply to read") from None
    elements = []
    units = US
    for name, table in data.items():
        if name == "units" and not isinstance(table, dict):
            try:
                units = check_system(table, "units")
            except (TypeError, ValueError) as exc:
                raise BasinFileError(f"{file}: key 'units': {exc}") from None
            continue
        try:
            elements.append(_element(_Table(table, file, name, ""), name))
        except BasinFileError:
            raise
        except (TypeError, ValueError) as exc:
            # Raised by an element's own checks, which name the element and the field.
            raise BasinFileError(f"{file}: {exc}") from None
    try:
        return Basin(tuple(elements), units)
    except (TypeError, ValueError) as exc:
        raise BasinFileError(f"{file}: {exc}") from None


def load(path: str | os.PathLike[str]) -> Basin:
    """A basin from a TOML basin file."""
    p = Path(path)
    try:
        text = p.read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:
        raise BasinFileError(f"{p}: not a text file in UTF-8 (byte {exc.start} cannot be read)") from None
    return loads(text, file=str(p))


# ---------------------------------------------------------------- writing


def _subbasin_table(e: Any) -> dict[str, Any]:
    t: dict[str, Any] = {"kind": "subbasin", "area_acres": e.area_acres}
    t["loss"] = to_table(e.loss)
    t["transform"] = to_table(e.transform)
    if e.baseflow is not None:
        t["baseflow"] = {name: to_table(b) for name, b in e.baseflow.items()}
    return t


def _reservoir_table(e: Any) -> dict[str, Any]:
    t: dict[str, Any] = {
        "kind": "reservoir",
        "elevations": list(e.elevations),
        "storages": list(e.storages),
        "initial_elevation": e.initial_elevation,
        "outlets": {name: to_table(o) for name, o in e.outlets.items()},
    }
    if e.method != role_of("reservoir method").default:
        t["method"] = e.method
    return t


_WRITE: dict[type, Callable[[Any], dict[str, Any]]] = {
    Subbasin: _subbasin_table,
    Reach: lambda e: {"kind": "reach", "routing": to_table(e.routing)},
    Reservoir: _reservoir_table,
    Junction: lambda e: {"kind": "junction"},
    Source: lambda e: {"kind": "source", "flow": tv.series_to_file(e.flow)},
}


def _element_table(e: Element) -> dict[str, Any]:
    try:
        t = _WRITE[type(e)](e)
    except ValueError as exc:
        raise ValueError(f"{kind_of(e)} '{e.name}': {exc}") from None
    if e.downstream is not None:
        t["downstream"] = e.downstream
    return t


def dumps(basin: Basin) -> str:
    """The basin as TOML text (``units`` written only for an SI basin)."""
    doc: dict[str, Any] = {}
    if basin.units != US:
        if "units" in basin.names:
            raise ValueError("an SI basin with an element named 'units' cannot be written: rename the element")
        doc["units"] = basin.units
    doc.update({e.name: _element_table(e) for e in basin.elements})
    return tomli_w.dumps(doc)


def save(basin: Basin, path: str | os.PathLike[str]) -> None:
    """Writes the basin to a TOML file."""
    Path(path).write_text(dumps(basin), encoding="utf-8")
