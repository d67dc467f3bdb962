"""Value checks shared by the elements: each names where the value sits."""

from __future__ import annotations

import math
from collections.abc import Iterable
from datetime import timedelta

import pandas as pd


def duration(value: object, where: str, *, minimum: timedelta = timedelta(0)) -> timedelta:
    """A `timedelta` (pandas `Timedelta` too) of at least `minimum`, as a plain `timedelta`."""
    if isinstance(value, pd.Timedelta):
        if pd.isna(value):
            raise ValueError(f"{where} must be a duration, got NaT")
        value = value.to_pytimedelta()
    if not isinstance(value, timedelta):
        raise TypeError(f"{where} must be a timedelta, got {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{where} must be at least {minimum}, got {value}")
    return timedelta(days=value.days, seconds=value.seconds, microseconds=value.microseconds)


def number(
    value: object,
    where: str,
    *,
    low: float | None = None,
    high: float | None = None,
    above: float | None = None,
) -> float:
    """A finite real number (bool refused), optionally within [low, high] or above `above`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{where} must be a number, got {type(value).__name__}")
    x = float(value)
    if not math.isfinite(x):
        raise ValueError(f"{where} must be finite, got {x}")
    if low is not None and x < low:
        raise ValueError(f"{where} must be at least {low}, got {x}")
    if high is not None and x > high:
        raise ValueError(f"{where} must be at most {high}, got {x}")
    if above is not None and x <= above:
        raise ValueError(f"{where} must be greater than {above}, got {x}")
    return x


def optional_number(value: object, where: str) -> float | None:
    """`None` or a finite number."""
    return None if value is None else number(value, where)


def count(value: object, where: str, *, low: int = 1) -> int:
    """An `int` of at least `low` (bool and float refused)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{where} must be an int, got {type(value).__name__}")
    if value < low:
        raise ValueError(f"{where} must be at least {low}, got {value}")
    return value


def text(value: object, where: str) -> str:
    """A non-empty name without dots (dots separate the parts of a parameter path)."""
    if not isinstance(value, str):
        raise TypeError(f"{where} must be a str, got {type(value).__name__}")
    if not value or "." in value or value != value.strip():
        raise ValueError(f"{where} must be a non-empty name without dots or outer spaces, got {value!r}")
    return value


def curve(
    values: object, where: str, *, rising: bool, strictly: bool
) -> tuple[float, ...]:
    """A sequence of at least two finite numbers, rising (strictly or not) when asked."""
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(f"{where} must be a sequence of numbers, got {type(values).__name__}")
    out = tuple(number(v, f"{where}[{i}]") for i, v in enumerate(values))
    if len(out) < 2:
        raise ValueError(f"{where} needs at least 2 points, got {len(out)}")
    if rising:
        for i in range(1, len(out)):
            if out[i] < out[i - 1] or (strictly and out[i] == out[i - 1]):
                order = "strictly rising" if strictly else "not falling"
                raise ValueError(f"{where} must be {order}: point {i} is {out[i]} after {out[i - 1]}")
    return out


def clock_series(flow: object, where: str) -> pd.Series:
    """A float Series on a DatetimeIndex with unique, sorted instants and no NaN."""
    if not isinstance(flow, pd.Series):
        raise TypeError(f"{where} must be a pandas Series, got {type(flow).__name__}")
    if not isinstance(flow.index, pd.DatetimeIndex):
        raise TypeError(f"{where} needs a DatetimeIndex, got {type(flow.index).__name__}")
    if not flow.index.is_unique or not flow.index.is_monotonic_increasing:
        raise ValueError(f"{where} needs unique, increasing instants")
    try:
        values = flow.astype("float64")
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{where} must hold numbers") from exc
    if values.isna().any():
        raise ValueError(f"{where} holds NaN at {values.index[values.isna()][0]}")
    return values.copy()


def same_series(a: pd.Series, b: pd.Series) -> bool:
    """Equal values on equal instants (names and frequency aside)."""
    ia, ib = pd.DatetimeIndex(a.index), pd.DatetimeIndex(b.index)
    return bool(ia.equals(ib)) and str(ia.tz) == str(ib.tz) and bool((a.to_numpy() == b.to_numpy()).all())
