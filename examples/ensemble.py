"""Monte-Carlo calibration of the storm event, on Dask.

Draws N parameter sets (constant loss rate, time of concentration, Clark storage
coefficient R, Muskingum K), runs the whole storm event of storm_event.py for
each, scores the reservoir outflow against the bundled observed series with the
Kling-Gupta efficiency and prints the best sets.

    python examples/ensemble.py                          # 200 sets, local Dask cluster
    python examples/ensemble.py --n 1000 --workers 2 --seed 7
    python examples/ensemble.py --scheduler tcp://head:8786   # a running Dask cluster
    python examples/ensemble.py --threads --workers 2    # thread pool, one process
    python examples/ensemble.py --calibrate --n 400      # differential evolution instead of a draw

Each task receives plain numbers, builds its basinkit objects inside the worker
and returns plain numbers: basinkit objects are not picklable and never cross a
process boundary. storm_event.py and its data/ are shipped to every worker;
basinkit itself must be installed there.

Options that are not listed by --help here (--storm-depth, --initial-deficit,
--muskingum-x, ...) are passed on to storm_event.py and fix the rest of the event.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import shlex
import sys
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from datetime import timedelta
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import storm_event  # noqa: E402  (the event itself: simulate, parse_args, read_observed)

# The calibrated parameters: storm_event option name, lower and upper bound, unit.
# Muskingum K starts at 2 h: below about 1.9 h the three sub-reaches of the event
# get a negative C2 at the hourly step and the routed hydrograph oscillates.
PARAMETERS: tuple[tuple[str, float, float, str], ...] = (
    ("loss_rate", 0.02, 0.40, "in/h"),
    ("tc_hours", 1.5, 10.0, "h"),
    ("r_hours", 1.0, 8.0, "h"),
    ("muskingum_k_hours", 2.0, 6.0, "h"),
)

Batch = list[tuple[int, dict[str, float]]]
Score = tuple[int, float, float, str | None]  # index, KGE, peak outflow (cfs), error


def parse_args(argv: list[str] | None = None) -> tuple[argparse.Namespace, argparse.Namespace]:
    p = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="Every other option goes to storm_event.py (see: python examples/storm_event.py --help).",
    )
    p.add_argument("--n", type=int, default=200, help="number of parameter sets (default 200)")
    p.add_argument("--seed", type=int, default=2024, help="random seed of the draw (default 2024)")
    p.add_argument(
        "--workers", type=int, default=os.cpu_count() or 1,
        help="worker processes of the local cluster, or threads with --threads (default: cores)",
    )
    p.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    p.add_argument(
        "--threads", action="store_true",
        help="run in this process on a thread pool of --workers threads instead of Dask",
    )
    p.add_argument("--batch", type=int, default=0, help="parameter sets per task (default: automatic)")
    p.add_argument("--top", type=int, default=5, help="how many of the best sets to print (default 5)")
    p.add_argument("--json", metavar="FILE", help="also write every set and its score to FILE")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument(
        "--calibrate", action="store_true",
        help="fit the same parameters by differential evolution (basinkit_model.calibrate, seeded "
        "by --seed, at most about --n runs) instead of drawing them",
    )
    args, rest = p.parse_known_args(argv)
    if args.n < 1 or args.workers < 1 or args.batch < 0 or args.top < 0:
        p.error("--n and --workers must be at least 1, --batch and --top at least 0")
    if args.threads and args.scheduler:
        p.error("--threads and --scheduler exclude each other")
    event = storm_event.parse_args(rest)
    if event.plot:
        p.error("--plot belongs to storm_event.py: re-run the best set printed here with it")
    return args, event


def draw(n: int, seed: int) -> list[dict[str, float]]:
    rng = random.Random(seed)
    return [{name: rng.uniform(lo, hi) for name, lo, hi, _ in PARAMETERS} for _ in range(n)]


def score_batch(base: dict, batch: Batch) -> list[Score]:
    """Runs the event once per parameter set; runs on a worker, plain data in and out."""
    # Imported here, on the worker, so that the task itself refers to no module
    # the scheduler would have to import.
    import storm_event as event

    out: list[Score] = []
    for index, params in batch:
        try:
            r = event.simulate(argparse.Namespace(**{**base, **params}))
            kge, peak = float(r["kge"]), float(max(r["outflow"]))
        except Exception as exc:  # e.g. the pool rises above the top of its curves
            out.append((index, math.nan, math.nan, failure(exc)))
            continue
        out.append((index, kge, peak, None))
    return out


def failure(exc: BaseException) -> str:
    """The reason an event failed, on one line: the model's own message for a
    refused value, with the exception's class for anything else."""
    text = " ".join(str(exc).split())
    if isinstance(exc, ValueError) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def batches(sets: list[dict[str, float]], size: int) -> list[Batch]:
    indexed = list(enumerate(sets))
    return [indexed[i : i + size] for i in range(0, len(indexed), size)]


