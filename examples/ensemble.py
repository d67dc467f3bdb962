"""Monte-Carlo or differential-evolution calibration of the storm event, on Dask.

Draws N Latin-hypercube sets of the constant loss rate, time of concentration,
Clark R and Muskingum K with basinkit_model.sample, runs the storm event of
storm_event.py for each, scores the reservoir outflow against the bundled
observed series (KGE) and prints the best sets; --behavioural and --band keep
the sets above a KGE and draw their band. --calibrate fits the same parameters
with basinkit_model.calibrate, which never ends worse than the event as given.

    python examples/ensemble.py                          # 200 sets, local Dask cluster
    python examples/ensemble.py --n 1000 --workers 2 --seed 7
    python examples/ensemble.py --scheduler tcp://head:8786   # a running Dask cluster
    python examples/ensemble.py --threads --workers 2    # thread pool, one process
    python examples/ensemble.py --calibrate --n 400      # differential evolution instead of a draw
    python examples/ensemble.py --threads --behavioural 0.9 --band band.png

Tasks carry the basin, storm and observed series: workers need basinkit, not
this directory. Other options (--storm-depth, ...) go to storm_event.py.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shlex
import sys
import time
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from datetime import timedelta
from pathlib import Path
from typing import Any

import storm_event  # beside this script, so on sys.path; first: it explains a missing basinkit_model

import basinkit_model as bm
import pandas as pd

# The calibrated parameters: storm_event option name, lower and upper bound, unit.
# Muskingum K starts at 2 h: below about 1.9 h the three sub-reaches of the event
# get a negative C2 at the hourly step and the routed hydrograph oscillates.
PARAMETERS: tuple[tuple[str, float, float, str], ...] = (
    ("loss_rate", 0.02, 0.40, "in/h"),
    ("tc_hours", 1.5, 10.0, "h"),
    ("r_hours", 1.0, 8.0, "h"),
    ("muskingum_k_hours", 2.0, 6.0, "h"),
)
Result = tuple[float, str | None]  # KGE, why the run failed
Progress = Callable[[int, int], None]


def parse_args(argv: list[str] | None = None) -> tuple[argparse.Namespace, argparse.Namespace]:
    p = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="Every other option goes to storm_event.py (see: python examples/storm_event.py --help).",
    )
    p.add_argument("--n", type=int, default=200,
                   help="parameter sets, or about as many runs with --calibrate (default 200)")
    p.add_argument("--seed", type=int, default=2024, help="random seed (default 2024)")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="worker processes of the local cluster, or threads with --threads (default: cores)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    p.add_argument("--threads", action="store_true", help="--workers threads in this process instead of Dask")
    p.add_argument("--top", type=int, default=5, help="how many of the best sets to print (default 5)")
    p.add_argument("--json", metavar="FILE", help="also write every set and its score to FILE")
    p.add_argument("--no-progress", action="store_true", help="no progress count on stderr")
    p.add_argument("--calibrate", action="store_true", help="fit by differential evolution instead of a draw")
    p.add_argument("--behavioural", type=float, metavar="KGE",
                   help="keep the sets scoring at least KGE for the band (default: every set that ran)")
    p.add_argument("--band", metavar="FILE.png", help="draw the band of the kept sets, the best run and the gauge")
    args, rest = p.parse_known_args(argv)
    if args.n < 1 or args.workers < 1 or args.top < 0:
        p.error("--n and --workers must be at least 1, --top at least 0")
    if args.threads and args.scheduler:
        p.error("--threads and --scheduler exclude each other")
    event = storm_event.parse_args(rest)
    if event.plot:
        p.error("--plot belongs to storm_event.py: re-run the best set printed here with it")
    return args, event


def bounds() -> dict[str, tuple[Any, Any]]:
    """The parameters' bounds as basin-file paths and values."""
    low = basin_values({n: lo for n, lo, _, _ in PARAMETERS})
    high = basin_values({n: hi for n, _, hi, _ in PARAMETERS})
    return {path: (low[path], high[path]) for path in low}


def basin_values(params: dict[str, float]) -> dict[str, Any]:
    """storm_event option values as basin-file parameter paths."""
    return {storm_event.PATHS[n]: timedelta(hours=params[n]) if u == "h" else params[n]
            for n, _, _, u in PARAMETERS}


def options(values: dict[str, Any]) -> dict[str, float]:
    """Basin-file values of the parameters as storm_event option values (hours for durations)."""
    return {n: (values[storm_event.PATHS[n]] / timedelta(hours=1) if u == "h" else float(values[storm_event.PATHS[n]]))
            for n, _, _, u in PARAMETERS}


