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
"""

from __future__ import annotations

import os
import re
import tomllib
from collections.abc import Callable, Mapping
from datetime import datetime, timedelta
from pathlib import Path
from typing import Any, TypeVar

import pandas as pd
import tomli_w

from ._elements import (
    Basin,
    Baseflow,
    Clark,
    ConstantRelease,
    DeficitConstant,
    Element,
    Gate,
    Junction,
    Muskingum,
    Outlet,
    Reach,
    ReleaseSchedule,
    Reservoir,
    Source,
    Spillway,
    Subbasin,
)

T = TypeVar("T")


class BasinFileError(ValueError):
    """A basin file that cannot be read: the message names the file, the element and the key."""


_ISO = re.compile(
    r"^P(?:(?P<weeks>\d+(?:\.\d+)?)W)?(?:(?P<days>\d+(?:\.\d+)?)D)?"
    r"(?:T(?:(?P<hours>\d+(?:\.\d+)?)H)?(?:(?P<minutes>\d+(?:\.\d+)?)M)?(?:(?P<seconds>\d+(?:\.\d+)?)S)?)?$"
)
_UNITS = ("weeks", "days", "hours", "minutes", "seconds", "milliseconds", "microseconds")


def parse_duration(value: object) -> timedelta:
    """An ISO-8601 duration string or a table of `timedelta` keywords as a `timedelta`."""
    if isinstance(value, str):
        m = _ISO.match(value.strip().upper())
        if m is None or value.strip().upper() in ("P", "PT") or value.strip().upper().endswith("T"):
            raise ValueError(f"{value!r} is not an ISO-8601 duration such as 'PT3H' or 'P1DT30M'")
        return timedelta(**{k: float(v) for k, v in m.groupdict().items() if v is not None})
    if isinstance(value, Mapping):
        unknown = [k for k in value if k not in _UNITS]
        if unknown:
            raise ValueError(f"unknown duration unit {unknown[0]!r} (use {', '.join(_UNITS)})")
        parts = {}
        for k, v in value.items():
            if isinstance(v, bool) or not isinstance(v, (int, float)):
                raise ValueError(f"duration unit {k!r} needs a number, got {type(v).__name__}")
            parts[k] = float(v)
        return timedelta(**parts)
    raise ValueError(f"a duration must be an ISO-8601 string or a table like {{hours = 3}}, got {type(value).__name__}")


def format_duration(d: timedelta) -> str:
    """The ISO-8601 form of a non-negative `timedelta` (days, hours, minutes, seconds)."""
    seconds = d.seconds
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    text = "P" + (f"{d.days}D" if d.days else "")
    time = (f"{h}H" if h else "") + (f"{m}M" if m else "")
    if d.microseconds:
        time += f"{s}.{d.microseconds:06d}".rstrip("0") + "S"
    elif s:
        time += f"{s}S"
    if time:
        text += "T" + time
    return text if text != "P" else "PT0S"


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

    def take(self, key: str, convert: Callable[[Any], T], default: Any = ..., ) -> T:
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

    def make(self, cls: Callable[..., T], *args: Any) -> T:
        """Builds a part, its own checks reported against this table's keys."""
        try:
            return cls(*args)
        except (TypeError, ValueError) as exc:
            message, head = str(exc), f"{getattr(cls, '__name__', '')}."
            if message.startswith(head):
                field, _, rest = message[len(head) :].partition(" ")
                raise self.error(field, rest) from None
            raise self.error("", message) from None

    def done(self) -> None:
        extra = [k for k in self.data if k not in self.used]
        if extra:
            raise self.error(extra[0], "is not a known key here")


def _float(v: object) -> float:
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        raise ValueError(f"needs a number, got {type(v).__name__}")
    return float(v)


def _opt_float(v: object) -> float | None:
    return _float(v)


def _int(v: object) -> int:
    if isinstance(v, bool) or not isinstance(v, int):
        raise ValueError(f"needs an integer, got {type(v).__name__}")
    return v


def _str(v: object) -> str:
    if not isinstance(v, str):
        raise ValueError(f"needs a string, got {type(v).__name__}")
    return v


def _floats(v: object) -> tuple[float, ...]:
    if not isinstance(v, list):
        raise ValueError(f"needs an array of numbers, got {type(v).__name__}")
    return tuple(_float(x) for x in v)


