"""Running a basin on one clock: every element's result placed on the window's instants."""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import timedelta
from functools import cached_property, lru_cache
from typing import Union

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from basinkit import baseflow, metrics, rainfall_loss, rainfall_transform, reach, reservoir, utils

from . import _checks as chk
from ._native import storage_indication as _native_routing
from ._elements import (
    Basin,
    ConstantRelease,
    Element,
    Gate,
    Junction,
    Reach,
    ReleaseSchedule,
    Reservoir,
    Source,
    Spillway,
    Subbasin,
    kind,
)

Precipitation = Union[pd.Series, pd.DataFrame]
"""Rain per interval (inches), one Series for every subbasin or one DataFrame column per subbasin."""

Array = NDArray[np.float64]

ACRE_FOOT_FT3 = 43560.0
# The models' own conversion: one inch over one acre in one hour is 1.00833 cfs.
FT3_PER_ACRE_INCH = 1.00833 * 3600.0


class RunError(ValueError):
    """A model refused the run; the message names the element, `element` holds its name."""

    def __init__(self, element: str, message: str) -> None:
        super().__init__(message)
        self.element = element


@dataclass(frozen=True)
class Score:
    """Goodness of fit of one element's flow against observations on their common instants.

    `kge` is basinkit's Kling-Gupta efficiency; `r` (correlation), `beta` (mean
    ratio) and `gamma` (standard-deviation ratio) are its components, `nse` the
    Nash-Sutcliffe efficiency and `rmse` the root-mean-square error (cfs).
    `count` pairs were scored; `skipped` observations were NaN.
    """

    kge: float
    r: float
    beta: float
    gamma: float
    nse: float
    rmse: float
    count: int
    skipped: int


# ---------------------------------------------------------------- the clock


@dataclass(frozen=True)
class _Clock:
    start: pd.Timestamp
    step: timedelta  # whole seconds
    rain_steps: int
    steps: int  # rain plus extension; the window has steps + 1 instants

    @property
    def seconds(self) -> float:
        return float(self.step.days * 86400 + self.step.seconds)

    @property
    def index(self) -> pd.DatetimeIndex:
        return _instants(self.start, self.step, self.steps)


@lru_cache(maxsize=64)
def _instants(start: pd.Timestamp, step: timedelta, steps: int) -> pd.DatetimeIndex:
    # Shared between runs on the same clock: an index is immutable.
    return pd.date_range(start, periods=steps + 1, freq=pd.Timedelta(step), name="time")


_NS_PER_UNIT = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "ns": 1}


def _clock(precipitation: Precipitation, extend: timedelta | None) -> _Clock:
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
    return _Clock(idx[0], step, len(idx), len(idx) + extra)


def _rain(basin: Basin, precipitation: Precipitation, clock: _Clock) -> dict[str, Array]:
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
    rain: dict[str, Array] = {}
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
        rain[name] = full
    return rain


def _on_clock(series: pd.Series, clock: _Clock, where: str) -> Array:
    if (pd.DatetimeIndex(series.index).tz is None) != (clock.index.tz is None):
        raise ValueError(f"{where}: its index and the precipitation's must both carry a time zone or neither")
    values = series.reindex(clock.index).to_numpy(dtype="float64")
    gaps = np.isnan(values)
    if gaps.any():
        raise ValueError(f"{where} has no value at {clock.index[int(gaps.argmax())]} (needed at every instant of the run)")
    return values


def _series(values: Array, clock: _Clock) -> utils.ContinuousTimeSeries:
    return utils.ContinuousTimeSeries(values, clock.step, "discharge")


def _padded(values: Array) -> Array:
    # Level pool routing starts at its first step: repeating the first value puts
    # its results on the instants 0, dt, ... of the unpadded series.
    return np.concatenate((values[:1], values))


# ---------------------------------------------------------------- one element each


@dataclass
class _SubbasinResult:
    rain: Array
    excess: Array
    loss: Array
    deficit: Array
    direct: Array  # the whole Clark result
    layers: dict[str, Array]  # on the window's instants
    outflow: Array


@dataclass
class _ReservoirResult:
    inflow: Array
    storage: Array
    elevation: Array
    outlets: dict[str, Array]
    outflow: Array


@dataclass
class _FlowResult:
    inflow: Array
    outflow: Array


