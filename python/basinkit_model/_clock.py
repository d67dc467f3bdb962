"""The run's clock and its inputs: pandas comes in here and leaves as arrays on the clock."""

from __future__ import annotations

from dataclasses import dataclass
from datetime import timedelta
from functools import lru_cache
from typing import TYPE_CHECKING, Union

import numpy as np
import pandas as pd
from numpy.typing import NDArray
from pandas.tseries.frequencies import to_offset

from . import _checks as chk
from ._units import FLOW, MM_PER_IN, SI, US

if TYPE_CHECKING:
    from ._elements import Basin

Array = NDArray[np.float64]

Precipitation = Union[pd.Series, pd.DataFrame]
"""Rain per interval (inches; millimetres for an SI basin), one Series for every subbasin or one DataFrame column per subbasin."""

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
        own = _commonest_step(idx)
        problem = index_problem(idx, own or None)
        if problem is not None:
            raise ValueError(f"precipitation index is not uniform: {problem}")
        step_ns = own * _NS_PER_UNIT[str(idx.unit)]
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
    steps = len(idx) + extra
    try:
        idx[0] + pd.Timedelta(step) * steps
    except (OverflowError, pd.errors.OutOfBoundsDatetime, pd.errors.OutOfBoundsTimedelta):
        raise ValueError(
            f"extend {extend} runs the clock from {idx[0]} past the last date pandas can hold ({pd.Timestamp.max})"
        ) from None
    return Clock(idx[0], step, len(idx), steps)


def _step_text(ns: int) -> str:
    return str(pd.Timedelta(int(ns)).to_pytimedelta()) if ns % 1000 == 0 else str(pd.Timedelta(int(ns)))


