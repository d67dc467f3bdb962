"""Values as basin files hold them: durations, numbers, arrays and series."""

from __future__ import annotations

import re
from collections.abc import Mapping
from datetime import datetime, timedelta
from typing import Any

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
    """A ``{times = [...], values = [...]}`` table as a float Series."""
    if not isinstance(v, Mapping) or set(v) != {"times", "values"}:
        raise ValueError("needs a table {times = [...], values = [...]}")
    times, values = v["times"], v["values"]
    if not isinstance(times, list) or not all(isinstance(t, datetime) for t in times):
        raise ValueError("times needs an array of date-times")
    numbers = floats_from_file(values)
    if len(numbers) != len(times):
        raise ValueError(f"times has {len(times)} entries but values has {len(numbers)}")
    return pd.Series(numbers, index=pd.DatetimeIndex(times), dtype="float64")


def series_to_file(s: pd.Series) -> dict[str, Any]:
    """A Series as a ``{times, values}`` table."""
    return {"times": [t.to_pydatetime() for t in s.index], "values": [float(v) for v in s]}
