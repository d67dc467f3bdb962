"""What every parameter set runs: the calibration's job (basin, events, weights, objective),
the evaluation of a population of sets on it, and the history table."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from datetime import timedelta
from typing import Any, Union

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from . import _checks as chk
from . import _objectives as obj
from ._clock import (
    Array,
    Clock,
    Inputs,
    Precipitation,
    align_observed,
    clock,
    inputs,
    seconds,
)
from ._elements import Basin
from ._objectives import Objective
from ._params import numeric_path
from ._run import Score, score_arrays
from ._simulate import outflow_at, simulate
from ._units import FLOW, factor, scaled
from ._workers import Workers as Workers

Bound = tuple[Any, Any]
Event = tuple[Precipitation, pd.Series]


@dataclass(frozen=True)
class _Event:
    clock: Clock
    inputs: Inputs
    positions: NDArray[np.int64]
    observed: Array
    skipped: int


@dataclass(frozen=True)
class _Job:
    basin: Basin
    at: str
    events: tuple[_Event, ...]
    weights: tuple[float, ...]
    paths: tuple[str, ...]
    durations: tuple[bool, ...]
    objective: Objective
    # Sampling keeps the flows of sets whose loss is at most this (None: no flows).
    keep_flows: float | None = None


# loss, per-event losses, per-event scores, error, per-event flows (instants x elements)
_Row = tuple[float, tuple[float, ...], tuple[Score, ...], Union[str, None], Union[tuple[Array, ...], None]]


def _decode(job: _Job, row: Sequence[float]) -> dict[str, float | timedelta]:
    return {
        p: (timedelta(seconds=float(v)) if is_d else float(v))
        for p, is_d, v in zip(job.paths, job.durations, row)
    }


def _mean(values: Sequence[float], weights: Sequence[float]) -> float:
    total = 0.0
    for v, w in zip(values, weights):
        total += w * v
    return total / sum(weights)


def _evaluate(job: _Job, rows: list[list[float]]) -> list[_Row]:
    """Runs one slice of sets on every event; a worker's whole task."""
    out: list[_Row] = []
    for row in rows:
        try:
            basin = job.basin.with_values(_decode(job, row))
            losses, scores, flows = [], [], []
            to_basin = factor(basin, FLOW)  # the observations are in the basin's units
            for ev in job.events:
                results = simulate(basin, ev.clock, ev.inputs)
                sim = scaled(outflow_at(results, job.at)[ev.positions], to_basin)
                s = score_arrays(sim, ev.observed, skipped=ev.skipped, positions=ev.positions, step=ev.clock.step)
                losses.append(obj.loss(job.objective, s, sim, ev.observed))
                scores.append(s)
                if job.keep_flows is not None:
                    flows.append(scaled(np.column_stack([results[e.name].outflow for e in basin.elements]), to_basin))
            loss = _mean(losses, job.weights)
            kept = tuple(flows) if job.keep_flows is not None and loss <= job.keep_flows else None
            out.append((loss, tuple(losses), tuple(scores), None, kept))
        except (ValueError, TypeError, ArithmeticError) as exc:
            out.append((math.inf, (), (), f"{type(exc).__name__}: {exc}", None))
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


def _events(
    basin: Basin,
    precipitation: Precipitation | None,
    observed: pd.Series | None,
    events: Sequence[Event] | None,
    extend: timedelta | None,
) -> tuple[_Event, ...]:
    if events is None:
        if precipitation is None or observed is None:
            raise TypeError("give precipitation and observed, or events=[(precipitation, observed), ...]")
        events = [(precipitation, observed)]
    elif precipitation is not None or observed is not None:
        raise TypeError("give precipitation and observed, or events=..., not both")
    if isinstance(events, (str, bytes)) or not isinstance(events, Sequence) or not events:
        raise ValueError("events must be a non-empty list of (precipitation, observed) pairs")
    out = []
    for i, pair in enumerate(events):
        if not isinstance(pair, (tuple, list)) or len(pair) != 2:
            raise ValueError(f"event {i}: must be a pair (precipitation, observed)")
        rain, gauge = pair
        on = clock(rain, extend)
        given = inputs(basin, rain, on)
        where = "observed" if len(events) == 1 else f"event {i}: observed"
        positions, values, skipped, _ = align_observed(gauge, on.index, where)
        out.append(_Event(on, given, positions, values, skipped))
    return tuple(out)


