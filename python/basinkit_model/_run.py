"""A run's results as pandas: flows on one clock, element details, volume accounts, scores."""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import timedelta
from functools import cached_property

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from basinkit import metrics

from . import _accounts
from . import _checks as chk
from ._checks import RunError
from ._clock import Array, Clock, Precipitation, align_observed, clock, inputs
from ._elements import Basin, Reach, Reservoir
from ._simulate import Result, simulate
from ._units import ACCOUNT, FLOW, SI, column_unit, factor, scaled

__all__ = ["BasinRun", "Precipitation", "RunError", "Score", "doubts", "run_basin", "score_arrays"]

# Moriasi et al. (2007), Table 4, streamflow: (rating, NSE above, |PBIAS| below, RSR at most).
MORIASI_STREAMFLOW: tuple[tuple[str, float, float, float], ...] = (
    ("very good", 0.75, 10.0, 0.50),
    ("good", 0.65, 15.0, 0.60),
    ("satisfactory", 0.50, 25.0, 0.70),
)


def moriasi_rating(nse: float, pbias: float, rsr: float) -> str:
    """The Moriasi et al. (2007) streamflow rating that NSE, PBIAS (%) and RSR all reach."""
    for name, nse_above, pbias_below, rsr_most in MORIASI_STREAMFLOW:
        if nse > nse_above and abs(pbias) < pbias_below and rsr <= rsr_most:
            return name
    return "unsatisfactory"


@dataclass(frozen=True)
class Score:
    """Goodness of fit of one element's flow against observations on their common instants.

    `kge` is basinkit's Kling-Gupta efficiency; `r` (correlation), `beta` (mean
    ratio) and `gamma` (standard-deviation ratio) are its components, `nse` the
    Nash-Sutcliffe efficiency and `rmse` the root-mean-square error (the basin's flow unit).
    `count` pairs were scored; `skipped` observations were NaN.

    `pbias` is 100 * sum(obs - sim) / sum(obs) (positive: the model is too
    low), `rsr` the RMSE over the observations' standard deviation,
    `peak_error_pct` and `volume_error_pct` 100 * (sim - obs) / obs of the
    highest value and of the summed flow, `peak_time_error` the simulated
    peak's instant minus the observed one's (None when the step is unknown),
    and `rating` the Moriasi et al. (2007) streamflow rating that NSE, PBIAS
    and RSR all reach ("very good", "good", "satisfactory", "unsatisfactory").
    """

    kge: float
    r: float
    beta: float
    gamma: float
    nse: float
    rmse: float
    count: int
    skipped: int
    pbias: float = math.nan
    rsr: float = math.nan
    peak_error_pct: float = math.nan
    volume_error_pct: float = math.nan
    peak_time_error: timedelta | None = None
    rating: str = "unsatisfactory"


def run_basin(basin: Basin, precipitation: Precipitation, *, extend: timedelta | None = None) -> BasinRun:
    """Runs every element in computation order on the clock of `precipitation`."""
    on = clock(precipitation, extend)
    given = inputs(basin, precipitation, on)
    doubts(basin, on)
    return BasinRun(basin, on, simulate(basin, on, given))


def doubts(basin: Basin, on: Clock) -> None:
    """Warns about every reach whose routing may misbehave on this clock (once per run, before it)."""
    for e in basin.elements:
        if isinstance(e, Reach):
            text = e.routing.doubt(on)
            if text is not None:
                chk.warn(f"reach '{e.name}': {text}")


