"""What basinkit_model costs on top of basinkit: one storm event, and calibration.

The event is the bundled storm basin on its rain with 72 dry hours: "raw" is
the same chain of basinkit calls written by hand, on the same clock, and must
give bit-identical reservoir outflow. Full runs also calibrate two parameters
(about 200 runs of the event) with 1 worker, 2 worker processes started by
calibrate, and a pool of 2 processes started beforehand; all three must find
the same parameters.
"""

from __future__ import annotations

import concurrent.futures
import importlib
import multiprocessing
from datetime import timedelta

from basinkit import baseflow, rainfall_loss, rainfall_transform, reach, reservoir, utils
from benchmarks import harness as h
from benchmarks import workloads as w

EXTEND_H = 72


def raw_chain(basin, rain: list[float]) -> list[float]:
    """The storm basin as basinkit calls, flows placed on the layer's clock."""
    import basinkit_model as bm

    step = timedelta(hours=1)
    up, ch, lake = basin.element("upper"), basin.element("channel"), basin.element("lake")
    assert isinstance(up, bm.Subbasin) and isinstance(ch, bm.Reach) and isinstance(lake, bm.Reservoir)
    n = len(rain) + 1
    gross = utils.IncrementalTimeSeries(rain, step, "rainfall")
    split = rainfall_loss.run_deficit_and_constant(
        gross, up.loss.initial_deficit, up.loss.max_deficit, up.loss.rate_in_per_hr, up.loss.time_to_dry
    )
    direct = rainfall_transform.run_clark_uh(split.excess, up.area_acres, up.transform.tc,
                                             up.transform.storage_r).data
    layers = {k: baseflow.LinearReservoir(b.k, b.fraction, b.initial_q, b.reservoirs)
              for k, b in (up.baseflow or {}).items()}
    total, _ = baseflow.run_linear_reservoir(up.area_acres, split.loss, layers)
    base = [sum(b.initial_q for b in (up.baseflow or {}).values())] + total.data
    inflow = [direct[k] + base[k] for k in range(n)]
    m = ch.routing
    routed = reach.run_muskingum_routing(utils.ContinuousTimeSeries(inflow, step, "discharge"),
                                         m.k, m.x, m.sub_reaches, inflow[0]).data
    ru = reservoir.reservoir_utils
    outlets: dict[str, reservoir.Outlet] = {}
    for name, o in lake.outlets.items():
        if isinstance(o, bm.Spillway):
            outlets[name] = ru.UnControlledDischargeInfo(ru.ElevationDischarge(o.elevations, o.discharges), o.offset)
        elif isinstance(o, bm.Gate):
            outlets[name] = ru.ControlledDischargeInfo(
                ru.ElevationDischarge(o.elevations, o.discharges), o.minimum_elevation,
                o.maximum_elevation, o.maximum_release
            )
        elif isinstance(o, bm.ConstantRelease):
            outlets[name] = ru.ConstantDischargeInfo(o.q, o.minimum_elevation, o.maximum_elevation)
    pool = reservoir.run_level_pool_routing(
        utils.ContinuousTimeSeries([routed[0]] + routed, step, "discharge"),
        lake.initial_elevation,
        ru.ElevationStorage(lake.elevations, lake.storages),
        outlets,
    )
    return pool.reservoir_total_outflow.data


def _warm_up(_: int) -> bool:
    return importlib.import_module("basinkit_model") is not None


def calibration(s: h.Session, basin, precip, observed) -> None:
    import basinkit_model as bm

    params = {"upper.transform.tc": (timedelta(hours=2), timedelta(hours=8)),
              "upper.loss.rate_in_per_hr": (0.02, 0.4)}
    popsize = 10
    maxiter = 200 // (popsize * len(params)) - 1
    warm = concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
    # Started and warmed outside the timing: both processes have imported the layer.
    list(warm.map(_warm_up, range(2)))

    def side(workers):
        return h.Side(lambda: bm.calibrate(
            basin, precip, observed, "lake", params, seed=7, maxiter=maxiter, popsize=popsize,
            tol=0.0, workers=workers, extend=timedelta(hours=EXTEND_H)),
            lambda fit: (fit.evaluations, sorted(fit.values.items())))

    def same_fit(ours, theirs, what):
        if ours[1] != theirs[1]:
            raise h.Disagreement(f"{what}: found {theirs[1]} against {ours[1]}")
        return f"same parameters, {theirs[0]} runs"

    try:
        s.compare("calibration, about 200 runs", {"1 worker": side(1), "2 workers": side(2),
                                                   "2 warm processes": side(warm)},
                  same_fit, clock=h.ONCE)
    finally:
        warm.shutdown()


def run(s: h.Session) -> None:
    basin, precip, observed = w.storm()
    rain = [float(v) for v in precip] + [0.0] * EXTEND_H
    extend = timedelta(hours=EXTEND_H)
    s.compare(f"storm event, {len(rain)} hourly steps", {
        "raw basinkit calls": lambda: raw_chain(basin, rain),
        "basin.run + flows": lambda: basin.run(precip, extend=extend).flows["lake"].to_numpy(),
    }, h.same_bits, repeats=s.repeats or (5 if s.quick else 200))
    # The balance re-runs the level pool routing with a record every second;
    # each timed call reads it from a fresh run.
    s.compare("run.balance (optional)", {"run.balance": h.Side(
        lambda r: r.balance, setup=lambda: basin.run(precip, extend=extend))},
        repeats=s.repeats or (5 if s.quick else 200))
    if not (s.quick or s.checking):
        calibration(s, basin, precip, observed)
