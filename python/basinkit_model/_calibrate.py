"""Calibration by differential evolution, with populations fanned out to workers.

Every worker receives the basin as TOML text, rebuilds it once, and returns
plain numbers for a slice of the population. The optimiser sees whole
populations (deferred updating), so the result depends on the seed only, not
on how many workers share the work.
"""

from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import sys
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from datetime import timedelta
from functools import lru_cache
from typing import Any, Protocol, Union

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from . import _checks as chk
from ._clock import Array, Clock, Inputs, Precipitation, clock, inputs, seconds
from ._elements import Basin
from ._files import loads
from ._params import numeric_path
from ._run import Score, run_basin, score_arrays
from ._simulate import outflow_at, simulate

Objective = Union[str, Callable[[Array, Array], float]]
"""'kge' or 'nse' (maximised), 'rmse' (minimised), or a callable(sim, obs) -> loss to minimise."""

Bound = tuple[Any, Any]

# (loss, kge, r, beta, gamma, nse, rmse, error)
_Row = tuple[float, float, float, float, float, float, float, Union[str, None]]


class _Submitter(Protocol):
    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any: ...


Workers = Union[int, _Submitter]
"""1, a number of local workers, a `concurrent.futures.Executor` or a Dask `Client`."""


@dataclass(frozen=True)
class Calibration:
    """The outcome of `calibrate`.

    `values` holds the best value of every parameter path (a `timedelta` for
    durations), `score` the objective at that set (KGE or NSE as such, RMSE in
    cfs, a callable's own value), `components` the full `Score` of the
    calibrated run, `history` one row per evaluated set in evaluation order
    (parameters, loss, KGE and its components, NSE, RMSE, error), `failed`
    how many sets failed to run (they score the worst value), and `basin` the
    calibrated basin.
    """

    values: dict[str, float | timedelta]
    score: float
    components: Score
    history: pd.DataFrame
    failed: int
    evaluations: int
    basin: Basin
    message: str


@dataclass(frozen=True)
class _Job:
    toml: str
    clock: Clock
    inputs: Inputs
    at: str
    positions: NDArray[np.int64]
    observed: Array
    skipped: int
    paths: tuple[str, ...]
    durations: tuple[bool, ...]
    objective: Objective


@lru_cache(maxsize=8)
def _basin(text: str) -> Basin:
    return loads(text, file="<calibration>")


def _decode(job: _Job, row: Sequence[float]) -> dict[str, float | timedelta]:
    return {
        p: (timedelta(seconds=float(v)) if is_d else float(v))
        for p, is_d, v in zip(job.paths, job.durations, row)
    }


def _evaluate(job: _Job, rows: list[list[float]]) -> list[_Row]:
    """Runs one slice of a population; a worker's whole task."""
    base = _basin(job.toml)
    out: list[_Row] = []
    for row in rows:
        try:
            results = simulate(base.with_values(_decode(job, row)), job.clock, job.inputs)
            sim = outflow_at(results, job.at)[job.positions]
            s = score_arrays(sim, job.observed, skipped=job.skipped)
            if callable(job.objective):
                loss = float(job.objective(sim, job.observed))
            else:
                loss = {"kge": -s.kge, "nse": -s.nse, "rmse": s.rmse}[job.objective]
            if math.isnan(loss):
                loss = math.inf
            out.append((loss, s.kge, s.r, s.beta, s.gamma, s.nse, s.rmse, None))
        except (ValueError, TypeError, ArithmeticError) as exc:
            nan = math.nan
            out.append((math.inf, nan, nan, nan, nan, nan, nan, f"{type(exc).__name__}: {exc}"))
    return out


def _bounds(basin: Basin, parameters: Mapping[str, Bound]) -> tuple[tuple[str, ...], tuple[bool, ...], list[tuple[float, float]]]:
    if not isinstance(parameters, Mapping) or not parameters:
        raise ValueError("parameters must be a non-empty dict of path -> (low, high)")
    paths, durations, bounds = [], [], []
    for path, pair in parameters.items():
        what = numeric_path(basin, path)
        if not isinstance(pair, (tuple, list)) or len(pair) != 2:
            raise ValueError(f"parameter {path!r}: bounds must be a pair (low, high)")
        if what == "duration":
            lo_d = chk.duration(pair[0], f"parameter {path!r}: low bound")
            hi_d = chk.duration(pair[1], f"parameter {path!r}: high bound")
            lo, hi = seconds(lo_d), seconds(hi_d)
        else:
            lo = chk.number(pair[0], f"parameter {path!r}: low bound")
            hi = chk.number(pair[1], f"parameter {path!r}: high bound")
        if not lo < hi:
            raise ValueError(f"parameter {path!r}: bounds out of order ({pair[0]} is not below {pair[1]})")
        paths.append(path)
        durations.append(what == "duration")
        bounds.append((lo, hi))
    return tuple(paths), tuple(durations), bounds


def _slots(workers: Workers) -> int:
    if isinstance(workers, int):
        return workers
    if hasattr(workers, "nthreads"):  # a Dask client
        return max(1, int(sum(workers.nthreads().values())))
    return max(1, int(getattr(workers, "_max_workers", 4)))


def _gil_enabled() -> bool:
    probe = getattr(sys, "_is_gil_enabled", None)
    return True if probe is None else bool(probe())