def _weights(weights: Sequence[float] | None, n: int) -> tuple[float, ...]:
    if weights is None:
        return (1.0,) * n
    w = tuple(chk.number(v, "weights") for v in weights)
    if len(w) != n:
        raise ValueError(f"weights: {len(w)} given for {n} events")
    if any(v < 0.0 for v in w) or not sum(w) > 0.0:
        raise ValueError("weights must be non-negative with a positive sum")
    return w


def _start_row(basin: Basin, paths: tuple[str, ...], durations: tuple[bool, ...]) -> list[float]:
    return [seconds(basin.get(p)) if d else float(basin.get(p)) for p, d in zip(paths, durations)]


_STATS = ("kge", "r", "beta", "gamma", "nse", "rmse", "pbias")


def _history(job: _Job, history: Sequence[tuple[list[float], _Row]]) -> pd.DataFrame:
    many = len(job.events) > 1
    rows = []
    for numbers, (loss, losses, scores, error, _) in history:
        cells: list[Any] = [*_decode(job, numbers).values(), loss]
        if scores:
            cells += [_mean([getattr(s, k) for s in scores], job.weights) for k in _STATS]
        else:
            cells += [math.nan] * len(_STATS)
        cells.append(error)
        if many:
            for i in range(len(job.events)):
                if scores:
                    cells += [losses[i], scores[i].kge, scores[i].nse, scores[i].rmse]
                else:
                    cells += [math.inf, math.nan, math.nan, math.nan]
        rows.append(cells)
    columns = [*job.paths, "loss", *_STATS, "error"]
    if many:
        columns += [f"{k}[{i}]" for i in range(len(job.events)) for k in ("loss", "kge", "nse", "rmse")]
    return pd.DataFrame(rows, columns=columns)


def _pooled(job: _Job, numbers: list[float]) -> Score:
    # All events' pairs as one record; peak timing has no meaning across events.
    basin = job.basin.with_values(_decode(job, numbers))
    sims, obss, skipped = [], [], 0
    for ev in job.events:
        sims.append(scaled(outflow_at(simulate(basin, ev.clock, ev.inputs), job.at)[ev.positions], factor(basin, FLOW)))
        obss.append(ev.observed)
        skipped += ev.skipped
    return score_arrays(np.concatenate(sims), np.concatenate(obss), skipped=skipped)


def prepare(
    basin: Basin,
    precipitation: Precipitation | None,
    observed: pd.Series | None,
    at: str | None,
    parameters: Mapping[str, Bound] | None,
    events: Sequence[Event] | None,
    weights: Sequence[float] | None,
    objective: object,
    extend: timedelta | None,
) -> tuple[_Job, list[tuple[float, float]]]:
    """Everything checked before any run: the job every worker gets, and the bounds in plain numbers."""
    objective = obj.check(objective)
    if not isinstance(basin, Basin):
        raise TypeError(f"basin must be a Basin, got {type(basin).__name__}")
    if not isinstance(at, str):
        raise TypeError("at must name the element whose flow is observed")
    basin.element(at)
    if parameters is None:
        raise TypeError("parameters must be a non-empty dict of path -> (low, high)")
    paths, durations, bounds = _bounds(basin, parameters)
    evs = _events(basin, precipitation, observed, events, extend)
    return _Job(basin, at, evs, _weights(weights, len(evs)), paths, durations, objective), bounds