def _subbasin(e: Subbasin, rain: Array, clock: _Clock) -> _SubbasinResult:
    window = clock.steps + 1
    gross = utils.IncrementalTimeSeries(rain, clock.step, "rainfall")
    split = rainfall_loss.run_deficit_and_constant(
        gross, e.loss.initial_deficit, e.loss.max_deficit, e.loss.rate_in_per_hr, e.loss.time_to_dry
    )
    excess, loss = split.excess, split.loss
    direct = np.asarray(
        rainfall_transform.run_clark_uh(excess, e.area_acres, e.transform.tc, e.transform.storage_r)
    )
    # Clark value k belongs to start + k dt; what lies past the window is counted in the balance.
    outflow = np.zeros(window)
    outflow[: min(window, len(direct))] = direct[:window]
    layers: dict[str, Array] = {}
    if e.baseflow:
        settings = {
            name: baseflow.LinearReservoir(b.k, b.fraction, b.initial_q, b.reservoirs)
            for name, b in e.baseflow.items()
        }
        total, per_layer = baseflow.run_linear_reservoir(e.area_acres, loss, settings)
        # Baseflow value i is the discharge at the end of interval i; the start holds initial_q.
        base = np.empty(window)
        base[0] = sum(b.initial_q for b in e.baseflow.values())
        base[1:] = np.asarray(total)
        outflow = outflow + base
        for name, b in e.baseflow.items():
            layer = np.empty(window)
            layer[0] = b.initial_q
            layer[1:] = np.asarray(per_layer[name])
            layers[name] = layer
    deficit = np.empty(window)
    deficit[0] = e.loss.initial_deficit
    deficit[1:] = np.asarray(split.deficit)
    return _SubbasinResult(
        rain, np.asarray(excess).copy(), np.asarray(loss).copy(), deficit, direct.copy(), layers, outflow
    )


def _reach(e: Reach, inflow: Array, clock: _Clock) -> _FlowResult:
    m = e.routing
    start = float(inflow[0]) if m.initial_outflow is None else m.initial_outflow
    out = reach.run_muskingum_routing(_series(inflow, clock), m.k, m.x, m.sub_reaches, start)
    return _FlowResult(inflow, np.asarray(out).copy())


def _outlets(e: Reservoir, clock: _Clock) -> dict[str, reservoir.Outlet]:
    ru = reservoir.reservoir_utils
    made: dict[str, reservoir.Outlet] = {}
    for name, o in e.outlets.items():
        if isinstance(o, Spillway):
            made[name] = ru.UnControlledDischargeInfo(ru.ElevationDischarge(o.elevations, o.discharges), o.offset)
        elif isinstance(o, Gate):
            made[name] = ru.ControlledDischargeInfo(
                ru.ElevationDischarge(o.elevations, o.discharges),
                o.minimum_elevation,
                o.maximum_elevation,
                o.maximum_release,
            )
        elif isinstance(o, ConstantRelease):
            made[name] = ru.ConstantDischargeInfo(o.q, o.minimum_elevation, o.maximum_elevation)
        else:
            values = _on_clock(o.flow, clock, f"reservoir '{e.name}': outlets.{name}.flow")
            made[name] = ru.SpecifiedDischargeInfo(
                _series(_padded(values), clock), o.minimum_elevation, o.maximum_elevation, o.maximum_release
            )
    return made


def _native_outlets(e: Reservoir, clock: _Clock) -> dict[str, tuple[object, ...]]:
    made: dict[str, tuple[object, ...]] = {}
    for name, o in e.outlets.items():
        if isinstance(o, Spillway):
            made[name] = ("spillway", o.elevations, o.discharges, o.offset)
        elif isinstance(o, Gate):
            made[name] = (
                "gate",
                o.elevations,
                o.discharges,
                o.minimum_elevation,
                o.maximum_elevation,
                o.maximum_release,
            )
        elif isinstance(o, ConstantRelease):
            made[name] = ("constant", o.q, o.minimum_elevation, o.maximum_elevation)
        else:
            values = _on_clock(o.flow, clock, f"reservoir '{e.name}': outlets.{name}.flow")
            made[name] = (
                "schedule",
                values,
                _whole_seconds(clock.step),
                o.minimum_elevation,
                o.maximum_elevation,
                o.maximum_release,
            )
    return made


