"""Calibration throughput: runs per second of the storm basin on one and two workers, and five events.

The storm basin of tests/model_basins.py (subbasin -> reach -> reservoir) is
calibrated on tc and the loss rate for a fixed number of generations (no
stopping rule, no polish), with each reservoir method, in this process and on
two worker processes started by calibrate (their start-up included) and on a
pool of two processes started and warmed beforehand; a second comparison fits one set
to five storms at once. Each side must give the very same history, bit for
bit; the table turns the wall times into runs per second (a five-event set
counts as five runs).
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import importlib
import multiprocessing
import sys
from datetime import timedelta

from benchmarks import harness as h

EXTEND_H = 48


def _basins():
    sys.path.insert(0, str(h.ROOT / "tests"))
    try:
        import model_basins as mb
    finally:
        sys.path.remove(str(h.ROOT / "tests"))
    return mb


def _warm_up(_: int) -> bool:
    return importlib.import_module("basinkit_model") is not None


def same_history(ours, theirs, what: str) -> str:
    if not ours[1].equals(theirs[1]):
        raise h.Disagreement(f"{what}: a different history ({len(theirs[1])} against {len(ours[1])} runs)")
    return f"the same history, {len(ours[1])} sets"


def run(s: h.Session) -> None:
    import basinkit_model as bm

    mb = _basins()
    hour = timedelta(hours=1)
    base = mb.storm_basin()
    params = {"upper.transform.tc": (2 * hour, 8 * hour), "upper.loss.rate_in_per_hr": (0.02, 0.4)}
    popsize = 5
    generations = s.size(8, 1)
    extend = timedelta(hours=EXTEND_H)
    rows = []

    def fit(basin, events, workers):
        return bm.calibrate(basin, events=events, at="lake", parameters=params, seed=7, maxiter=generations,
                            popsize=popsize, xtol=0.0, patience=10**6, polish=False, workers=workers,
                            extend=extend)

    def compare(label, basin, events):
        truth = basin.with_values({"upper.transform.tc": 3 * hour, "upper.loss.rate_in_per_hr": 0.15})
        gauged = [(rain, truth.run(rain, extend=extend).flows["lake"]) for rain in events]
        kinds = {"1 worker": 1, "2 workers": 2, "2 warm processes": warm}
        sides = {k: h.Side(lambda w=w: fit(basin, gauged, w), lambda c: (c.evaluations, c.history))
                 for k, w in kinds.items()}
        if not s.compare(label, sides, same_history, clock=h.WALL, repeats=s.repeats or 3):
            return
        for row in s.rows[-3:]:
            runs = (1 + (generations + 1) * popsize * len(params)) * len(events)
            rows.append([label, row["side"], runs, f"{row['median_s']:.2f}", f"{runs / row['median_s']:.0f}"])

    warm = concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))
    list(warm.map(_warm_up, range(2)))  # both processes have imported the layer before any timing
    try:
        _compare_all(bm, mb, base, compare)
    finally:
        warm.shutdown()
    if rows and not s.checking:
        s.table("Calibration throughput (median wall time; a run is one set on one event)",
                ["calibration", "workers", "runs", "wall s", "runs/s"], rows)


def _compare_all(bm, mb, base, compare) -> None:
    for method in ("level_pool", "storage_indication"):
        lake = dataclasses.replace(base.element("lake"), method=method)
        basin = bm.Basin([*base.elements[:2], lake])
        compare(f"storm basin, {method}", basin, [mb.storm_rain()])
    lake = dataclasses.replace(base.element("lake"), method="storage_indication")
    basin = bm.Basin([*base.elements[:2], lake])
    storms = [mb.storm_rain(start=f"2024-06-{1 + 5 * i:02d}", depth=3.0 + i) for i in range(5)]
    compare("five events at once, storage_indication", basin, storms)
