"""Speed of storage-indication routing against level pool routing, and of a
calibration of the storm basin with either reservoir method.

    python benchmarks/storage_indication_bench.py [--rounds N] [--evaluations N]

Routing: the 30-day hourly event with three outlets of the level pool
benchmarks (721 values), both routed from time 0 and agreeing on the peak
before anything is timed. Each side is one call from Python with its inputs
ready, timed as the calling thread's CPU time (time.thread_time), so that
other processes on a shared machine inflate the figures less; the median of
--rounds rounds is reported, with the machine's load. Peers (HydPy's lake
model) are not timed here.

Calibration: wall time of about --evaluations runs of the storm basin, once
with each reservoir method.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import statistics
import sys
import time
from datetime import timedelta
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import basinkit  # noqa: E402
from storage_indication_accuracy import both_methods, native_outlets  # noqa: E402
from workloads import LevelPoolCase, flood  # noqa: E402

from basinkit_model import _native  # noqa: E402

ROOT = HERE.parent


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f}, {five:.2f}, {fifteen:.2f} on {os.cpu_count()} cores"


def median_cpu(fn, rounds: int, calls: int = 1) -> float:
    fn()  # warm-up
    times = []
    for _ in range(rounds):
        start = time.thread_time()
        for _ in range(calls):
            fn()
        times.append((time.thread_time() - start) / calls)
    return statistics.median(times)


def routing(rounds: int) -> None:
    case = LevelPoolCase(flood(720), 3600)
    level, indication = both_methods(case)
    peak_lp, peak_si = level.outflow.max(), indication.outflow.max()
    assert abs(peak_si / peak_lp - 1.0) < 1e-3, (peak_lp, peak_si)

    curve, outlets = case.basinkit_args()
    padded = np.concatenate((case.inflow[:1], case.inflow))
    series = basinkit.utils.ContinuousTimeSeries(padded, timedelta(seconds=case.dt), "discharge")
    e, s, native = case.es_elevation, case.es_storage, native_outlets(case)

    def run_level_pool():
        basinkit.reservoir.run_level_pool_routing(series, case.initial_elevation, curve, outlets)

    def run_indication():
        _native.storage_indication(case.inflow, case.dt, case.initial_elevation, e, s, native)

    print(f"30 days hourly, three outlets ({load()}):")
    lp = median_cpu(run_level_pool, max(3, rounds // 10))
    si = median_cpu(run_indication, rounds, calls=20)
    print(f"  level pool (one-second steps, from time 0): {lp * 1e3:.2f} ms")
    print(f"  storage indication (hourly steps):          {si * 1e6:.1f} us")
    print(f"  ratio: {lp / si:.0f}x   peak outflow {peak_lp:.2f} vs {peak_si:.2f} cfs")
    print("  (no HydPy lake-model comparison: this script times basinkit only)")
    print(f"  ({load()})")


def calibration(evaluations: int) -> None:
    import pandas as pd

    import basinkit_model

    basin = basinkit_model.load(ROOT / "examples" / "data" / "storm.toml")
    rain = pd.read_csv(ROOT / "examples" / "data" / "storm_rain.csv", index_col=0, parse_dates=True)
    rain = rain.iloc[:, 0]
    gauge = pd.read_csv(ROOT / "examples" / "data" / "storm_gauge.csv", index_col=0, parse_dates=True)
    gauge = gauge.iloc[:, 0]
    parameters = {
        "upper.transform.tc": (timedelta(hours=2), timedelta(hours=8)),
        "upper.transform.storage_r": (timedelta(hours=1), timedelta(hours=6)),
        "channel.routing.k": (timedelta(hours=1), timedelta(hours=4)),
    }
    print(f"calibration of the storm basin, {evaluations} evaluations ({load()}):")
    for method in ("level_pool", "storage_indication"):
        lake = dataclasses.replace(basin.element("lake"), method=method)
        b = basinkit_model.Basin([lake if n == "lake" else basin.element(n) for n in basin.names])
        # Differential evolution runs popsize * len(parameters) sets per generation,
        # one generation more than maxiter; tol=0 keeps it from stopping early.
        per_generation = 10 * len(parameters)
        start = time.perf_counter()
        result = basinkit_model.calibrate(
            b, rain, gauge, at="lake", parameters=parameters, seed=1, popsize=10, tol=0.0,
            maxiter=max(1, round(evaluations / per_generation) - 1), extend=timedelta(hours=72),
        )
        wall = time.perf_counter() - start
        print(f"  {method:>18}: {wall:.2f} s wall, {result.evaluations} runs, best KGE {result.score:.4f}")
    print(f"  ({load()})")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=50)
    p.add_argument("--evaluations", type=int, default=200)
    p.add_argument("--no-calibration", action="store_true")
    args = p.parse_args()
    routing(args.rounds)
    if not args.no_calibration:
        calibration(args.evaluations)


if __name__ == "__main__":
    main()
