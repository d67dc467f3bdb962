"""Values as basin files hold them: durations, numbers, arrays and series."""

from __future__ import annotations

import re
from collections.abc import Mapping
from datetime import datetime, timedelta, timezone
from typing import Any
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

import pandas as pd

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
        return _timedelta(value, {k: float(v) for k, v in m.groupdict().items() if v is not None})
    if isinstance(value, Mapping):
        unknown = [k for k in value if k not in _UNITS]
        if unknown:
            raise ValueError(f"unknown duration unit {unknown[0]!r} (use {', '.join(_UNITS)})")
        parts = {}
        for k, v in value.items():
            if isinstance(v, bool) or not isinstance(v, (int, float)):
                raise ValueError(f"duration unit {k!r} needs a number, got {type(v).__name__}")
            parts[k] = float(v)
        return _timedelta(dict(value), parts)
    raise ValueError(f"a duration must be an ISO-8601 string or a table like {{hours = 3}}, got {type(value).__name__}")


def _timedelta(given: object, parts: dict[str, float]) -> timedelta:
    # timedelta stops at 999999999 days and refuses inf and NaN with OverflowError/ValueError.
    try:
        return timedelta(**parts)
    except (OverflowError, ValueError):
        raise ValueError(f"{given!r} is not a duration basinkit can hold (at most {timedelta.max.days} days)") from None


def format_duration(d: timedelta) -> str:
    """The ISO-8601 form of a non-negative `timedelta` (days, hours, minutes, seconds)."""
    h, rest = divmod(d.seconds, 3600)
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


def floats_from_file(v: object) -> tuple[float, ...]:
    """An array of numbers read from a file."""
    if not isinstance(v, list):
        raise ValueError(f"needs an array of numbers, got {type(v).__name__}")
    return tuple(number_from_file(x) for x in v)


def number_from_file(v: object) -> float:
    """A number read from a file (booleans refused)."""
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        raise ValueError(f"needs a number, got {type(v).__name__}")
    return float(v)


def series_from_file(v: object) -> pd.Series:
    """A ``{times = [...], values = [...]}`` table (``timezone`` optional) as a float Series.

    With `timezone` (an IANA name such as "Europe/Berlin"), the times carry an
    offset and are read in that zone; without it, they are naive or carry a
    fixed offset as written.
    """
    if not isinstance(v, Mapping) or not {"times", "values"} <= set(v) <= {"times", "values", "timezone"}:
        raise ValueError("needs a table {times = [...], values = [...]} (timezone optional)")
    times, values = v["times"], v["values"]
    if not isinstance(times, list) or not all(isinstance(t, datetime) for t in times):
        raise ValueError("times needs an array of date-times")
    numbers = floats_from_file(values)
    if len(numbers) != len(times):
        raise ValueError(f"times has {len(times)} entries but values has {len(numbers)}")
    zone = v.get("timezone")
    if zone is not None:
        if not isinstance(zone, str):
            raise ValueError(f"timezone needs a zone name such as 'Europe/Berlin', got {type(zone).__name__}")
        if any(t.tzinfo is None for t in times):
            raise ValueError("times need an offset (such as Z) when a timezone is given")
        try:
            tz = ZoneInfo(zone)
        except (ZoneInfoNotFoundError, ValueError):
            raise ValueError(f"timezone {zone!r} is not a known zone name") from None
        index = pd.DatetimeIndex([t.astimezone(timezone.utc) for t in times]).tz_convert(tz)
    else:
        try:
            index = pd.DatetimeIndex(times)
        except (ValueError, TypeError) as exc:
            raise ValueError(f"times mix offsets or zones ({exc}); write them with one offset") from None
    return pd.Series(numbers, index=index, dtype="float64")


def _zone_name(tz: object) -> str | None:
    """The IANA name of a named zone, None for none, UTC or a fixed offset (written as offsets)."""
    if tz is None:
        return None
    name = getattr(tz, "key", None) or getattr(tz, "zone", None)
    if not isinstance(name, str) or name.upper() in ("UTC", "Z", "ETC/UTC"):
        return None
    return name


def series_to_file(s: pd.Series) -> dict[str, Any]:
    """A Series as a ``{times, values}`` table; a named zone as ``timezone`` with UTC times.

    Instants finer than a microsecond cannot be written (TOML date-times stop
    there): ValueError naming the first.
    """
    index = pd.DatetimeIndex(s.index)
    ns = index.as_unit("ns").asi8
    fine = ns % 1000 != 0
    if fine.any():
        raise ValueError(
            f"instant {index[int(fine.argmax())]} has nanoseconds, which a basin file cannot hold "
            "(round the index to microseconds, e.g. with .index.round('us'))"
        )
    zone = _zone_name(index.tz)
    table: dict[str, Any] = {}
    if zone is not None:
        index = index.tz_convert("UTC")
        table["timezone"] = zone
    table["times"] = [t.to_pydatetime() for t in index]
    table["values"] = [float(x) for x in s]
    return table