def _series(v: object) -> pd.Series:
    if not isinstance(v, Mapping) or set(v) != {"times", "values"}:
        raise ValueError("needs a table {times = [...], values = [...]}")
    times, values = v["times"], v["values"]
    if not isinstance(times, list) or not all(isinstance(t, datetime) for t in times):
        raise ValueError("times needs an array of date-times")
    numbers = _floats(values)
    if len(numbers) != len(times):
        raise ValueError(f"times has {len(times)} entries but values has {len(numbers)}")
    return pd.Series(numbers, index=pd.DatetimeIndex(times), dtype="float64")


def _outlet(t: _Table) -> Outlet:
    kind = t.take("kind", _str)
    out: Outlet
    if kind == "spillway":
        out = t.make(
            Spillway,
            t.take("elevations", _floats),
            t.take("discharges", _floats),
            t.take("offset", _opt_float, None),
        )
    elif kind == "gate":
        out = t.make(
            Gate,
            t.take("elevations", _floats),
            t.take("discharges", _floats),
            t.take("minimum_elevation", _opt_float, None),
            t.take("maximum_elevation", _opt_float, None),
            t.take("maximum_release", _opt_float, None),
        )
    elif kind == "constant":
        out = t.make(
            ConstantRelease,
            t.take("q", _float),
            t.take("minimum_elevation", _opt_float, None),
            t.take("maximum_elevation", _opt_float, None),
        )
    elif kind == "schedule":
        out = t.make(
            ReleaseSchedule,
            t.take("flow", _series),
            t.take("minimum_elevation", _opt_float, None),
            t.take("maximum_elevation", _opt_float, None),
            t.take("maximum_release", _opt_float, None),
        )
    else:
        raise t.error("kind", f"unknown outlet kind {kind!r} (spillway, gate, constant or schedule)")
    t.done()
    return out


def _element(t: _Table, name: str) -> Element:
    kind = t.take("kind", _str)
    down = t.take("downstream", _str, None)
    e: Element
    if kind == "subbasin":
        loss_t, clark_t = t.sub("loss"), t.sub("transform")
        loss = loss_t.make(
            DeficitConstant,
            loss_t.take("initial_deficit", _float),
            loss_t.take("max_deficit", _float),
            loss_t.take("rate_in_per_hr", _float),
            loss_t.take("time_to_dry", parse_duration),
        )
        loss_t.done()
        clark = clark_t.make(Clark, clark_t.take("tc", parse_duration), clark_t.take("storage_r", parse_duration))
        clark_t.done()
        layers = None
        if t.has("baseflow"):
            base_t = t.sub("baseflow")
            layers = {}
            for layer in base_t.data:
                lt = base_t.sub(layer)
                layers[layer] = lt.make(
                    Baseflow,
                    lt.take("k", parse_duration),
                    lt.take("fraction", _float),
                    lt.take("initial_q", _float),
                    lt.take("reservoirs", _int, 1),
                )
                lt.done()
        e = Subbasin(name, t.take("area_acres", _float), loss, clark, layers, down)
    elif kind == "reach":
        rt = t.sub("routing")
        routing = rt.make(
            Muskingum,
            rt.take("k", parse_duration),
            rt.take("x", _float),
            rt.take("sub_reaches", _int, 1),
            rt.take("initial_outflow", _opt_float, None),
        )
        rt.done()
        e = Reach(name, routing, down)
    elif kind == "reservoir":
        ot = t.sub("outlets")
        outlets = {o: _outlet(ot.sub(o)) for o in ot.data}
        e = Reservoir(
            name,
            t.take("elevations", _floats),
            t.take("storages", _floats),
            outlets,
            t.take("initial_elevation", _float),
            down,
            t.take("method", _str, "level_pool"),
        )
    elif kind == "junction":
        e = Junction(name, down)
    elif kind == "source":
        e = Source(name, t.take("flow", _series), down)
    else:
        raise t.error("kind", f"unknown element kind {kind!r} (subbasin, reach, reservoir, junction or source)")
    t.done()
    return e


