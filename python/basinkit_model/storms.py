"""Design storms: rain per interval as a pandas Series ready for `Basin.run`.

`pattern` spreads a depth over a cumulative mass curve (an agency's published
distribution, a user's own); `balanced` builds an alternating-block storm from
a depth-duration table. No distribution tables are shipped: pass the one your
manual prescribes to `pattern`.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from datetime import datetime, timedelta

import numpy as np
import pandas as pd

__all__ = ["balanced", "pattern"]

MassCurve = Mapping[timedelta, float] | Sequence[tuple[timedelta, float]] | pd.Series


def _whole_steps(span: timedelta, step: timedelta, what: str) -> int:
    if step <= timedelta(0):
        raise ValueError(f"step must be above zero, got {step}")
    n, rest = divmod(span, step)
    if rest or n < 1:
        raise ValueError(f"{what} {span} is not a whole number (>= 1) of steps of {step}")
    return int(n)


def _index(start: datetime | pd.Timestamp | str, step: timedelta, n: int) -> pd.DatetimeIndex:
    # Each value is the rain of the interval starting at its instant, as Basin.run reads it.
    return pd.date_range(pd.Timestamp(start), periods=n, freq=pd.Timedelta(step), name="time")


def pattern(
    total_depth: float,
    cumulative: MassCurve,
    start: datetime | pd.Timestamp | str,
    step: timedelta,
    duration: timedelta,
) -> pd.Series:
    """Rain per interval of `total_depth` spread over a cumulative mass curve.

    `cumulative` gives the fraction of the depth fallen by each time after the
    start (a mapping, a Series on a TimedeltaIndex, or pairs): times strictly
    rising from zero, fractions not falling from 0 to 1. The curve is linear
    between its points and stays at 1 after its last time. Interval k holds
    total_depth * (F((k + 1) step) - F(k step)), over `duration` (a whole
    number of steps).
    """
    # A mapping or a pandas Series (Timedelta index) gives its items; otherwise pairs.
    items = getattr(cumulative, "items", None)
    points = sorted(items()) if callable(items) else list(cumulative)
    if len(points) < 2:
        raise ValueError("cumulative needs at least two points")
    times = np.array([t / timedelta(seconds=1) for t, _ in points], dtype=np.float64)
    fractions = np.array([float(f) for _, f in points], dtype=np.float64)
    if not (math.isfinite(total_depth) and total_depth >= 0.0):
        raise ValueError(f"total_depth must be a finite number >= 0, got {total_depth}")
    if times[0] != 0.0 or fractions[0] != 0.0:
        raise ValueError("cumulative must start at time zero with fraction 0")
    if not (np.diff(times) > 0.0).all():
        raise ValueError("cumulative times must rise strictly")
    if not np.isfinite(fractions).all() or (np.diff(fractions) < 0.0).any():
        raise ValueError("cumulative fractions must not fall")
    if abs(fractions[-1] - 1.0) > 1e-9:
        raise ValueError(f"cumulative must end at fraction 1, got {fractions[-1]}")
    n = _whole_steps(duration, step, "duration")
    edges = np.arange(n + 1, dtype=np.float64) * (step / timedelta(seconds=1))
    mass = total_depth * np.interp(edges, times, fractions)
    return pd.Series(np.diff(mass), index=_index(start, step, n), name="rain")


def _peak_slot(n: int, peak_position: float) -> int:
    """Index of the interval holding peak_position x n steps, the earlier one on a boundary."""
    return min(max(math.ceil(peak_position * n) - 1, 0), n - 1)


def _alternate(n: int, peak: int) -> list[int]:
    """Slots for blocks in falling order: the peak, then right and left of it in turn."""
    slots, left, right, go_right = [peak], peak - 1, peak + 1, True
    while len(slots) < n:
        if (go_right and right < n) or left < 0:
            slots.append(right)
            right += 1
        else:
            slots.append(left)
            left -= 1
        go_right = not go_right
    return slots


def balanced(
    depths: Mapping[timedelta, float],
    start: datetime | pd.Timestamp | str,
    step: timedelta,
    peak_position: float = 0.5,
) -> pd.Series:
    """An alternating-block storm from a depth-duration table.

    `depths` maps durations (whole numbers of steps) to depths, as a frequency
    atlas gives them; the storm lasts the longest. The depth of every multiple
    of the step is interpolated linearly in duration (from zero depth at zero),
    its increments are the blocks, largest first, placed in the interval
    that ends at or holds peak_position x duration (the earlier one on a
    boundary, so that with an even n and 0.5 the blocks alternate to the
    very end) and then alternately right and left of the blocks placed. Every listed duration's wettest window then holds exactly
    its depth; that needs increments that never grow with duration, and a
    table whose depth per step rises is refused.
    """
    if not depths:
        raise ValueError("depths is empty")
    if not (0.0 <= peak_position <= 1.0):
        raise ValueError(f"peak_position must be between 0 and 1, got {peak_position}")
    table = sorted((_whole_steps(d, step, "duration"), float(v)) for d, v in depths.items())
    steps = np.array([0] + [s for s, _ in table], dtype=np.float64)
    values = np.array([0.0] + [v for _, v in table], dtype=np.float64)
    if not np.isfinite(values).all() or (values < 0.0).any():
        raise ValueError("depths must be finite numbers >= 0")
    n = table[-1][0]
    blocks = np.diff(np.interp(np.arange(n + 1, dtype=np.float64), steps, values))
    if (blocks < 0.0).any():
        raise ValueError("depths must not fall as the duration grows")
    # Equal increments within one segment of the table may differ by rounding.
    if (np.diff(blocks) > 1e-12 * max(values[-1], 1e-300)).any():
        raise ValueError("depths add more per step at a longer duration: no storm can hold every depth")
    rain = np.zeros(n)
    order = np.argsort(-blocks, kind="stable")
    for slot, block in zip(_alternate(n, _peak_slot(n, peak_position)), order, strict=True):
        rain[slot] = blocks[block]
    return pd.Series(rain, index=_index(start, step, n), name="rain")