def failure(exc: BaseException) -> str:
    """Why a run failed, on one line: the model's own message for a refused value."""
    text = " ".join(str(exc).split())
    if isinstance(exc, ValueError) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def given_score(basin: bm.Basin, rain: pd.Series, observed: pd.Series, extend: timedelta) -> float:
    """KGE of the event as given (raises when the event itself fails)."""
    return basin.run(rain, extend=extend).score(observed, at="lake").kge


def monte_carlo(basin: bm.Basin, rain: pd.Series, observed: pd.Series, n: int, seed: int, *,
                workers: Any = 1, extend: timedelta, behavioural: float | None = None,
                progress: Progress | None = None) -> bm.Sample:
    """n Latin-hypercube sets over the bounds, every one scored (KGE at the lake) by basinkit_model.sample."""
    return bm.sample(basin, [(rain, observed)], bounds(), n, seed=seed, workers=workers, at="lake",
                     behavioural=behavioural, extend=extend, progress=progress)


def drawn(sample: bm.Sample) -> tuple[list[dict[str, float]], list[Result]]:
    """Each set as storm_event options, and its (KGE, why it failed) in drawing order."""
    paths = list(bounds())
    sets = [options(dict(zip(paths, row))) for row in sample.sets[paths].itertuples(index=False)]
    results: list[Result] = [
        (float(k), None if not isinstance(e, str) else " ".join(e.split()))
        for k, e in zip(sample.sets["kge"], sample.sets["error"])
    ]
    return sets, results