def loads(text: str, *, file: str = "<string>") -> Basin:
    """A basin from TOML text; `file` names the source in error messages."""
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise BasinFileError(f"{file}: {exc}") from None
    elements = []
    for name, table in data.items():
        try:
            elements.append(_element(_Table(table, file, name, ""), name))
        except BasinFileError:
            raise
        except (TypeError, ValueError) as exc:
            # Raised by an element's own checks, which name the element and the field.
            raise BasinFileError(f"{file}: {exc}") from None
    try:
        return Basin(tuple(elements))
    except (TypeError, ValueError) as exc:
        raise BasinFileError(f"{file}: {exc}") from None


def load(path: str | os.PathLike[str]) -> Basin:
    """A basin from a TOML basin file."""
    p = Path(path)
    return loads(p.read_text(encoding="utf-8"), file=str(p))


# ---------------------------------------------------------------- writing


def _opt(table: dict[str, Any], key: str, value: float | None) -> None:
    if value is not None:
        table[key] = value


def _series_table(s: pd.Series) -> dict[str, Any]:
    return {"times": [t.to_pydatetime() for t in s.index], "values": [float(v) for v in s]}


def _outlet_table(o: Outlet) -> dict[str, Any]:
    t: dict[str, Any]
    if isinstance(o, Spillway):
        t = {"kind": "spillway", "elevations": list(o.elevations), "discharges": list(o.discharges)}
        _opt(t, "offset", o.offset)
    elif isinstance(o, Gate):
        t = {"kind": "gate", "elevations": list(o.elevations), "discharges": list(o.discharges)}
        _opt(t, "minimum_elevation", o.minimum_elevation)
        _opt(t, "maximum_elevation", o.maximum_elevation)
        _opt(t, "maximum_release", o.maximum_release)
    elif isinstance(o, ConstantRelease):
        t = {"kind": "constant", "q": o.q}
        _opt(t, "minimum_elevation", o.minimum_elevation)
        _opt(t, "maximum_elevation", o.maximum_elevation)
    else:
        t = {"kind": "schedule", "flow": _series_table(o.flow)}
        _opt(t, "minimum_elevation", o.minimum_elevation)
        _opt(t, "maximum_elevation", o.maximum_elevation)
        _opt(t, "maximum_release", o.maximum_release)
    return t


def _element_table(e: Element) -> dict[str, Any]:
    t: dict[str, Any]
    if isinstance(e, Subbasin):
        t = {"kind": "subbasin", "area_acres": e.area_acres}
        t["loss"] = {
            "initial_deficit": e.loss.initial_deficit,
            "max_deficit": e.loss.max_deficit,
            "rate_in_per_hr": e.loss.rate_in_per_hr,
            "time_to_dry": format_duration(e.loss.time_to_dry),
        }
        t["transform"] = {"tc": format_duration(e.transform.tc), "storage_r": format_duration(e.transform.storage_r)}
        if e.baseflow is not None:
            t["baseflow"] = {
                name: {"k": format_duration(b.k), "fraction": b.fraction, "initial_q": b.initial_q, "reservoirs": b.reservoirs}
                for name, b in e.baseflow.items()
            }
    elif isinstance(e, Reach):
        m = e.routing
        t = {"kind": "reach", "routing": {"k": format_duration(m.k), "x": m.x, "sub_reaches": m.sub_reaches}}
        _opt(t["routing"], "initial_outflow", m.initial_outflow)
    elif isinstance(e, Reservoir):
        t = {
            "kind": "reservoir",
            "elevations": list(e.elevations),
            "storages": list(e.storages),
            "initial_elevation": e.initial_elevation,
            "outlets": {name: _outlet_table(o) for name, o in e.outlets.items()},
        }
        if e.method != "level_pool":
            t["method"] = e.method
    elif isinstance(e, Junction):
        t = {"kind": "junction"}
    else:
        t = {"kind": "source", "flow": _series_table(e.flow)}
    if e.downstream is not None:
        t["downstream"] = e.downstream
    return t


def dumps(basin: Basin) -> str:
    """The basin as TOML text."""
    return tomli_w.dumps({e.name: _element_table(e) for e in basin.elements})


def save(basin: Basin, path: str | os.PathLike[str]) -> None:
    """Writes the basin to a TOML file."""
    Path(path).write_text(dumps(basin), encoding="utf-8")
