"""The run's clock and its inputs: pandas comes in here and leaves as arrays on the clock."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import timedelta
from functools import lru_cache
from typing import TYPE_CHECKING, Union

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from . import _checks as chk

if TYPE_CHECKING:
    from ._elements import Basin

Array = NDArray[np.float64]

Precipitation = Union[pd.Series, pd.DataFrame]
"""Rain per interval (inches), one Series for every subbasin or one DataFrame column per subbasin."""

# The models' own conversion: one inch over one acre in one hour is 1.00833 cfs.
CFS_PER_ACRE_INCH = 1.00833
FT3_PER_ACRE_INCH = CFS_PER_ACRE_INCH * 3600.0
ACRE_FOOT_FT3 = 43560.0


def seconds(d: timedelta) -> float:
    """A duration in seconds, microseconds included: the layer's one conversion."""
    return d.total_seconds()


@dataclass(frozen=True)
class Clock:
    """The window: instants start, start + dt, ..., start + steps dt; rain fills the first intervals."""

    start: pd.Timestamp
    step: timedelta  # whole seconds
    rain_steps: int
    steps: int  # rain plus extension; the window has steps + 1 instants

    @property
    def dt(self) -> int:
        """The step in whole seconds, as the models take it."""
        return int(seconds(self.step))

    @property
    def seconds(self) -> float:
        """The step in seconds."""
        return float(self.dt)

    @property
    def window(self) -> int:
        """Number of instants."""
        return self.steps + 1

    @property
    def index(self) -> pd.DatetimeIndex:
        """The instants as pandas sees them."""
        return _instants(self.start, self.step, self.steps)


@lru_cache(maxsize=64)
def _instants(start: pd.Timestamp, step: timedelta, steps: int) -> pd.DatetimeIndex:
    # Shared between runs on the same clock: an index is immutable.
    return pd.date_range(start, periods=steps + 1, freq=pd.Timedelta(step), name="time")


_NS_PER_UNIT = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}


def clock(precipitation: Precipitation, extend: timedelta | None) -> Clock:
    """The clock of a rain record, `extend` added in whole steps (rounded up)."""
    if not isinstance(precipitation, (pd.Series, pd.DataFrame)):
        raise TypeError(
            f"precipitation must be a pandas Series or DataFrame, got {type(precipitation).__name__}"
        )
    idx = precipitation.index
    if not isinstance(idx, pd.DatetimeIndex):
        raise TypeError(
            f"precipitation needs a DatetimeIndex (the start of each interval), got {type(idx).__name__}"
        )
    if len(idx) < 1:
        raise ValueError("precipitation is empty")
    if len(idx) >= 2:
        steps = np.diff(idx.asi8)
        if not (steps == steps[0]).all():
            raise ValueError(
                f"precipitation index is not uniform: its steps take {len(np.unique(steps))} different values"
            )
        step_ns = int(steps[0]) * _NS_PER_UNIT[str(idx.unit)]
    elif getattr(idx.freq, "nanos", None) is not None:
        step_ns = int(getattr(idx.freq, "nanos"))
    else:
        raise ValueError("precipitation needs two rows or an index with a freq to fix its time step")
    if step_ns < 1_000_000_000 or step_ns % 1_000_000_000:
        raise ValueError(
            f"precipitation time step must be a whole number of seconds, got {pd.Timedelta(step_ns)}"
        )
    step = timedelta(seconds=step_ns // 1_000_000_000)
    extra = 0
    if extend is not None:
        ext = chk.duration(extend, "extend")
        extra = -(-ext // step)  # whole steps, rounded up
    return Clock(idx[0], step, len(idx), len(idx) + extra)


def rain(basin: Basin, precipitation: Precipitation, clock: Clock) -> dict[str, Array]:
    """Every subbasin's rain per interval on the clock's intervals (zero in the extension)."""
    names = basin.subbasins
    if isinstance(precipitation, pd.DataFrame):
        columns = [str(c) for c in precipitation.columns]
        unknown = [c for c in columns if c not in names]
        if unknown:
            raise ValueError(f"precipitation has columns for no subbasin: {', '.join(unknown)}")
        missing = [n for n in names if n not in columns]
        if missing:
            raise ValueError(f"precipitation has no column for subbasins: {', '.join(missing)}")
        source = {n: precipitation[n] for n in names}
    else:
        source = {n: precipitation for n in names}
    out: dict[str, Array] = {}
    for name, series in source.items():
        try:
            values = series.to_numpy(dtype="float64")
        except (TypeError, ValueError) as exc:
            raise TypeError(f"precipitation for '{name}' must hold numbers") from exc
        bad = np.isnan(values)
        if bad.any():
            raise ValueError(f"precipitation for '{name}' is NaN at {series.index[int(bad.argmax())]}")
        if (values < 0).any():
            at = int((values < 0).argmax())
            raise ValueError(f"precipitation for '{name}' is negative ({values[at]}) at {series.index[at]}")
        full = np.zeros(clock.steps)
        full[: clock.rain_steps] = values
        out[name] = full
    return out


def on_clock(series: pd.Series, clock: Clock, where: str) -> Array:
    """A series' values at every instant of the window (ValueError naming the first gap)."""
    if (pd.DatetimeIndex(series.index).tz is None) != (clock.index.tz is None):
        raise ValueError(f"{where}: its index and the precipitation's must both carry a time zone or neither")
    values = series.reindex(clock.index).to_numpy(dtype="float64")
    gaps = np.isnan(values)
    if gaps.any():
        raise ValueError(f"{where} has no value at {clock.index[int(gaps.argmax())]} (needed at every instant of the run)")
    return values


@dataclass(frozen=True)
class Inputs:
    """Everything a run reads from pandas, on the clock: rain by subbasin, series by parameter path."""

    rain: dict[str, Array]
    series: dict[str, Array]  # "gauge.flow", "lake.outlets.ops.flow"


def inputs(basin: Basin, precipitation: Precipitation, clock: Clock) -> Inputs:
    """The rain and every source's and schedule's series put on the clock, once."""
    from ._elements import kind  # the elements import this module

    on_intervals = rain(basin, precipitation, clock)
    series: dict[str, Array] = {}
    for name in basin.order():
        e = basin.element(name)
        for path, where, values in e._series():
            try:
                series[path] = on_clock(values, clock, where)
            except ValueError as exc:
                raise chk.RunError(name, f"{kind(e)} '{name}': {exc}") from exc
    return Inputs(on_intervals, series)


def window(values: Array, n: int) -> Array:
    """The first `n` values, zero-padded when there are fewer."""
    out = np.zeros(n)
    out[: min(n, len(values))] = values[:n]
    return out


def trapezoid(values: Array, dt: float) -> float:
    """Volume (flow unit x s) under the straight lines between instants."""
    if len(values) < 2:
        return 0.0
    return dt * (0.5 * float(values[0]) + float(values[1:-1].sum()) + 0.5 * float(values[-1]))
