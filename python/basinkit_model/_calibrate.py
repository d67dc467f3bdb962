"""Calibration by differential evolution, with populations fanned out to workers.

Every set runs every event and comes back as plain numbers and Scores; the
optimiser sees whole populations (deferred updating), so the result depends
on the seed only, not on who ran the sets. The starting basin is the first
member of the first population and is kept if nothing beats it.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from datetime import timedelta
from functools import partial
from typing import Any

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from . import _checks as chk
from . import _objectives as obj
from ._clock import (
    Precipitation,
)
from ._elements import Basin
from ._evaluation import (
    Bound,
    Event,
    _decode,
    _evaluate,
    _history,
    _Job,
    _pooled,
    _Row,
    _start_row,
    prepare,
)
from ._objectives import Objective
from ._run import Score
from ._workers import Fanout
from ._workers import Workers as Workers
from ._workers import check as check_workers

"""One event: its rain and the gauge's observed flow (cfs)."""

STOP_REASONS = ("converged", "stalled", "maxiter", "interrupted")
# SciPy's named mutation strategies.
STRATEGIES = tuple(f"{base}{cross}" for base in ("best1", "best2", "rand1", "rand2", "randtobest1", "currenttobest1")
                   for cross in ("bin", "exp"))


@dataclass(frozen=True)
class Start:
    """The starting basin's parameter values, its objective value and its per-event scores."""

    values: dict[str, float | timedelta]
    score: float
    events: list[Score]  # empty when the start itself failed


@dataclass(frozen=True)
class Calibration:
    """The outcome of `calibrate`.

    `values` holds the best value of every parameter path (a `timedelta` for
    durations), `score` the objective there (KGE or NSE as such, RMSE in cfs,
    |PBIAS| in %, a callable's own value; the weighted mean over the events),
    `events` the Score of every event at that set and `components` the first
    event's (with several events: the Score of all events' pairs pooled).
    `start` is the starting basin's values and score: the result is never
    worse than it. `history` has one row per evaluated set in evaluation order
    (the start first): parameters, loss, the events' weighted mean of KGE, r,
    beta, gamma, NSE, RMSE and PBIAS, the error of a failed set, and with
    several events each event's ``loss[i]``, ``kge[i]``, ``nse[i]``,
    ``rmse[i]``. `failed` counts sets that failed to run (they score the worst
    value); `stop_reason` is one of "converged" (the population's parameters
    agree), "stalled" (no better set for `patience` generations), "maxiter" or
    "interrupted"; `basin` is the calibrated basin.
    """

    values: dict[str, float | timedelta]
    score: float
    components: Score
    history: pd.DataFrame
    failed: int
    evaluations: int
    basin: Basin
    message: str
    start: Start | None = None
    stop_reason: str = "maxiter"
    events: list[Score] = field(default_factory=list)


class CalibrationInterrupted(KeyboardInterrupt):
    """Ctrl-C during `calibrate`: `.calibration` is the best so far (None before any run ended).

    Workers started by `calibrate` are shut down before it propagates.
    """

    def __init__(self, calibration: Calibration | None) -> None:
        super().__init__(calibration.message if calibration is not None else "calibration interrupted before any run ended")
        self.calibration = calibration


def _outcome(
    job: _Job,
    history: Sequence[tuple[list[float], _Row]],
    reason: str,
    message: str,
) -> Calibration:
    start_numbers, start = history[0]
    best_numbers, best = min(history, key=lambda h: h[1][0])  # the first of equals: the start wins ties
    if not best[2]:  # nothing ran at all
        raise ValueError(f"no parameter set could be run; the first failure: {start[3]}")
    values = _decode(job, best_numbers)
    frame = _history(job, history)
    scores = list(best[2])
    components = scores[0] if len(scores) == 1 else _pooled(job, best_numbers)
    start_info = Start(_decode(job, start_numbers), obj.value(job.objective, start[0]), list(start[2]))
    return Calibration(
        values,
        obj.value(job.objective, best[0]),
        components,
        frame,
        int(frame["error"].notna().sum()),
        len(frame),
        job.basin.with_values(values),
        message,
        start_info,
        reason,
        scores,
    )


