"""Volume accounts from what each method's run already computed: no model is run again."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from ._clock import ACRE_FOOT_FT3, FT3_PER_ACRE_INCH, Clock, trapezoid
from ._elements import Basin, Subbasin
from ._simulate import FlowResult, ReachResult, ReservoirResult, Result, SubbasinResult

COLUMNS = ["inflow", "outflow", "storage_change", "deep_percolation", "beyond_window"]

# ft^3: inflow, outflow, storage change, loss leaving the model, beyond the window
Terms = tuple[float, float, float, float, float]


def _subbasin(r: SubbasinResult, name: str, basin: Basin, results: Mapping[str, Result], clock: Clock) -> Terms:
    e = basin.element(name)
    assert isinstance(e, Subbasin)
    dt = clock.seconds
    per_inch = e.area_acres * FT3_PER_ACRE_INCH
    rain = float(r.rain.sum()) * per_inch
    loss = float(r.loss.sum()) * per_inch
    recharge, groundwater = (0.0, 0.0) if r.layers is None else (r.layers.recharge, r.layers.storage_change)
    # Direct runoff past the window's last instant, and what the recession would give after its cut.
    tail = r.runoff.direct[clock.steps :]
    beyond = dt * (0.5 * float(tail[0]) + float(tail[1:].sum())) if len(tail) else 0.0
    beyond += dt * float(r.excess.sum()) * r.runoff.cut_tail
    # The loss no baseflow layer receives leaves the model; only the layers' water stays.
    return rain, trapezoid(r.outflow, dt), groundwater, loss - recharge, beyond


def _reach(r: ReachResult, name: str, basin: Basin, results: Mapping[str, Result], clock: Clock) -> Terms:
    dt = clock.seconds
    return trapezoid(r.inflow, dt), trapezoid(r.outflow, dt), r.storage_change, 0.0, 0.0


def _reservoir(r: ReservoirResult, name: str, basin: Basin, results: Mapping[str, Result], clock: Clock) -> Terms:
    dt = clock.seconds
    # Level pool releases in one-second steps, so its own sum of them; with one
    # implicit step per interval the outflow is a straight line between instants.
    released = trapezoid(r.outflow, dt) if r.released is None else r.released
    return trapezoid(r.inflow, dt), released, float(r.storage[-1] - r.storage[0]), 0.0, 0.0


def _flow(r: FlowResult, name: str, basin: Basin, results: Mapping[str, Result], clock: Clock) -> Terms:
    dt = clock.seconds
    ups = basin.upstream(name)
    if not ups:  # a source
        volume = trapezoid(r.outflow, dt)
        return volume, volume, 0.0, 0.0, 0.0
    return sum(trapezoid(results[u].outflow, dt) for u in ups), trapezoid(r.outflow, dt), 0.0, 0.0, 0.0


_ACCOUNT: dict[type, Callable[[Any, str, Basin, Mapping[str, Result], Clock], Terms]] = {
    SubbasinResult: _subbasin,
    ReachResult: _reach,
    ReservoirResult: _reservoir,
    FlowResult: _flow,
}


def balance(basin: Basin, results: Mapping[str, Result], clock: Clock) -> pd.DataFrame:
    """Every element's volume account in acre-feet, with its residual (see `BasinRun.balance`)."""
    terms = np.array(
        [_ACCOUNT[type(results[name])](results[name], name, basin, results, clock) for name in basin.names],
        dtype=np.float64,
    ).reshape(-1, len(COLUMNS)) / ACRE_FOOT_FT3
    inflow, outflow, change, deep, beyond = terms.T
    residual = inflow - outflow - change - deep - beyond
    # Of the larger of inflow and outflow: a dry spell (no rain, baseflow still leaving) has
    # no inflow, and its residual is still a share of the water that moved.
    moved = np.maximum(inflow, outflow)
    with np.errstate(divide="ignore", invalid="ignore"):
        pct = np.where(moved > 0.0, 100.0 * residual / moved, np.where(residual == 0.0, 0.0, np.nan))
    return pd.DataFrame(
        np.column_stack((terms, residual, pct)),
        index=pd.Index(basin.names, name="element"),
        columns=[*COLUMNS, "residual", "residual_pct"],
    )