class Progress:
    """A tqdm bar on stderr, or nothing."""

    def __init__(self, total: int, enabled: bool) -> None:
        self._bar = None
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                print("(no progress bar: python -m pip install tqdm)", file=sys.stderr)
            else:
                self._bar = tqdm(total=total, unit="set", file=sys.stderr, smoothing=0.1)

    def update(self, k: int) -> None:
        if self._bar is not None:
            self._bar.update(k)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def run_threads(base: dict, work: list[Batch], workers: int, progress: Progress) -> list[Score]:
    results: list[Score] = []
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(score_batch, base, b) for b in work]
        for fut in as_completed(futures):
            part = fut.result()
            results.extend(part)
            progress.update(len(part))
    return results


def shipped_files() -> dict[str, bytes]:
    """What a worker needs besides basinkit: the event script and its data."""
    files = {"storm_event.py": (HERE / "storm_event.py").read_bytes()}
    for path in sorted((HERE / "data").glob("*")):
        if path.is_file():
            files[f"data/{path.name}"] = path.read_bytes()
    return files


def start_dask(scheduler: str | None, workers: int):
    try:
        import cloudpickle
        from dask.distributed import Client, LocalCluster, WorkerPlugin
    except ImportError:
        print(
            "the ensemble needs Dask: python -m pip install 'basinkit[ensemble]' "
            "(or python -m pip install 'dask[distributed]' tqdm), or run it with --threads",
            file=sys.stderr,
        )
        raise SystemExit(2)

    class ShipExamples(WorkerPlugin):
        """Writes storm_event.py and data/ into the worker's directory and imports from there."""

        def __init__(self, files: dict[str, bytes]) -> None:
            self.files = files

        def setup(self, worker) -> None:
            root = Path(worker.local_directory) / "basinkit-examples"
            for name, content in self.files.items():
                (root / name).parent.mkdir(parents=True, exist_ok=True)
                (root / name).write_bytes(content)
            if str(root) not in sys.path:
                sys.path.insert(0, str(root))

    if scheduler:
        client = Client(scheduler)
        client.wait_for_workers(1, timeout=120)
        where = f"Dask scheduler {scheduler} ({len(client.scheduler_info()['workers'])} workers)"
    else:
        # One thread per worker process: a basinkit call keeps the interpreter
        # lock for its whole run, so more threads in one process add nothing.
        cluster = LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = Client(cluster)
        where = f"local Dask cluster ({workers} worker processes)"
    # The same code runs on every worker, local or not: the task functions of
    # this script travel by value, and storm_event.py with its data is written
    # to each worker (also to workers that join later) before any task runs.
    if __name__ != "__main__":
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    client.register_plugin(ShipExamples(shipped_files()), name="basinkit-examples")
    return client, where


def stop_dask(client, scheduler: str | None) -> None:
    """Closes the client, and the local cluster if this script started it."""
    if client is None:
        return
    cluster = client.cluster
    client.close()
    if cluster is not None and not scheduler:
        cluster.close()


def run_dask(client, base: dict, work: list[Batch], progress: Progress) -> list[Score]:
    from dask.distributed import as_completed as dask_completed

    futures = client.map(score_batch, [base] * len(work), work, pure=False)
    results: list[Score] = []
    for fut in dask_completed(futures):
        part = fut.result()
        results.extend(part)
        progress.update(len(part))
    return results


def rerun_command(base: dict, params: dict[str, float]) -> str:
    """storm_event.py with the drawn parameters and every other event option
    that differs from its default, so that it runs the very same event."""
    event = {**base, **params}
    defaults = vars(storm_event.parse_args([]))
    drawn = [name for name, *_ in PARAMETERS]
    fixed = [k for k in defaults if k not in drawn and k != "plot" and event[k] != defaults[k]]
    words = ["python", "examples/storm_event.py"]
    for name in fixed + drawn:
        words += ["--" + name.replace("_", "-"), repr(event[name])]
    return shlex.join(words)


