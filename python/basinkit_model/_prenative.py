"""Stand-ins for the private extension's routines, made of public calls and re-runs.

Same arguments and results as the private extension's level_pool, muskingum,
linear_reservoir and clark; used until the extension provides them.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from datetime import timedelta

import numpy as np
from numpy.typing import ArrayLike, NDArray

from basinkit import baseflow, rainfall_transform, reach, reservoir, utils

Array = NDArray[np.float64]
_ONE = timedelta(seconds=1)


def _packed(values: object) -> bytes:
    return np.asarray(values, dtype=np.float64).tobytes()


def _public_outlets(outlets: Mapping[str, tuple[object, ...]], fine: Array | None) -> dict[str, reservoir.Outlet]:
    ru = reservoir.reservoir_utils
    made: dict[str, reservoir.Outlet] = {}
    for name, o in outlets.items():
        kind, rest = o[0], o[1:]
        if kind == "spillway":
            made[name] = ru.UnControlledDischargeInfo(ru.ElevationDischarge(rest[0], rest[1]), rest[2])  # type: ignore[arg-type]
        elif kind == "gate":
            made[name] = ru.ControlledDischargeInfo(ru.ElevationDischarge(rest[0], rest[1]), *rest[2:])  # type: ignore[arg-type]
        elif kind == "constant":
            made[name] = ru.ConstantDischargeInfo(*rest)  # type: ignore[arg-type]
        else:
            values = np.asarray(rest[0], dtype=np.float64)
            step = timedelta(seconds=int(rest[1]))  # type: ignore[call-overload]
            if fine is not None:
                values, step = _interpolate(values, float(step.total_seconds()), fine), _ONE
            made[name] = ru.SpecifiedDischargeInfo(
                utils.ContinuousTimeSeries(values, step, "discharge"), *rest[2:]  # type: ignore[arg-type]
            )
    return made


def _interpolate(values: Array, step: float, at: Array) -> Array:
    """The lookup by duration of a basinkit series, operation for operation."""
    p = at / step
    i = np.floor(p)
    last = len(values) - 1
    lo = np.minimum(i, max(last - 1, 0)).astype(np.int64)
    hi = np.minimum(lo + 1, last)
    inside = values[lo] + (p - i) * (values[hi] - values[lo])
    return np.where(i >= last, values[last], inside)


def level_pool(
    inflow: ArrayLike, time_step: int, initial_elevation: float, elevations: Sequence[float],
    storages: Sequence[float], outlets: Mapping[str, tuple[object, ...]],
) -> tuple[bytes, bytes, bytes, dict[str, bytes], float]:
    """Level pool routing and the volume its outlets released in the one-second steps."""
    flow = np.asarray(inflow, dtype=np.float64)
    curve = reservoir.reservoir_utils.ElevationStorage(elevations, storages)
    step = timedelta(seconds=time_step)
    pool = reservoir.run_level_pool_routing(
        utils.ContinuousTimeSeries(flow, step, "discharge"), initial_elevation, curve, _public_outlets(outlets, None)
    )
    # Re-run with a record at every one-second step: one-second instant u stands for
    # instant u + dt - 1 of the series.
    seconds = np.arange(time_step - 1, (len(flow) - 1) * time_step + 1, dtype=np.float64)
    fine = reservoir.run_level_pool_routing(
        utils.ContinuousTimeSeries(_interpolate(flow, float(time_step), seconds), _ONE, "discharge"),
        initial_elevation, curve, _public_outlets(outlets, seconds),
    )
    released = float(np.asarray(fine.reservoir_total_outflow)[1:].sum())
    return (
        _packed(pool.reservoir_storage), _packed(pool.reservoir_elevation), _packed(pool.reservoir_total_outflow),
        {n: _packed(s) for n, s in pool.reservoir_individual_outflows.items()}, released,
    )


def muskingum(
    inflow: ArrayLike, time_step: int, k: timedelta, x: float, sub_reaches: int, initial_outflow: float
) -> tuple[bytes, list[float]]:
    """Muskingum routing and the last outflow of every pass."""
    flow = np.asarray(inflow, dtype=np.float64)
    step = timedelta(seconds=time_step)
    out = np.asarray(reach.run_muskingum_routing(
        utils.ContinuousTimeSeries(flow, step, "discharge"), k, x, sub_reaches, initial_outflow
    ))
    kk = (k.microseconds * 1000) / 1e9 + (k.days * 86400 + k.seconds)
    k_seg = kk / sub_reaches
    two_k = k_seg + k_seg
    den = time_step + two_k * (1.0 - x)
    c0 = (time_step - two_k * x) / den
    c1 = (time_step + two_k * x) / den
    c2 = (two_k * (1.0 - x) - time_step) / den
    ends: list[float] = []
    i_flow = flow.tolist()
    for _ in range(sub_reaches - 1):
        o_flow = [initial_outflow]
        for t in range(1, len(i_flow)):
            o_flow.append(c2 * o_flow[-1] + (c1 * i_flow[t - 1] + c0 * i_flow[t]))
        ends.append(o_flow[-1])
        i_flow = o_flow
    ends.append(float(out[-1]))
    return _packed(out), ends


def linear_reservoir(
    basin_area: float, rainfall: ArrayLike, time_step: int,
    layers: Sequence[tuple[str, timedelta, float, float, int]],
) -> tuple[bytes, dict[str, bytes], dict[str, bytes]]:
    """Linear-reservoir baseflow and every chain's discharges after the last step."""
    loss = np.asarray(rainfall, dtype=np.float64)
    step = timedelta(seconds=time_step)
    settings = {n: baseflow.LinearReservoir(k, f, q, r) for n, k, f, q, r in layers}
    total, per = baseflow.run_linear_reservoir(basin_area, utils.IncrementalTimeSeries(loss, step, "rainfall"), settings)
    dt_h = time_step / 3600.0
    half = dt_h * 0.5
    area_factor = basin_area * 1.00833
    ends: dict[str, bytes] = {}
    for name, k_all, fraction, initial_q, count in layers:
        k = ((k_all.days * 86400 + k_all.seconds) / 3600.0) / count
        c = dt_h / (half + k)
        d = 1.0 - c
        state = [initial_q] * count
        for p in loss.tolist():
            q = area_factor * ((fraction * p) / dt_h)
            for j in range(count):
                q = c * q + d * state[j]
                state[j] = q
        ends[name] = _packed(state)
    return _packed(total), {n: _packed(s) for n, s in per.items()}, ends


def clark(
    excess: ArrayLike, time_step: int, basin_area: float, tc: timedelta, storage_r: timedelta
) -> tuple[bytes, float]:
    """Clark runoff and the recession the unit hydrograph cut off."""
    step = timedelta(seconds=time_step)
    out = rainfall_transform.run_clark_uh(
        utils.IncrementalTimeSeries(np.asarray(excess, dtype=np.float64), step, "rainfall"), basin_area, tc, storage_r
    )
    unit = np.asarray(
        rainfall_transform.run_clark_uh(utils.IncrementalTimeSeries([1.0], step, "rainfall"), basin_area, tc, storage_r)
    )
    two_r = 2.0 * ((storage_r.microseconds * 1000) / 1e9 + (storage_r.days * 86400 + storage_r.seconds))
    c2 = (two_r - time_step) / (time_step + two_r)
    tail = 0.0 if len(unit) < 2 or not abs(c2) < 1.0 else float(unit[-1]) * c2 / (1.0 - c2)
    return _packed(out), tail