@contextmanager
def pool(args: argparse.Namespace) -> Iterator[tuple[Any, str]]:
    """A thread pool or a Dask client (a local cluster unless --scheduler), closed afterwards."""
    if args.threads:
        with ThreadPoolExecutor(args.workers) as threads:
            yield threads, f"thread pool ({args.workers} threads, one process)"
        return
    try:
        from dask.distributed import Client
    except ImportError:
        print("the ensemble needs Dask: from the root of the basinkit checkout, python -m pip install "
              "'.[ensemble]' (or python -m pip install 'dask[distributed]'), or run it with --threads",
              file=sys.stderr)
        raise SystemExit(2)
    # One thread per worker process: a basinkit call holds the interpreter lock throughout.
    local = dict(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
    with Client(args.scheduler) if args.scheduler else Client(**local) as client:
        if args.scheduler:
            client.wait_for_workers(1, timeout=120)
            where = f"Dask scheduler {args.scheduler} ({len(client.scheduler_info()['workers'])} workers)"
        else:
            where = f"local Dask cluster ({args.workers} worker processes)"
        yield client, where


def counter(done: int, most: int) -> None:
    print(f"\r{done}/{most} runs", end="", file=sys.stderr, flush=True)


def rerun_command(base: dict[str, Any], params: dict[str, float]) -> str:
    """storm_event.py with these parameters and every other event option that
    differs from its default, so that it runs the very same event."""
    event = {**base, **params}
    defaults = vars(storm_event.parse_args([]))
    drawn = [name for name, *_ in PARAMETERS]
    fixed = [k for k in defaults if k not in drawn and k != "plot" and event[k] != defaults[k]]
    words = ["python", "examples/storm_event.py"]
    for name in fixed + drawn:
        words += ["--" + name.replace("_", "-"), repr(event[name])]
    return shlex.join(words)


def against(what: str, best: float, reference: float) -> str:
    """The best score beside the event's own, saying plainly which is better."""
    verdict = ("better than" if best > reference else "WORSE than" if best < reference else "the same as")
    advice = ", which stays the better set (more runs may help: --n)" if best < reference else ""
    return f"{what} KGE {best:.4f} vs {reference:.4f} as given: {verdict} the event as given{advice}"


def report(sets: list[dict[str, float]], results: list[Result], top: int, base: dict[str, Any]) -> list[str]:
    ok = sorted((i for i, r in enumerate(results) if r[1] is None), key=lambda i: (-results[i][0], i))
    failed = [i for i, r in enumerate(results) if r[1] is not None]
    lines = [f"sets scored {len(ok)}, failed {len(failed)}"]
    lines += [f"  set {i} failed: {results[i][1]}" for i in failed[:3]]
    if not ok:
        return lines
    header = ["rank", "set", "KGE"] + [f"{n} ({u})" for n, _, _, u in PARAMETERS]
    widths = [max(8, len(h)) for h in header]
    lines += [f"best {len(ok[:top])} of {len(results)} by KGE:", "  ".join(map(str.rjust, header, widths))]
    for rank, i in enumerate(ok[:top], 1):
        cells = [str(rank), str(i), f"{results[i][0]:.4f}", *(f"{sets[i][n]:.4f}" for n, *_ in PARAMETERS)]
        lines.append("  ".join(map(str.rjust, cells, widths)))
    return lines + ["re-run the best set: " + rerun_command(base, sets[ok[0]])]


def calibrated(fit: bm.Calibration, base: dict[str, Any]) -> list[str]:
    c = fit.components
    lines = [f"best KGE {fit.score:.4f} (r {c.r:.4f}, beta {c.beta:.4f}, gamma {c.gamma:.4f}), "
             f"NSE {c.nse:.4f}, PBIAS {c.pbias:.2f} %, peak {c.peak_error_pct:+.1f} %: {c.rating}",
             f"stopped: {fit.stop_reason} ({fit.message})"]
    best, start = options(fit.values), options(fit.start.values) if fit.start else {}
    for name, _, _, unit in PARAMETERS:
        lines.append(f"  {name:18s} {best[name]:.4f} {unit}   (start {start.get(name, math.nan):.4f})")
    lines += [f"  a failed run: {' '.join(e.split())}" for e in fit.history["error"].dropna().unique()[:3]]
    return lines + ["re-run the best set: " + rerun_command(base, best)]


def main(argv: list[str] | None = None) -> int:
    args, event = parse_args(argv)
    base, extend = vars(event), timedelta(hours=storm_event.DRY_HOURS)
    observed, rain = storm_event.read_observed(), storm_event.design_storm(event.storm_depth)
    try:
        basin = storm_event.event_basin(event)
        reference = given_score(basin, rain, observed, extend)
    except ValueError as exc:  # a value the basin refuses, or the event itself fails
        print(f"ensemble: the event fails with these options, before any draw: {failure(exc)}", file=sys.stderr)
        return 2
    if args.band:
        try:
            import matplotlib

            matplotlib.use("Agg")
        except ImportError:
            print("--band needs matplotlib: python -m pip install matplotlib", file=sys.stderr)
            return 2
    popsize = 10
    generations = max(1, args.n // (popsize * len(PARAMETERS)) - 1)
    started = time.perf_counter()
    with pool(args) as (workers, where):
        setup_s = time.perf_counter() - started
        print(f"calibration: differential evolution (seed {args.seed}, population {popsize * len(PARAMETERS)}, "
              f"at most {generations} generations) on {where}" if args.calibrate else
              f"ensemble: {args.n} parameter sets (seed {args.seed}, Latin hypercube) on {where}")
        print(f"the event as given scores KGE {reference:.4f}", flush=True)
        progress = None if args.no_progress else counter
        started = time.perf_counter()
        if args.calibrate:
            fit = bm.calibrate(basin, rain, observed, "lake", bounds(), seed=args.seed, maxiter=generations,
                               popsize=popsize, workers=workers, extend=extend, progress=progress)
        else:
            sample = monte_carlo(basin, rain, observed, args.n, args.seed, workers=workers, extend=extend,
                                 behavioural=args.behavioural, progress=progress)
        wall_s = time.perf_counter() - started
    if progress:
        print(file=sys.stderr)
    if args.calibrate:
        print(f"wall time {wall_s:.2f} s for {fit.evaluations} runs ({fit.evaluations / wall_s:.1f} runs/s), "
              f"{fit.failed} failed; start-up {setup_s:.2f} s")
        print("\n".join(calibrated(fit, base) + [against("calibrated", fit.score, reference)]))
        return 0
    sets, results = drawn(sample)
    print(f"wall time {wall_s:.2f} s for {args.n} sets ({args.n / wall_s:.1f} sets/s); "
          f"start-up {setup_s:.2f} s")
    print("\n".join(report(sets, results, args.top, base)))
    if scored := [r[0] for r in results if r[1] is None]:
        print(against("best drawn", max(scored), reference))
    kept = int(sample.sets["behavioural"].sum())
    if args.behavioural is not None:
        print(f"behavioural sets (KGE >= {args.behavioural}): {kept} of {args.n}")
    if args.band and kept:
        ax = sample.plot()
        ax.set_title(f"Reservoir outflow: {kept} behavioural sets of {args.n}")
        ax.figure.savefig(args.band, dpi=110, bbox_inches="tight")
        print(f"band written to {args.band}")
    if args.json:
        rows = [{"set": i, **s, "kge": r[0], "error": r[1], "behavioural": bool(b)}
                for i, (s, r, b) in enumerate(zip(sets, results, sample.sets["behavioural"]))]
        Path(args.json).write_text(json.dumps({"seed": args.seed, "wall_s": wall_s, "sets": rows}, indent=1))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