def report(
    sets: list[dict[str, float]], results: list[Score], top: int, base: dict
) -> list[str]:
    ok = sorted((r for r in results if r[3] is None), key=lambda r: (-r[1], r[0]))
    failed = [r for r in results if r[3] is not None]
    names = [name for name, *_ in PARAMETERS]
    lines = [f"sets scored {len(ok)}, failed {len(failed)}"]
    for index, _, _, error in failed[:3]:
        lines.append(f"  set {index} failed: {error}")
    if not ok:
        return lines
    shown = ok[:top]
    lines.append(f"best {len(shown)} of {len(results)} by KGE:")
    header = ["rank", "set", "KGE"] + [f"{n} ({u})" for n, _, _, u in PARAMETERS] + ["peak out (cfs)"]
    widths = [max(8, len(h)) for h in header]
    lines.append("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    for rank, (index, kge, peak, _) in enumerate(shown, 1):
        cells = [str(rank), str(index), f"{kge:.4f}"]
        cells += [f"{sets[index][n]:.4f}" for n in names]
        cells.append(f"{peak:.1f}")
        lines.append("  ".join(c.rjust(w) for c, w in zip(cells, widths)))
    lines.append("re-run the best set: " + rerun_command(base, sets[ok[0][0]]))
    return lines


def calibrate(args: argparse.Namespace, event: argparse.Namespace, reference: float) -> int:
    """Differential evolution over PARAMETERS on the basin of storm_event.py.

    Each worker gets the basin as TOML text and rebuilds it; the optimiser sees
    whole populations, so the result is the same on any number of workers.
    """
    import basinkit_model as bm

    paths = {name: storm_event.PATHS[name] for name, *_ in PARAMETERS}
    bounds = {
        paths[name]: (timedelta(hours=lo), timedelta(hours=hi)) if unit == "h" else (lo, hi)
        for name, lo, hi, unit in PARAMETERS
    }
    popsize = 10
    generations = max(1, args.n // (popsize * len(PARAMETERS)) - 1)
    client, pool = None, None
    started = time.perf_counter()
    if args.threads:
        pool = ThreadPoolExecutor(args.workers)
        workers, where = pool, f"thread pool ({args.workers} threads, one process)"
    else:
        client, where = start_dask(args.scheduler, args.workers)
        workers = client
    setup_s = time.perf_counter() - started
    print(f"calibration: differential evolution (seed {args.seed}, population {popsize * len(PARAMETERS)}, "
          f"at most {generations} generations) on {where}")
    print(f"the event as given scores KGE {reference:.4f}")
    sys.stdout.flush()

    bar = Progress((generations + 1) * popsize * len(PARAMETERS), enabled=not args.no_progress)
    done = [0]

    def progress(runs: int, most: int) -> None:
        bar.update(runs - done[0])
        done[0] = runs

    started = time.perf_counter()
    try:
        fit = bm.calibrate(
            storm_event.event_basin(event), storm_event.design_storm(event.storm_depth),
            storm_event.read_observed(), "lake", bounds, seed=args.seed, maxiter=generations,
            popsize=popsize, workers=workers, extend=timedelta(hours=storm_event.DRY_HOURS),
            progress=progress,
        )
    finally:
        bar.close()
        if pool is not None:
            pool.shutdown()
        stop_dask(client, args.scheduler)
    wall_s = time.perf_counter() - started
    print(f"wall time {wall_s:.2f} s for {fit.evaluations} runs ({fit.evaluations / wall_s:.1f} runs/s), "
          f"{fit.failed} failed; start-up {setup_s:.2f} s")
    c = fit.components
    print(f"best KGE {fit.score:.4f} (r {c.r:.4f}, beta {c.beta:.4f}, gamma {c.gamma:.4f})")
    best: dict[str, float] = {}
    for name, _, _, unit in PARAMETERS:
        value = fit.values[paths[name]]
        best[name] = value / timedelta(hours=1) if isinstance(value, timedelta) else float(value)
        print(f"  {name:18s} {best[name]:.4f} {unit}")
    for error in fit.history["error"].dropna().unique()[:3]:
        print(f"  a failed run: {error}")
    print("re-run the best set: " + rerun_command(vars(event), best))
    return 0


def main(argv: list[str] | None = None) -> int:
    args, event = parse_args(argv)
    base = vars(event)
    observed = storm_event.read_observed()
    try:
        reference = storm_event.simulate(event)["kge"]
    except Exception as exc:  # the event options alone already fail
        print(f"ensemble: the event fails with these options, before any draw: {failure(exc)}",
              file=sys.stderr)
        return 2
    if args.calibrate:
        return calibrate(args, event, reference)
    sets = draw(args.n, args.seed)
    size = args.batch or max(1, math.ceil(args.n / (8 * args.workers)))
    work = batches(sets, size)

    client = None
    started = time.perf_counter()
    if args.threads:
        where = f"thread pool ({args.workers} threads, one process)"
    else:
        client, where = start_dask(args.scheduler, args.workers)
    setup_s = time.perf_counter() - started
    print(f"ensemble: {args.n} parameter sets (seed {args.seed}) in {len(work)} tasks on {where}")
    print(f"observed series: {len(observed)} hourly values, peak {max(observed):.1f} cfs; "
          f"the event as given scores KGE {reference:.4f}")
    sys.stdout.flush()

    progress = Progress(args.n, enabled=not args.no_progress)
    started = time.perf_counter()
    try:
        if client is None:
            results = run_threads(base, work, args.workers, progress)
        else:
            results = run_dask(client, base, work, progress)
    finally:
        progress.close()
        stop_dask(client, args.scheduler)
    wall_s = time.perf_counter() - started

    if sorted(r[0] for r in results) != list(range(args.n)):
        raise RuntimeError("the ensemble lost or duplicated parameter sets")
    print(f"wall time {wall_s:.2f} s for {args.n} sets ({args.n / wall_s:.1f} sets/s); "
          f"start-up {setup_s:.2f} s")
    for line in report(sets, results, args.top, base):
        print(line)
    if args.json:
        by_index = {r[0]: r for r in results}
        rows = [
            {"set": i, **sets[i], "kge": by_index[i][1], "peak_outflow_cfs": by_index[i][2],
             "error": by_index[i][3]}
            for i in range(args.n)
        ]
        Path(args.json).write_text(json.dumps({"seed": args.seed, "wall_s": wall_s, "sets": rows},
                                              indent=1, allow_nan=True))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