def index_problem(idx: pd.DatetimeIndex, step_ns: int | None = None) -> str | None:
    """What is wrong with an index meant to step evenly, at its first offending instant, or None.

    `step_ns` is the step it should take (the commonest step when None); a step
    of None skips the gap check for series that may be sparse.
    """
    if len(idx) < 2:
        return None
    d = np.diff(idx.asi8)
    bad = np.flatnonzero(d <= 0)
    if len(bad):
        i = int(bad[0])
        what = "a duplicate" if d[i] == 0 else f"out of order (after {idx[i]})"
        return f"{idx[i + 1]} is {what}"
    if step_ns is None:
        return None
    off = np.flatnonzero(d != step_ns)
    if not len(off):
        return None
    i = int(off[0])
    unit = _NS_PER_UNIT[str(idx.unit)]
    if d[i] > step_ns and d[i] % step_ns == 0:
        missing = (int(d[i]) // step_ns) - 1
        return f"a gap after {idx[i]}: {missing} instant{'s' if missing != 1 else ''} of the {_step_text(step_ns * unit)} step missing before {idx[i + 1]}"
    return f"{idx[i + 1]} comes {_step_text(int(d[i]) * unit)} after {idx[i]}, off the {_step_text(step_ns * unit)} step"


def _commonest_step(idx: pd.DatetimeIndex) -> int:
    d = np.diff(idx.asi8)
    steps, counts = np.unique(d[d > 0], return_counts=True)
    return int(steps[int(counts.argmax())]) if len(steps) else 0


def align_observed(
    observed: pd.Series, index: pd.DatetimeIndex, where: str
) -> tuple[NDArray[np.int64], Array, int, int]:
    """Observations paired with a run's instants: (positions in `index`, values, NaN skipped, outside).

    A reading between two instants of the run is refused (it would silently drop
    out of the score); readings before the start or after the end are counted
    and a `BasinWarning` says how many.
    """
    if not isinstance(observed, pd.Series) or not isinstance(observed.index, pd.DatetimeIndex):
        raise TypeError(f"{where} must be a pandas Series on a DatetimeIndex")
    idx = observed.index
    if (idx.tz is None) != (index.tz is None):
        raise ValueError(f"{where} and precipitation must both carry a time zone or neither")
    problem = index_problem(idx)
    if problem is not None:
        raise ValueError(f"{where} index: {problem}")
    try:
        values = observed.to_numpy(dtype="float64")
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{where} must hold numbers") from exc
    if np.isinf(values).any():
        at = int(np.isinf(values).argmax())
        raise ValueError(f"{where} is infinite at {idx[at]}")
    run_ns = int(index.asi8[1] - index.asi8[0]) * _NS_PER_UNIT[str(index.unit)] if len(index) > 1 else 0
    own = _commonest_step(idx) * _NS_PER_UNIT[str(idx.unit)]
    before = int((idx < index[0]).sum())
    after = int((idx > index[-1]).sum())
    inside = (idx >= index[0]) & (idx <= index[-1])
    pos = index.get_indexer(idx[inside])
    if (pos < 0).any():
        first = idx[inside][int((pos < 0).argmax())]
        its = f"its step is {_step_text(own)}" if own else "it has one reading"
        freq = to_offset(pd.Timedelta(run_ns)).freqstr if run_ns else "<step>"
        raise ValueError(
            f"{where} has a value at {first}, between the run's instants ({its}, the run's {_step_text(run_ns)}); "
            f"put it on the run's clock first, e.g. {where}.resample('{freq}').mean() for means "
            f"or {where}.asfreq('{freq}') for the readings at the run's instants"
        )
    if before or after:
        hint = "; pass extend= to run longer" if after else ""
        chk.warn(
            f"{where}: {before + after} of {len(idx)} values lie outside the run ({index[0]} to {index[-1]}: "
            f"{before} before, {after} after) and are not scored{hint}"
        )
    inner = values[inside]
    keep = ~np.isnan(inner)
    if not keep.any():
        raise ValueError(f"{where} has no value on the instants of the run ({index[0]} to {index[-1]})")
    if run_ns and own > run_ns:
        chk.warn(
            f"{where}: its step ({_step_text(own)}) is longer than the run's ({_step_text(run_ns)}), so only "
            f"{int(keep.sum())} pairs are scored; if its values are means over the step, compare them with "
            "the run's flows averaged the same way"
        )
    return pos[keep].astype(np.int64), inner[keep], int((~keep).sum()), before + after


def rain(basin: Basin, precipitation: Precipitation, clock: Clock) -> dict[str, Array]:
    """Every subbasin's rain per interval on the clock's intervals (zero in the extension)."""
    names = basin.subbasins
    if isinstance(precipitation, pd.DataFrame):
        # Columns by their text, so that a column labelled 0 serves subbasin "0".
        by_text: dict[str, object] = {}
        for c in precipitation.columns:
            if str(c) in by_text:
                raise ValueError(f"precipitation has two columns for '{c}'")
            by_text[str(c)] = c
        unknown = [c for c in by_text if c not in names]
        if unknown:
            raise ValueError(f"precipitation has columns for no subbasin: {', '.join(unknown)}")
        missing = [n for n in names if n not in by_text]
        if missing:
            raise ValueError(f"precipitation has no column for subbasins: {', '.join(missing)}")
        groups = [([n], precipitation[by_text[n]]) for n in names]
    else:
        groups = [(list(names), precipitation)]
    out: dict[str, Array] = {}
    for group, series in groups:
        label = f"'{group[0]}'" if len(group) == 1 else "every subbasin"
        try:
            values = series.to_numpy(dtype="float64")
        except (TypeError, ValueError) as exc:
            raise TypeError(f"precipitation for {label} must hold numbers") from exc
        for bad, what in ((np.isnan(values), "NaN"), (np.isinf(values), "infinite"), (values < 0, "negative")):
            if bad.any():
                at = int(bad.argmax())
                shown = "" if what == "NaN" else f" ({values[at]})"
                raise ValueError(f"precipitation for {label} is {what}{shown} at {series.index[at]}")
        if basin.units == SI:
            values = values / MM_PER_IN  # the models take inches
        _beyond_records(values, series.index, clock, label, basin.units)
        full = np.zeros(clock.steps)
        full[: clock.rain_steps] = values
        for name in group:
            out[name] = full if len(group) == 1 else full.copy()
    return out


# The envelope of the largest point rainfalls ever recorded: depth (in) ~ 16.6 D^0.475, D in hours.
ENVELOPE_IN = 16.6
ENVELOPE_EXPONENT = 0.475


def envelope(hours: float) -> float:
    """The largest point rain (inches) ever recorded in `hours`, as the classic envelope gives it."""
    return float(ENVELOPE_IN * hours**ENVELOPE_EXPONENT)


def _beyond_records(values: Array, index: pd.Index, clock: Clock, label: str, units: str = US) -> None:
    """Warns once when any run of 1, 2, 4, ... intervals (inches) holds more rain than has ever fallen in as long."""
    sums = np.concatenate(([0.0], np.cumsum(values)))
    n, width = len(values), 1
    while width <= n:
        depth = sums[width:] - sums[:-width]
        hours = width * clock.seconds / 3600.0
        top = envelope(hours)
        over = depth > top
        if over.any():
            at = int(over.argmax())
            span = "the interval" if width == 1 else f"the {width} intervals"
            if units == SI:
                chk.warn(
                    f"precipitation for {label}: {depth[at] * MM_PER_IN:.4g} mm in {span} from {index[at]} "
                    f"({timedelta(seconds=width * clock.dt)}) exceeds the largest rain ever recorded in as long "
                    f"(about {top * MM_PER_IN:.3g} mm); the basin's rain is in millimetres per interval: "
                    "was it given in tenths of a millimetre?"
                )
            else:
                chk.warn(
                    f"precipitation for {label}: {depth[at]:.4g} in in {span} from {index[at]} "
                    f"({timedelta(seconds=width * clock.dt)}) exceeds the largest rain ever recorded in as long "
                    f"(about {top:.3g} in); rain is in inches per interval: was it given in millimetres?"
                )
            return
        width *= 2


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
            if basin.units == SI:
                series[path] = series[path] / FLOW.factor  # every series is a flow; the models take cfs
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