class BasinRun:
    """One event run: flows on one clock, per-element details, volume accounts, scores.

    The clock: instants ``start, start + dt, ..., start + (n + e) dt`` for n rain
    intervals and e intervals of `extend`. Clark's value k lies at start + k dt,
    baseflow value i at the end of interval i (initial_q at the start), a reach
    on its inflow's instants, a reservoir routed from the start (its first
    inflow value repeated in front).
    """

    def __init__(self, basin: Basin, clock: Clock, results: Mapping[str, Result]) -> None:
        self.basin = basin
        self._clock = clock
        self._results = dict(results)  # US units: an SI basin's are converted as they are read

    @property
    def units(self) -> str:
        """The basin's unit system, "us" or "si", in which every result is given."""
        return self.basin.units

    @property
    def time_step(self) -> timedelta:
        """The clock's step."""
        return self._clock.step

    @property
    def index(self) -> pd.DatetimeIndex:
        """The instants of the simulation window."""
        return self._clock.index

    @cached_property
    def flows(self) -> pd.DataFrame:
        """Outflow of every element (cfs; m^3/s for an SI basin), one column each, on the window's instants."""
        # One block of floats, built once.
        values = np.column_stack([self._results[e.name].outflow for e in self.basin.elements])
        values = scaled(values, factor(self.basin, FLOW))
        return pd.DataFrame(values, index=self.index, columns=self.basin._column_index())

    def element(self, name: str) -> pd.DataFrame:
        """Details of one element on the window's instants.

        Subbasin: ``rain``, ``excess`` and ``loss`` (inches in the interval that
        starts at the row's instant; NaN in the last row), the loss method's
        state such as ``deficit`` (inches, at the instant), ``direct_runoff``, one ``baseflow:<layer>`` per layer and
        ``outflow`` (cfs). Reservoir: ``inflow`` (cfs), ``storage`` (ft^3),
        ``elevation`` (ft), ``outflow`` and one ``outlet:<name>`` per outlet
        (cfs). Reach, junction, source: ``inflow`` and ``outflow`` (cfs).
        An SI basin's are in mm, m^3/s, m^3 and m.
        """
        e = self.basin.element(name)
        columns = self._results[name].columns(len(self.index))
        if self.basin.units == SI:
            pool = isinstance(e, Reservoir)
            columns = {c: v * column_unit(c, pool).factor for c, v in columns.items()}
        return pd.DataFrame(columns, index=self.index)

    @cached_property
    def balance(self) -> pd.DataFrame:
        """Volume account of every element over the window, in acre-feet.

        Columns: ``inflow`` (rain on a subbasin, the summed inflow elsewhere),
        ``outflow``, ``storage_change`` (groundwater, channel or pool: what
        stays), ``deep_percolation`` (a subbasin's loss that no baseflow layer
        receives: it leaves the model), ``beyond_window`` (what a model
        produced past the window's end, with the little the Clark recession
        would still give after it is cut), ``residual`` = inflow - outflow -
        storage_change - deep_percolation - beyond_window, and
        ``residual_pct`` (% of the larger of inflow and outflow). Volumes of
        flows are the areas under straight lines between instants, except a
        reservoir's outflow: the volume its outlets released in the one-second
        steps of level pool routing (summed by the routing itself); with
        storage indication the straight lines hold for it too. An SI basin's
        volumes are in cubic metres (``residual_pct`` as the US run's).
        """
        table = _accounts.balance(self.basin._us(), self._results, self._clock)
        if self.basin.units == SI:
            volumes = [*_accounts.COLUMNS, "residual"]
            table[volumes] = table[volumes].to_numpy() * ACCOUNT.factor
        return table

    def score(self, observed: pd.Series, at: str) -> Score:
        """Scores element `at` against `observed` (the basin's flow unit) at the run's instants; NaN skipped.

        A reading between the run's instants is refused; readings outside the
        window are left out with a `BasinWarning` saying how many.
        """
        self.basin.element(at)
        pos, obs, skipped, _ = align_observed(observed, self.index, "observed")
        sim = self.flows[at].to_numpy(dtype="float64")[pos]
        return score_arrays(sim, obs, skipped=skipped, positions=pos, step=self.time_step)


def _pct(sim: float, obs: float) -> float:
    return 100.0 * (sim - obs) / obs if obs != 0.0 else math.nan


def score_arrays(
    sim: Array,
    obs: Array,
    *,
    skipped: int = 0,
    positions: NDArray[np.int64] | None = None,
    step: timedelta | None = None,
) -> Score:
    """KGE (basinkit), its components, NSE, RMSE and the event statistics of paired arrays.

    `positions` (the pairs' instants on the clock, in steps) and `step` place
    the peaks in time; without a step `peak_time_error` is None.
    """
    eps = 1e-6
    kge = metrics.calculate_kge(sim, obs)
    ds = sim - sim.mean()
    do = obs - obs.mean()
    s_ss, s_oo, s_so = float(ds @ ds), float(do @ do), float(ds @ do)
    den = math.sqrt(s_oo * s_ss)
    r = s_so / den if den >= eps else 0.0  # as the efficiency treats it
    mean_obs = float(obs.mean())
    if abs(mean_obs) < eps:
        mean_obs = eps
    std_obs = max(math.sqrt(s_oo / len(obs)), eps)
    beta = float(sim.mean()) / mean_obs
    gamma = math.sqrt(s_ss / len(sim)) / std_obs
    err = sim - obs
    sse = float(err @ err)
    nse = 1.0 - sse / s_oo if s_oo > 0.0 else -math.inf
    rmse = math.sqrt(sse / len(obs))
    sum_sim, sum_obs = float(sim.sum()), float(obs.sum())
    pbias = 100.0 * (sum_obs - sum_sim) / sum_obs if sum_obs != 0.0 else math.nan
    rsr = math.sqrt(sse) / math.sqrt(s_oo) if s_oo > 0.0 else math.inf
    at_sim, at_obs = int(np.argmax(sim)), int(np.argmax(obs))
    late: timedelta | None = None
    if step is not None:
        where = np.arange(len(obs)) if positions is None else positions
        late = step * int(where[at_sim] - where[at_obs])
    return Score(
        kge, r, beta, gamma, nse, rmse, int(len(obs)), skipped,
        pbias, rsr, _pct(float(sim[at_sim]), float(obs[at_obs])), _pct(sum_sim, sum_obs), late,
        moriasi_rating(nse, pbias, rsr),
    )
