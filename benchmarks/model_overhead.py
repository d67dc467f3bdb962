"""What basinkit_model costs on top of basinkit: one storm event, and calibration wall time.

    python benchmarks/model_overhead.py            # event overhead, then calibration with 1 and 2 workers
                                                   # (2 workers: processes started by calibrate, then a warm pool)
    python benchmarks/model_overhead.py --quick    # fewer repeats, no calibration

The event is the bundled storm basin (examples/data/storm.toml) on its rain
(examples/data/storm_rain.csv) with 72 dry hours. "raw" is the same chain of
basinkit calls written by hand, on the same clock; both are checked to give
bit-identical reservoir outflow before anything is timed. Timings are process
CPU time medians of interleaved repeats, so other load on the machine
inflates both sides alike; the calibration figures are wall time.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import importlib
import multiprocessing
import os
import statistics
import sys
import time
from datetime import timedelta
from pathlib import Path
from typing import Any

import numpy as np

import basinkit_model as bm
from basinkit_model._cli import read_csv
from basinkit import baseflow, rainfall_loss, rainfall_transform, reach, reservoir, utils

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"
EXTEND_H = 72


def raw_chain(basin: bm.Basin, rain: list[float]) -> list[float]:
    """The storm basin as basinkit calls, flows placed on the layer's clock."""
    step = timedelta(hours=1)
    up = basin.element("upper")
    ch = basin.element("channel")
    lake = basin.element("lake")
    assert isinstance(up, bm.Subbasin) and isinstance(ch, bm.Reach) and isinstance(lake, bm.Reservoir)
    n = len(rain) + 1
    gross = utils.IncrementalTimeSeries(rain, step, "rainfall")
    split = rainfall_loss.run_deficit_and_constant(
        gross, up.loss.initial_deficit, up.loss.max_deficit, up.loss.rate_in_per_hr, up.loss.time_to_dry
    )
    direct = rainfall_transform.run_clark_uh(split.excess, up.area_acres, up.transform.tc, up.transform.storage_r).data
    layers = {k: baseflow.LinearReservoir(b.k, b.fraction, b.initial_q, b.reservoirs) for k, b in (up.baseflow or {}).items()}
    total, _ = baseflow.run_linear_reservoir(up.area_acres, split.loss, layers)
    base = [sum(b.initial_q for b in (up.baseflow or {}).values())] + total.data
    inflow = [direct[k] + base[k] for k in range(n)]
    m = ch.routing
    routed = reach.run_muskingum_routing(utils.ContinuousTimeSeries(inflow, step, "discharge"), m.k, m.x, m.sub_reaches, inflow[0]).data
    ru = reservoir.reservoir_utils
    outlets: dict[str, reservoir.Outlet] = {}
    for name, o in lake.outlets.items():
        if isinstance(o, bm.Spillway):
            outlets[name] = ru.UnControlledDischargeInfo(ru.ElevationDischarge(o.elevations, o.discharges), o.offset)
        elif isinstance(o, bm.Gate):
            outlets[name] = ru.ControlledDischargeInfo(
                ru.ElevationDischarge(o.elevations, o.discharges), o.minimum_elevation, o.maximum_elevation, o.maximum_release
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


def event(repeats: int) -> None:
    basin = bm.load(DATA / "storm.toml")
    precip = read_csv(str(DATA / "storm_rain.csv"), "rain")
    rain = [float(v) for v in precip] + [0.0] * EXTEND_H
    extend = timedelta(hours=EXTEND_H)
    layer_out = basin.run(precip, extend=extend).flows["lake"].to_numpy()
    if layer_out.tobytes() != np.asarray(raw_chain(basin, rain)).tobytes():
        sys.exit("the layer and the hand-written chain disagree: nothing timed")
    raw_t, layer_t, balance_t = [], [], []
    for _ in range(repeats):
        t = time.process_time()
        raw_chain(basin, rain)
        raw_t.append(time.process_time() - t)
        t = time.process_time()
        run = basin.run(precip, extend=extend)
        run.flows
        layer_t.append(time.process_time() - t)
        t = time.process_time()
        run.balance
        balance_t.append(time.process_time() - t)
    raw, layer = statistics.median(raw_t), statistics.median(layer_t)
    print(f"storm event ({len(rain)} hourly steps), {repeats} interleaved repeats, process CPU time:")
    print("                          median     minimum")
    print(f"  raw basinkit calls     {raw * 1e3:8.2f} ms {min(raw_t) * 1e3:8.2f} ms")
    print(f"  basin.run + flows      {layer * 1e3:8.2f} ms {min(layer_t) * 1e3:8.2f} ms   overhead "
          f"{100.0 * (layer / raw - 1.0):+.1f} % (median), {100.0 * (min(layer_t) / min(raw_t) - 1.0):+.1f} % (minimum)")
    print(f"  run.balance (optional) {statistics.median(balance_t) * 1e3:8.2f} ms {min(balance_t) * 1e3:8.2f} ms")


def _warm_up(_: int) -> bool:
    return importlib.import_module("basinkit_model") is not None


def calibration(evaluations: int) -> None:
    basin = bm.load(DATA / "storm.toml")
    precip = read_csv(str(DATA / "storm_rain.csv"), "rain")
    observed = read_csv(str(DATA / "storm_gauge.csv"), "gauge")
    params = {"upper.transform.tc": (timedelta(hours=2), timedelta(hours=8)), "upper.loss.rate_in_per_hr": (0.02, 0.4)}
    popsize = 10
    maxiter = evaluations // (popsize * len(params)) - 1
    results = {}
    warm = concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
    # Started and warmed outside the timing: both processes have imported the layer.
    list(warm.map(_warm_up, range(2)))
    runs: list[tuple[str, Any]] = [("1 worker", 1), ("2 workers", 2), ("2 warm processes", warm)]
    for label, workers in runs:
        t = time.perf_counter()
        fit = bm.calibrate(
            basin, precip, observed, "lake", params, seed=7, maxiter=maxiter, popsize=popsize, tol=0.0,
            workers=workers, extend=timedelta(hours=EXTEND_H),
        )
        wall = time.perf_counter() - t
        results[label] = fit
        print(f"  calibration, {label:16s}: {fit.evaluations} runs in {wall:6.2f} s wall "
              f"({fit.evaluations / wall:5.1f} runs/s), KGE {fit.score:.4f}")
    warm.shutdown()
    if len({tuple(f.values.items()) for f in results.values()}) != 1:
        sys.exit("the worker settings found different parameters")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="few repeats, no calibration")
    p.add_argument("--repeats", type=int, default=200, help="event repeats (default 200)")
    p.add_argument("--evaluations", type=int, default=200, help="calibration runs (default 200)")
    args = p.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}, "
          f"{os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
    event(5 if args.quick else args.repeats)
    if not args.quick and args.evaluations > 0:
        calibration(args.evaluations)
    print(f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")


if __name__ == "__main__":
    main()