def calibrate(
    basin: Basin,
    precipitation: Precipitation | None = None,
    observed: pd.Series | None = None,
    at: str | None = None,
    parameters: Mapping[str, Bound] | None = None,
    *,
    events: Sequence[Event] | None = None,
    weights: Sequence[float] | None = None,
    objective: Objective = "kge",
    method: str = "differential_evolution",
    strategy: str = "best1bin",
    seed: int | None = None,
    maxiter: int = 1000,
    popsize: int = 15,
    xtol: float = 1e-3,
    patience: int = 40,
    tol: float = 0.0,
    atol: float = 0.0,
    polish: bool = True,
    workers: Workers = 1,
    extend: timedelta | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> Calibration:
    """Fits the parameters at the given paths so that element `at` matches the gauge.

    One event: ``calibrate(basin, precipitation, observed, at, parameters)``;
    several: ``calibrate(basin, events=[(precipitation, observed), ...],
    at=..., parameters=...)``, every set running every event and the
    objective being the events' mean, weighted by `weights` when given.
    `parameters` maps paths such as ``"upper.transform.tc"`` to (low, high)
    bounds: `timedelta` for durations, numbers otherwise. Unknown paths,
    paths that hold no number or duration, and bounds out of order are
    refused before any run. A set whose run fails scores the worst value and
    is counted in `failed`.

    `objective`: "kge" or "nse" (maximised), "rmse", "peak_weighted_rmse",
    "pbias" (its absolute value) or a callable(sim, obs) -> loss, minimised.
    Differential evolution (SciPy's `strategy`, default "best1bin"; "rand1bin"
    explores more, at about twice the runs or more, and suits objectives with
    several optima) starts with the basin's own values as one member
    and stops when every parameter's spread in the population is at most
    `xtol` of its range ("converged"), when the best set has not improved for
    `patience` generations ("stalled") or after `maxiter` generations; SciPy's
    own `tol`/`atol` test on the objective is off unless given. `polish`
    then refines the best set by bounded L-BFGS-B, its finite differences
    run as one batch on the same workers; the start, the evolution's best and
    the polished set compete, so the result is never worse than the start.

    `workers` is 1 (this thread, no copy of the basin), a number (processes,
    threads on a free-threaded interpreter; at most one per population
    member), a map-like callable (``pool.map``, ``client.map``), a
    `concurrent.futures.Executor` or a Dask `Client`: the same `seed` gives
    the same result with any of them. `progress(done, most)` is called after
    each batch. Ctrl-C raises `CalibrationInterrupted` carrying the best so far.
    """
    if method != "differential_evolution":
        raise ValueError(f"method must be 'differential_evolution', got {method!r}")
    if strategy not in STRATEGIES:
        raise ValueError(f"strategy must be one of {', '.join(map(repr, STRATEGIES))}, got {strategy!r}")
    job, bounds = prepare(basin, precipitation, observed, at, parameters, events, weights, objective, extend)
    workers = check_workers(workers)
    for name, v in (("maxiter", maxiter), ("popsize", popsize), ("patience", patience)):
        if isinstance(v, bool) or not isinstance(v, int) or v < 1:
            raise ValueError(f"{name} must be a whole number of at least 1, got {v!r}")
    xtol = chk.number(xtol, "xtol")
    members = popsize * len(bounds)
    most = 1 + (maxiter + 1) * members + (50 * (len(bounds) + 1) if polish else 0)
    history: list[tuple[list[float], _Row]] = []
    fanout = Fanout(workers, members)
    task = partial(_evaluate, job)

    def batch(rows: list[list[float]]) -> list[_Row]:
        results = fanout.map(task, rows)
        history.extend(zip(rows, results))
        if progress is not None:
            progress(len(history), most)
        return results

    def population(x: NDArray[np.float64]) -> NDArray[np.float64] | float:
        single = x.ndim == 1
        rows = [list(map(float, c)) for c in (x[:, None] if single else x).T]
        losses = np.array([r[0] for r in batch(rows)])
        return float(losses[0]) if single else losses

    low = np.array([b[0] for b in bounds])
    width = np.array([b[1] - b[0] for b in bounds])
    state = _Watch()

    def watch(intermediate_result: Any) -> bool:
        members = getattr(intermediate_result, "population", None)
        spread = np.ptp(np.asarray(members), axis=0) / width if members is not None else np.array([math.inf])
        best = float(intermediate_result.fun)
        if best < state.best:
            state.best, state.since = best, 0
        else:
            state.since += 1
        if float(spread.max()) <= xtol:
            state.reason = "converged"
            return True
        if state.since >= patience:
            state.reason = "stalled"
            return True
        return False

    try:
        start = _start_row(basin, job.paths, job.durations)
        batch([start])
        # Imported here so that workers, which only run the basin, never load it;
        # typed loosely: the vectorised call takes whole populations.
        from scipy.optimize import differential_evolution, minimize

        optimiser: Any = differential_evolution
        found = optimiser(
            population,
            bounds,
            strategy=strategy,
            rng=seed,
            maxiter=maxiter,
            popsize=popsize,
            tol=tol,
            atol=atol,
            polish=False,
            vectorized=True,
            updating="deferred",
            x0=np.clip(start, low, low + width),
            callback=watch,
        )
        reason = state.reason
        if found.success:  # SciPy's own test on the objective ended it
            reason = "converged"
        message = f"{reason} after {found.nit} generations: {found.message}"
        if polish:
            polished = _polish(batch, np.asarray(found.x, dtype=float), low, width, minimize)
            message += f"; polish: {polished}"
    except KeyboardInterrupt:
        fanout.close()
        done = _outcome(job, history, "interrupted", f"interrupted after {len(history)} runs; the best so far is kept") if any(h[1][2] for h in history) else None
        raise CalibrationInterrupted(done) from None
    finally:
        fanout.close()
    result = _outcome(job, history, reason, message)
    if result.start is not None and result.values == result.start.values:
        result = replace(result, message=message + "; no set beat the start, which is kept")
    return result


@dataclass
class _Watch:
    best: float = math.inf
    since: int = 0  # generations without a better set
    reason: str = "maxiter"


def _polish(
    batch: Callable[[list[list[float]]], list[_Row]],
    x: NDArray[np.float64],
    low: NDArray[np.float64],
    width: NDArray[np.float64],
    minimize: Any,
) -> str:
    """Bounded L-BFGS-B from `x`; each step's value and forward differences are one batch."""
    high = low + width
    h = 1e-6 * width

    def value_and_slope(p: NDArray[np.float64]) -> tuple[float, NDArray[np.float64]]:
        p = np.clip(p, low, high)
        ahead = np.where(p + h <= high, h, -h)  # step inwards at the upper bound
        rows = [list(map(float, p))] + [list(map(float, p + np.eye(len(p))[i] * ahead[i])) for i in range(len(p))]
        losses = [r[0] for r in batch(rows)]
        f0 = losses[0]
        if not math.isfinite(f0):
            return 1e300, np.zeros(len(p))
        slope = np.array([(fi - f0) / di if math.isfinite(fi) else 0.0 for fi, di in zip(losses[1:], ahead)])
        return f0, slope

    found = minimize(value_and_slope, x, jac=True, method="L-BFGS-B",
                     bounds=list(zip(low, high)), options={"maxiter": 50})
    return f"{found.nit} steps, {found.message}"
