"""Monte-Carlo sampling of parameter sets and GLUE-style bands of every element's flow."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from datetime import timedelta
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from . import _objectives as obj
from ._elements import Basin
from ._evaluation import Bound, Event, _decode, _evaluate, _history, _Job, _Row, prepare
from ._objectives import Objective
from ._workers import Fanout, Workers
from ._workers import check as check_workers


@dataclass(frozen=True)
class Sample:
    """The outcome of `sample`.

    `sets` has one row per drawn set in drawing order (parameters, loss, the
    events' weighted mean of KGE, r, beta, gamma, NSE, RMSE and PBIAS, error,
    ``score`` the objective as reported and ``behavioural``). `bands[i]` holds
    event i's per-instant quantiles (`quantiles`) of every element's outflow
    over the behavioural sets, plain (unweighted) quantiles, columns
    ``(element, quantile)``; `best` the best set's values and `best_flows[i]`
    its flows (NaN when every set failed); `observed[i]` the gauge of event i
    as given; `units` the basin's unit system (flows in its units).
    """

    sets: pd.DataFrame
    bands: list[pd.DataFrame]
    best: dict[str, float | timedelta]
    best_flows: list[pd.DataFrame]
    observed: list[pd.Series]
    at: str
    objective: Objective
    quantiles: tuple[float, ...]
    units: str = "us"  # the basin's: flows in cfs, or m^3/s for "si"

    @property
    def behavioural(self) -> pd.DataFrame:
        """The rows of `sets` that passed the threshold."""
        return self.sets[self.sets["behavioural"]]

    def plot(self, event: int = 0, element: str | None = None, ax: Any = None) -> Any:
        """Draws the outer band, the best run and (at the gauge) the observations; returns the Axes.

        Needs matplotlib (imported here only).
        """
        import matplotlib.pyplot as plt

        name = self.at if element is None else element
        if ax is None:
            _, ax = plt.subplots(figsize=(8, 4))
        band = self.bands[event][name]
        lo, hi = self.quantiles[0], self.quantiles[-1]
        count = int(self.sets["behavioural"].sum())
        ax.fill_between(band.index, band[lo], band[hi], color="tab:blue", alpha=0.3, linewidth=0,
                        label=f"{lo:g}-{hi:g} quantiles of {count} behavioural sets")
        ax.plot(self.best_flows[event].index, self.best_flows[event][name], color="tab:blue", label="best set")
        if name == self.at:
            gauge = self.observed[event]
            ax.plot(gauge.index, gauge.to_numpy(), "k.", markersize=3, label="gauge")
        ax.set_ylabel(f"{name} outflow ({'m^3/s' if self.units == 'si' else 'cfs'})")
        ax.legend(loc="upper right")
        return ax


def _draw(bounds: list[tuple[float, float]], n: int, seed: int | None, design: str) -> np.ndarray:
    from scipy.stats import qmc

    engine: Any
    if design == "latin_hypercube":
        engine = qmc.LatinHypercube(d=len(bounds), rng=seed)
    elif design == "sobol":
        engine = qmc.Sobol(d=len(bounds), scramble=True, rng=seed)
    else:
        raise ValueError(f"design must be 'latin_hypercube' or 'sobol', got {design!r}")
    unit = engine.random(n)
    return np.asarray(qmc.scale(unit, [b[0] for b in bounds], [b[1] for b in bounds]))


def sample(
    basin: Basin,
    events: Sequence[Event],
    parameters: Mapping[str, Bound],
    n: int,
    *,
    seed: int | None = None,
    workers: Workers = 1,
    behavioural: float | None = None,
    at: str | None = None,
    objective: Objective = "kge",
    weights: Sequence[float] | None = None,
    design: str = "latin_hypercube",
    quantiles: Sequence[float] = (0.05, 0.5, 0.95),
    extend: timedelta | None = None,
    progress: Callable[[int, int], None] | None = None,
) -> Sample:
    """Runs `n` sets drawn over the bounds (Latin hypercube or scrambled Sobol) on every event.

    Every set is scored like `calibrate` scores it (`objective`, `weights`).
    `behavioural` is a threshold on the objective as reported: at least it
    for "kge" and "nse", at most it for the others; None keeps every set that
    ran. The bands are plain per-instant quantiles of the behavioural sets'
    flows (not likelihood-weighted). `workers` as for `calibrate`; the same
    seed gives the same sample with any of them.
    """
    job, bounds = prepare(basin, None, None, at, parameters, events, weights, objective, extend)
    workers = check_workers(workers)
    if isinstance(n, bool) or not isinstance(n, int) or n < 1:
        raise ValueError(f"n must be a whole number of at least 1, got {n!r}")
    qs = tuple(float(q) for q in quantiles)
    if not qs or any(not 0.0 <= q <= 1.0 for q in qs) or list(qs) != sorted(qs):
        raise ValueError("quantiles must be increasing numbers between 0 and 1")
    if behavioural is None:
        limit = math.inf
    else:
        limit = -float(behavioural) if isinstance(job.objective, str) and job.objective in obj.MAXIMISED else float(behavioural)
    from dataclasses import replace

    job = replace(job, keep_flows=limit)
    rows = [list(map(float, r)) for r in _draw(bounds, n, seed, design)]
    fanout = Fanout(workers, n)
    task = partial(_evaluate, job)
    done: list[tuple[list[float], _Row]] = []
    step = max(64, 4 * fanout.slots)
    try:
        for i in range(0, n, step):
            part = rows[i : i + step]
            done.extend(zip(part, fanout.map(task, part)))
            if progress is not None:
                progress(len(done), n)
    finally:
        fanout.close()
    return _summarise(job, done, qs, [ev[1] for ev in events])


def _summarise(job: _Job, done: list[tuple[list[float], _Row]], qs: tuple[float, ...], observed: list[pd.Series]) -> Sample:
    frame = _history(job, done)
    kept = [r[4] for _, r in done if r[4] is not None]
    frame["score"] = [obj.value(job.objective, r[0]) if r[2] else math.nan for _, r in done]
    frame["behavioural"] = [r[4] is not None for _, r in done]
    best_numbers, best = min(done, key=lambda d: d[1][0])
    best_values = _decode(job, best_numbers)
    best_basin = job.basin.with_values(best_values) if best[2] else None  # None: every set failed
    names = [e.name for e in job.basin.elements]
    bands, best_flows = [], []
    from ._simulate import simulate
    from ._units import FLOW, factor, scaled

    for i, ev in enumerate(job.events):
        index = ev.clock.index
        columns = pd.MultiIndex.from_product([names, qs], names=["element", "quantile"])
        if kept:
            stack = np.stack([k[i] for k in kept])  # sets x instants x elements
            q = np.quantile(stack, qs, axis=0)  # quantiles x instants x elements
            values = q.transpose(1, 2, 0).reshape(len(index), len(names) * len(qs))
        else:
            values = np.full((len(index), len(names) * len(qs)), math.nan)
        bands.append(pd.DataFrame(values, index=index, columns=columns))
        if best_basin is None:
            flows = np.full((len(index), len(names)), math.nan)
        else:
            results = simulate(best_basin, ev.clock, ev.inputs)
            flows = scaled(np.column_stack([results[n].outflow for n in names]), factor(best_basin, FLOW))
        best_flows.append(pd.DataFrame(flows, index=index, columns=names))
    return Sample(frame, bands, best_values, best_flows, observed, job.at, job.objective, qs, job.basin.units)