def _storage_indication(e: Reservoir, inflow: Array, clock: _Clock) -> _ReservoirResult:
    # Already on the inflow's clock from time 0: no padding.
    storage, elevation, total, per_outlet = _native_routing(
        inflow, _whole_seconds(clock.step), e.initial_elevation, e.elevations, e.storages, _native_outlets(e, clock)
    )
    return _ReservoirResult(
        inflow,
        np.frombuffer(storage),
        np.frombuffer(elevation),
        {name: np.frombuffer(per_outlet[name]) for name in e.outlets},
        np.frombuffer(total),
    )


def _reservoir(e: Reservoir, inflow: Array, clock: _Clock) -> _ReservoirResult:
    if e.method == "storage_indication":
        return _storage_indication(e, inflow, clock)
    curve = reservoir.reservoir_utils.ElevationStorage(e.elevations, e.storages)
    pool = reservoir.run_level_pool_routing(
        _series(_padded(inflow), clock), e.initial_elevation, curve, _outlets(e, clock)
    )
    outlets = {name: np.asarray(s).copy() for name, s in pool.reservoir_individual_outflows.items()}
    return _ReservoirResult(
        inflow,
        np.asarray(pool.reservoir_storage).copy(),
        np.asarray(pool.reservoir_elevation).copy(),
        {name: outlets[name] for name in e.outlets},
        np.asarray(pool.reservoir_total_outflow).copy(),
    )


_Result = Union[_SubbasinResult, _ReservoirResult, _FlowResult]


def run_basin(basin: Basin, precipitation: Precipitation, *, extend: timedelta | None = None) -> BasinRun:
    """Runs every element in computation order on the clock of `precipitation`."""
    clock = _clock(precipitation, extend)
    return simulate(basin, clock, _rain(basin, precipitation, clock))


def simulate(basin: Basin, clock: _Clock, rain: Mapping[str, Array]) -> BasinRun:
    """Runs every element on a checked clock with checked rain (what `run_basin` checks)."""
    results: dict[str, _Result] = {}
    for name in basin.order():
        e = basin.element(name)
        try:
            results[name] = _element(basin, e, rain, results, clock)
        except RunError:
            raise
        except ValueError as exc:
            raise RunError(name, f"{kind(e)} '{name}': {exc}") from exc
    return BasinRun(basin, clock, results)


def _element(
    basin: Basin, e: Element, rain: Mapping[str, Array], done: Mapping[str, _Result], clock: _Clock
) -> _Result:
    if isinstance(e, Subbasin):
        return _subbasin(e, rain[e.name], clock)
    if isinstance(e, Source):
        flow = _on_clock(e.flow, clock, "flow")
        return _FlowResult(flow, flow)
    ups = [done[u].outflow for u in basin.upstream(e.name)]
    inflow = ups[0]
    for more in ups[1:]:
        inflow = inflow + more
    if isinstance(e, Reach):
        return _reach(e, inflow, clock)
    if isinstance(e, Reservoir):
        return _reservoir(e, inflow, clock)
    assert isinstance(e, Junction)
    return _FlowResult(inflow, inflow)


# ---------------------------------------------------------------- volume accounts


def _trapezoid(values: Array, seconds: float) -> float:
    """Volume (flow unit x s) under the straight lines between instants."""
    if len(values) < 2:
        return 0.0
    return seconds * (0.5 * float(values[0]) + float(values[1:-1].sum()) + 0.5 * float(values[-1]))


def _whole_seconds(d: timedelta) -> int:
    return d.days * 86400 + d.seconds


def _baseflow_storage_change(settings: Subbasin, loss: Array, seconds: float) -> tuple[float, float]:
    """(inflow, storage change) in ft^3 of all baseflow layers over the window.

    The layers are linear reservoirs in series, stepped as basinkit steps them;
    with inflow constant over an interval and outflow linear between instants,
    a chain holds K Q in its last reservoir and (K - dt/2) Q in every other.
    """
    dt_h = seconds / 3600.0
    half = dt_h * 0.5
    area_factor = settings.area_acres * 1.00833
    inflow = 0.0
    change = 0.0
    for b in (settings.baseflow or {}).values():
        k = (_whole_seconds(b.k) / 3600.0) / b.reservoirs
        c = dt_h / (half + k)
        d = 1.0 - c
        state = [b.initial_q] * b.reservoirs
        for p in loss.tolist():
            q = area_factor * ((b.fraction * p) / dt_h)
            inflow += q * seconds
            for j in range(b.reservoirs):
                q = c * q + d * state[j]
                state[j] = q

        def held(states: list[float]) -> float:
            return (k * states[-1] + sum((k - half) * s for s in states[:-1])) * 3600.0

        change += held(state) - held([b.initial_q] * b.reservoirs)
    return inflow, change


