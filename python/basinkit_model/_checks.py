"""Value checks shared by elements and methods; a refusal carries its place and its field."""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Iterable
from datetime import timedelta

import numpy as np
import pandas as pd


class _FieldMixin:
    """What a refused value carries: `field` (the field's name, "" for a whole part) and `reason`."""

    where: str
    field: str
    reason: str


class FieldError(ValueError, _FieldMixin):
    """A value out of its bounds; str() is the full message, `reason` the part after the place."""

    def __init__(self, where: str, reason: str, field: str = "") -> None:
        super().__init__(f"{where} {reason}")
        self.where, self.field, self.reason = where, field, reason


class FieldTypeError(TypeError, _FieldMixin):
    """A value of the wrong type; as `FieldError`."""

    def __init__(self, where: str, reason: str, field: str = "") -> None:
        super().__init__(f"{where} {reason}")
        self.where, self.field, self.reason = where, field, reason


def not_above(where: str, method: object, low: str, high: str) -> None:
    """Refuses a method whose field `low` exceeds its field `high`, naming `low`."""
    a, b = getattr(method, low), getattr(method, high)
    if a > b:
        raise FieldError(f"{where}.{low}", f"{a} exceeds {high} {b}", low)


def duration(value: object, where: str, *, minimum: timedelta = timedelta(0)) -> timedelta:
    """A `timedelta` (pandas `Timedelta` too) of at least `minimum`, as a plain `timedelta`."""
    if isinstance(value, pd.Timedelta):
        if pd.isna(value):
            raise FieldError(where, "must be a duration, got NaT")
        value = value.to_pytimedelta()
    if not isinstance(value, timedelta):
        raise FieldTypeError(where, f"must be a timedelta, got {type(value).__name__}")
    if value < minimum:
        raise FieldError(where, f"must be at least {minimum}, got {value}")
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
        raise FieldTypeError(where, f"must be a number, got {type(value).__name__}")
    x = float(value)
    if not math.isfinite(x):
        raise FieldError(where, f"must be finite, got {x}")
    if low is not None and x < low:
        raise FieldError(where, f"must be at least {low}, got {x}")
    if high is not None and x > high:
        raise FieldError(where, f"must be at most {high}, got {x}")
    if above is not None and x <= above:
        raise FieldError(where, f"must be greater than {above}, got {x}")
    return x


def optional_number(value: object, where: str) -> float | None:
    """`None` or a finite number."""
    return None if value is None else number(value, where)


def count(value: object, where: str, *, low: int = 1, high: int | None = None) -> int:
    """An `int` within [low, high] (bool and float refused)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise FieldTypeError(where, f"must be an int, got {type(value).__name__}")
    if value < low:
        raise FieldError(where, f"must be at least {low}, got {value}")
    if high is not None and value > high:
        raise FieldError(where, f"must be at most {high}, got {value}")
    return value


def text(value: object, where: str) -> str:
    """A non-empty name without dots (dots separate the parts of a parameter path)."""
    if not isinstance(value, str):
        raise FieldTypeError(where, f"must be a str, got {type(value).__name__}")
    if not value or "." in value or value != value.strip():
        raise FieldError(where, f"must be a non-empty name without dots or outer spaces, got {value!r}")
    return value


def curve(
    values: object, where: str, *, rising: bool, strictly: bool, low: float | None = None
) -> tuple[float, ...]:
    """A sequence of at least two finite numbers (at least `low`), rising (strictly or not) when asked."""
    if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise FieldTypeError(where, f"must be a sequence of numbers, got {type(values).__name__}")
    out = tuple(number(v, f"{where}[{i}]", low=low) for i, v in enumerate(values))
    if len(out) < 2:
        raise FieldError(where, f"needs at least 2 points, got {len(out)}")
    if rising:
        for i in range(1, len(out)):
            if out[i] < out[i - 1] or (strictly and out[i] == out[i - 1]):
                order = "strictly rising" if strictly else "not falling"
                raise FieldError(where, f"must be {order}: point {i} is {out[i]} after {out[i - 1]}")
    return out


def clock_series(flow: object, where: str) -> pd.Series:
    """A float Series on a DatetimeIndex with unique, sorted instants and no NaN."""
    if not isinstance(flow, pd.Series):
        raise FieldTypeError(where, f"must be a pandas Series, got {type(flow).__name__}")
    if not isinstance(flow.index, pd.DatetimeIndex):
        raise FieldTypeError(where, f"needs a DatetimeIndex, got {type(flow.index).__name__}")
    if not flow.index.is_unique or not flow.index.is_monotonic_increasing:
        d = np.diff(flow.index.asi8)
        i = int(np.flatnonzero(d <= 0)[0])
        what = "a duplicate" if d[i] == 0 else f"out of order (after {flow.index[i]})"
        raise FieldError(where, f"needs unique, increasing instants: {flow.index[i + 1]} is {what}")
    try:
        values = flow.astype("float64")
    except (TypeError, ValueError) as exc:
        raise FieldTypeError(where, "must hold numbers") from exc
    v = values.to_numpy()
    for bad, what in ((np.isnan(v), "NaN"), (np.isinf(v), "an infinite value"), (v < 0, "a negative value")):
        if bad.any():
            at = int(bad.argmax())
            shown = "" if what == "NaN" else f" ({v[at]})"
            raise FieldError(where, f"holds {what}{shown} at {values.index[at]}")
    return values.copy()


def same_series(a: pd.Series, b: pd.Series) -> bool:
    """Equal values on equal instants (names and frequency aside)."""
    ia, ib = pd.DatetimeIndex(a.index), pd.DatetimeIndex(b.index)
    return bool(ia.equals(ib)) and str(ia.tz) == str(ib.tz) and bool((a.to_numpy() == b.to_numpy()).all())


_HERE = os.path.dirname(os.path.abspath(__file__))


class BasinWarning(UserWarning):
    """Input the layer accepts but doubts (rain beyond any recorded storm, an unstable reach, ...)."""


def warn(message: str) -> None:
    """One line, attributed to the user's call rather than to the layer."""
    warnings.warn(message, BasinWarning, skip_file_prefixes=(_HERE,))


class RunError(ValueError):
    """A model refused the run; the message names the element, `element` holds its name."""

    def __init__(self, element: str, message: str) -> None:
        super().__init__(message)
        self.element = element