def calibrate(
    basin: Basin,
    precipitation: Precipitation,
    observed: pd.Series,
    at: str,
    parameters: Mapping[str, Bound],
    *,
    objective: Objective = "kge",
    method: str = "differential_evolution",
    seed: int | None = None,
    maxiter: int = 100,
    popsize: int = 15,
    tol: float = 0.01,
    polish: bool = False,
    workers: Workers = 1,
    extend: timedelta | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> Calibration:
    """Fits the parameters at the given paths so that element `at` matches `observed`.

    `parameters` maps paths such as ``"upper.transform.tc"`` to (low, high)
    bounds: `timedelta` for durations, numbers otherwise. Unknown paths, paths
    that hold no number or duration, and bounds out of order are refused
    before any run. A set whose run fails (a reservoir overtopped, an
    unstable layer) scores the worst value and is counted in `failed`.

    `workers` is 1 (this thread), a number (threads on a free-threaded
    interpreter, processes otherwise), a `concurrent.futures.Executor` or a
    Dask `Client`; the same `seed` gives the same result with any of them.
    `progress(done, most)` is called after each population with the number of
    evaluations so far and the most there can be.
    """
    if method != "differential_evolution":
        raise ValueError(f"method must be 'differential_evolution', got {method!r}")
    if isinstance(objective, str) and objective not in ("kge", "nse", "rmse"):
        raise ValueError(f"objective must be 'kge', 'nse', 'rmse' or a callable, got {objective!r}")
    if not isinstance(objective, str) and not callable(objective):
        raise TypeError("objective must be 'kge', 'nse', 'rmse' or a callable")
    if not isinstance(basin, Basin):
        raise TypeError(f"basin must be a Basin, got {type(basin).__name__}")
    basin.element(at)
    paths, durations, bounds = _bounds(basin, parameters)
    if isinstance(workers, bool) or (isinstance(workers, int) and workers < 1):
        raise ValueError(f"workers must be at least 1, got {workers!r}")
    if not isinstance(workers, int) and not hasattr(workers, "submit"):
        raise TypeError("workers must be an int, a concurrent.futures.Executor or a Dask Client")
    # The clock, the rain and the series are checked here, before any worker starts.
    on = clock(precipitation, extend)
    given = inputs(basin, precipitation, on)
    if not isinstance(observed, pd.Series) or not isinstance(observed.index, pd.DatetimeIndex):
        raise TypeError("observed must be a pandas Series on a DatetimeIndex")
    if (observed.index.tz is None) != (on.index.tz is None):
        raise ValueError("observed and precipitation must both carry a time zone or neither")
    common = on.index.intersection(observed.index)
    obs = observed.reindex(common).to_numpy(dtype="float64")
    keep = ~np.isnan(obs)
    if not keep.any():
        raise ValueError("observed has no value on the instants of the run")
    job = _Job(
        basin.to_toml(),
        on,
        given,
        at,
        on.index.get_indexer(common[keep]).astype(np.int64),
        obs[keep],
        int((~keep).sum()),
        paths,
        durations,
        objective,
    )

    history: list[tuple[list[float], _Row]] = []
    most = (maxiter + 1) * popsize * len(paths)
    own_pool: concurrent.futures.Executor | None = None
    submitter: _Submitter | None = None
    if isinstance(workers, int) and workers > 1:
        if _gil_enabled():
            own_pool = concurrent.futures.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"))
        else:
            own_pool = concurrent.futures.ThreadPoolExecutor(workers)
        submitter = own_pool
    elif not isinstance(workers, int):
        submitter = workers
    slots = _slots(workers)

    def population(x: NDArray[np.float64]) -> NDArray[np.float64] | float:
        single = x.ndim == 1
        rows = [list(map(float, c)) for c in (x[:, None] if single else x).T]
        if submitter is None:
            results = _evaluate(job, rows)
        else:
            size = max(1, math.ceil(len(rows) / slots))
            chunks = [rows[i : i + size] for i in range(0, len(rows), size)]
            futures = [submitter.submit(_evaluate, job, c) for c in chunks]
            results = [r for f in futures for r in f.result()]
        history.extend(zip(rows, results))
        if progress is not None:
            progress(len(history), most)
        losses = np.array([r[0] for r in results])
        return float(losses[0]) if single else losses

    try:
        # Imported here so that workers, which only run the basin, never load it;
        # typed loosely: the vectorised call takes whole populations.
        from scipy.optimize import differential_evolution

        optimiser: Any = differential_evolution
        found = optimiser(
            population,
            bounds,
            rng=seed,
            maxiter=maxiter,
            popsize=popsize,
            tol=tol,
            polish=polish,
            vectorized=True,
            updating="deferred",
        )
    finally:
        if own_pool is not None:
            own_pool.shutdown()

    best_values = _decode(job, [float(v) for v in found.x])
    best_basin = basin.with_values(best_values)
    run = run_basin(best_basin, precipitation, extend=extend)
    components = run.score(observed, at)
    if callable(objective):
        sim = run.flows[at].to_numpy()[job.positions]
        value = float(objective(sim, job.observed))
    else:
        value = {"kge": components.kge, "nse": components.nse, "rmse": components.rmse}[objective]
    frame = pd.DataFrame(
        [
            [*(_decode(job, row).values()), *r]
            for row, r in history
        ],
        columns=[*paths, "loss", "kge", "r", "beta", "gamma", "nse", "rmse", "error"],
    )
    failed = int(frame["error"].notna().sum())
    return Calibration(best_values, value, components, frame, failed, len(frame), best_basin, str(found.message))