def _clark_cut_tail(e: Subbasin, clock: _Clock) -> float:
    """Discharge sum (cfs) that the unit hydrograph's recession would still give after its cut.

    The recession stops once an ordinate falls below 1e-9 of the peak; past that
    it would go on geometrically, each ordinate C2 times the one before.
    """
    unit = np.asarray(
        rainfall_transform.run_clark_uh(
            utils.IncrementalTimeSeries([1.0], clock.step, "rainfall"), e.area_acres, e.transform.tc, e.transform.storage_r
        )
    )
    r = e.transform.storage_r
    two_r = 2.0 * ((r.microseconds * 1000) / 1e9 + _whole_seconds(r))
    c2 = (two_r - clock.seconds) / (clock.seconds + two_r)
    if len(unit) < 2 or not abs(c2) < 1.0:
        return 0.0
    return float(unit[-1]) * c2 / (1.0 - c2)


def _reach_storage_change(e: Reach, inflow: Array, outflow: Array, seconds: float) -> float:
    """Storage change (flow unit x s) of the reach, K_seg (x I + (1 - x) O) in each sub-reach."""
    m = e.routing
    k = (m.k.microseconds * 1000) / 1e9 + _whole_seconds(m.k)
    k_seg = k / m.sub_reaches
    x = m.x
    two_k = k_seg + k_seg
    den = seconds + two_k * (1.0 - x)
    c0 = (seconds - two_k * x) / den
    c1 = (seconds + two_k * x) / den
    c2 = (two_k * (1.0 - x) - seconds) / den
    change = 0.0
    i_flow = inflow.tolist()
    start = float(outflow[0])
    for p in range(m.sub_reaches):
        if p == m.sub_reaches - 1:
            o_flow = outflow.tolist()
        else:
            o_flow = [start]
            for t in range(1, len(i_flow)):
                o_flow.append(c2 * o_flow[-1] + (c1 * i_flow[t - 1] + c0 * i_flow[t]))
        change += k_seg * (x * (i_flow[-1] - i_flow[0]) + (1.0 - x) * (o_flow[-1] - o_flow[0]))
        i_flow = o_flow
    return change


def _interpolate(values: Array, step: float, at: Array) -> Array:
    """The lookup by duration of a basinkit series, operation for operation."""
    p = at / step
    i = np.floor(p)
    last = len(values) - 1
    lo = np.minimum(i, max(last - 1, 0)).astype(np.int64)
    hi = np.minimum(lo + 1, last)
    inside = values[lo] + (p - i) * (values[hi] - values[lo])
    return np.where(i >= last, values[last], inside)


def _released_volume(e: Reservoir, res: _ReservoirResult, clock: _Clock) -> float:
    """Volume (ft^3) the outlets released, re-run with a record at every one-second step.

    Level pool routing integrates with one-second steps but records only at the
    clock's instants; running the same inflow, looked up the same way, on a
    one-second clock gives the same states and every release that was applied.
    """
    dt = int(clock.seconds)
    padded = _padded(res.inflow)
    # One-second instant u stands for instant u + dt - 1 of the padded series.
    seconds = np.arange(dt - 1, (clock.steps + 1) * dt + 1, dtype=np.float64)
    fine = _interpolate(padded, float(dt), seconds)
    ru = reservoir.reservoir_utils
    outlets = _outlets(e, clock)
    one = timedelta(seconds=1)
    for name, o in e.outlets.items():
        if isinstance(o, ReleaseSchedule):
            coarse = _padded(_on_clock(o.flow, clock, name))
            outlets[name] = ru.SpecifiedDischargeInfo(
                utils.ContinuousTimeSeries(_interpolate(coarse, float(dt), seconds), one, "discharge"),
                o.minimum_elevation,
                o.maximum_elevation,
                o.maximum_release,
            )
    pool = reservoir.run_level_pool_routing(
        utils.ContinuousTimeSeries(fine, one, "discharge"),
        e.initial_elevation,
        ru.ElevationStorage(e.elevations, e.storages),
        outlets,
    )
    # The release at the first instant is recorded but moves no water.
    return float(np.asarray(pool.reservoir_total_outflow)[1:].sum())


# ---------------------------------------------------------------- the run


class BasinRun:
    """One event run: flows on one clock, per-element details, volume accounts, scores.

    The clock: instants ``start, start + dt, ..., start + (n + e) dt`` for n rain
    intervals and e intervals of `extend`. Clark's value k lies at start + k dt,
    baseflow value i at the end of interval i (initial_q at the start), a reach
    on its inflow's instants, a reservoir routed from the start (its first
    inflow value repeated in front).
    """

    def __init__(self, basin: Basin, clock: _Clock, results: Mapping[str, _Result]) -> None:
        self.basin = basin
        self._clock = clock
        self._results = dict(results)

    @property
    def time_step(self) -> timedelta:
        """The clock's step."""
        return self._clock.step

    @property
    def index(self) -> pd.DatetimeIndex:
        """The instants of the simulation window."""
        return self._clock.index

    @cached_property
    def flows(self) -> pd.DataFrame:
        """Outflow of every element (cfs), one column each, on the window's instants."""
        # One block of floats, built once.
        values = np.column_stack([self._results[e.name].outflow for e in self.basin.elements])
        return pd.DataFrame(values, index=self.index, columns=self.basin._column_index())

    def element(self, name: str) -> pd.DataFrame:
        """Details of one element on the window's instants.

        Subbasin: ``rain``, ``excess`` and ``loss`` (inches in the interval that
        starts at the row's instant; NaN in the last row), ``deficit`` (inches,
        at the instant), ``direct_runoff``, one ``baseflow:<layer>`` per layer and
        ``outflow`` (cfs). Reservoir: ``inflow`` (cfs), ``storage`` (ft^3),
        ``elevation`` (ft), ``outflow`` and one ``outlet:<name>`` per outlet
        (cfs). Reach, junction, source: ``inflow`` and ``outflow`` (cfs).
        """
        self.basin.element(name)
        r = self._results[name]
        columns: dict[str, Array]
        if isinstance(r, _SubbasinResult):
            pad = np.full(1, np.nan)
            columns = {
                "rain": np.concatenate((r.rain, pad)),
                "excess": np.concatenate((r.excess, pad)),
                "loss": np.concatenate((r.loss, pad)),
                "deficit": r.deficit,
                "direct_runoff": _window(r.direct, len(self.index)),
            }
            columns.update({f"baseflow:{k}": v for k, v in r.layers.items()})
            columns["outflow"] = r.outflow
        elif isinstance(r, _ReservoirResult):
            columns = {"inflow": r.inflow, "storage": r.storage, "elevation": r.elevation, "outflow": r.outflow}
            columns.update({f"outlet:{k}": v for k, v in r.outlets.items()})
        else:
            columns = {"inflow": r.inflow, "outflow": r.outflow}
        return pd.DataFrame(columns, index=self.index)

    @cached_property
    def balance(self) -> pd.DataFrame:
        """Volume account of every element over the window, in acre-feet.

        Columns: ``inflow`` (rain on a subbasin, the summed inflow elsewhere),
        ``outflow``, ``storage_change`` (soil, groundwater, channel or pool),
        ``beyond_window`` (what a model produced past the window's end, with
        the little the Clark recession would still give after it is cut),
        ``residual`` = inflow - outflow - storage_change - beyond_window, and
        ``residual_pct`` (% of inflow). Volumes of flows are the areas under
        straight lines between instants, except a reservoir's outflow: the
        volume its outlets released in the one-second steps of level pool
        routing (found by re-running it with a record every second); with
        storage indication the straight lines hold for it too.
        """
        rows = {name: self._account(name) for name in self.basin.names}
        frame = pd.DataFrame.from_dict(
            rows, orient="index", columns=["inflow", "outflow", "storage_change", "beyond_window"]
        ) / ACRE_FOOT_FT3
        frame["residual"] = (
            frame["inflow"] - frame["outflow"] - frame["storage_change"] - frame["beyond_window"]
        )
        with np.errstate(divide="ignore", invalid="ignore"):
            frame["residual_pct"] = 100.0 * frame["residual"] / frame["inflow"]
        frame.index.name = "element"
        return frame

    def _account(self, name: str) -> tuple[float, float, float, float]:
        e = self.basin.element(name)
        r = self._results[name]
        dt = self._clock.seconds
        if isinstance(e, Subbasin):
            assert isinstance(r, _SubbasinResult)
            per_inch = e.area_acres * FT3_PER_ACRE_INCH
            rain = float(r.rain.sum()) * per_inch
            loss = float(r.loss.sum()) * per_inch
            to_layers, groundwater = _baseflow_storage_change(e, r.loss, dt)
            window = self._clock.steps
            tail = r.direct[window:]
            beyond = dt * (0.5 * float(tail[0]) + float(tail[1:].sum())) if len(tail) else 0.0
            beyond += dt * float(r.excess.sum()) * _clark_cut_tail(e, self._clock)
            soil = loss - to_layers
            return rain, _trapezoid(r.outflow, dt), soil + groundwater, beyond
        if isinstance(e, Reservoir):
            assert isinstance(r, _ReservoirResult)
            if e.method == "storage_indication":
                # One implicit step per interval: the outflow is a straight line between instants.
                released = _trapezoid(r.outflow, dt)
            else:
                released = _released_volume(e, r, self._clock)
            return _trapezoid(r.inflow, dt), released, float(r.storage[-1] - r.storage[0]), 0.0
        assert isinstance(r, _FlowResult)
        if isinstance(e, Reach):
            change = _reach_storage_change(e, r.inflow, r.outflow, dt)
            return _trapezoid(r.inflow, dt), _trapezoid(r.outflow, dt), change, 0.0
        if isinstance(e, Junction):
            ups = [self._results[u].outflow for u in self.basin.upstream(name)]
            return sum(_trapezoid(u, dt) for u in ups), _trapezoid(r.outflow, dt), 0.0, 0.0
        volume = _trapezoid(r.outflow, dt)
        return volume, volume, 0.0, 0.0

    def score(self, observed: pd.Series, at: str) -> Score:
        """Scores element `at` against `observed` (cfs) on their common instants; NaN skipped."""
        self.basin.element(at)
        if not isinstance(observed, pd.Series) or not isinstance(observed.index, pd.DatetimeIndex):
            raise TypeError("observed must be a pandas Series on a DatetimeIndex")
        if not observed.index.is_unique:
            raise ValueError("observed has repeated instants")
        if (observed.index.tz is None) != (self.index.tz is None):
            raise ValueError("observed and precipitation must both carry a time zone or neither")
        common = self.index.intersection(observed.index)
        obs = observed.reindex(common).to_numpy(dtype="float64")
        sim = self.flows[at].reindex(common).to_numpy(dtype="float64")
        keep = ~np.isnan(obs)
        if not keep.any():
            raise ValueError(f"observed has no value on the instants of the run ({self.index[0]} to {self.index[-1]})")
        return score_arrays(sim[keep], obs[keep], skipped=int((~keep).sum()))


def _window(values: Array, n: int) -> Array:
    out = np.zeros(n)
    out[: min(n, len(values))] = values[:n]
    return out


def score_arrays(sim: Array, obs: Array, *, skipped: int = 0) -> Score:
    """KGE (basinkit), its components, NSE and RMSE of paired arrays."""
    eps = 1e-6
    kge = metrics.calculate_kge(sim, obs)
    ds = sim - sim.mean()
    do = obs - obs.mean()
    s_ss, s_oo, s_so = float(ds @ ds), float(do @ do), float(ds @ do)
    den = math.sqrt(s_oo * s_ss)
    r = s_so / den if den >= eps else 0.0  # as the efficiency treats it
    mean_obs = float(obs.mean())
    if abs(mean_obs) < eps:
        mean_obs = eps
    std_obs = max(math.sqrt(s_oo / len(obs)), eps)
    beta = float(sim.mean()) / mean_obs
    gamma = math.sqrt(s_ss / len(sim)) / std_obs
    err = sim - obs
    sse = float(err @ err)
    nse = 1.0 - sse / s_oo if s_oo > 0.0 else -math.inf
    rmse = math.sqrt(sse / len(obs))
    return Score(kge, r, beta, gamma, nse, rmse, int(len(obs)), skipped)
