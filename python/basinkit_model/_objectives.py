"""What calibration minimises: one loss per event from its Score or its paired arrays."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Union

import numpy as np

from ._clock import Array
from ._run import Score

Objective = Union[str, Callable[[Array, Array], float]]
"""A name of `OBJECTIVES` or a callable(sim, obs) -> loss to minimise."""

OBJECTIVES = ("kge", "nse", "rmse", "peak_weighted_rmse", "pbias")
# Efficiencies are maximised: their loss is the negated value.
MAXIMISED = frozenset({"kge", "nse"})


def check(objective: object) -> Objective:
    """The objective itself, or a ValueError/TypeError naming the choices."""
    choices = ", ".join(repr(o) for o in OBJECTIVES)
    if isinstance(objective, str):
        if objective not in OBJECTIVES:
            raise ValueError(f"objective must be one of {choices} or a callable, got {objective!r}")
        return objective
    if not callable(objective):
        raise TypeError(f"objective must be one of {choices} or a callable")
    return objective


def peak_weighted_rmse(sim: Array, obs: Array) -> float:
    """RMSE with weights (obs + mean(obs)) / (2 mean(obs)): flows above the mean count more."""
    mean = float(obs.mean())
    if mean == 0.0:
        weights = np.ones_like(obs)
    else:
        weights = (obs + mean) / (2.0 * mean)
    err = sim - obs
    return math.sqrt(float(weights @ (err * err)) / len(obs))


def loss(objective: Objective, score: Score, sim: Array, obs: Array) -> float:
    """One event's loss (lower is better); NaN becomes +inf so that it never wins."""
    if callable(objective):
        value = float(objective(sim, obs))
    elif objective == "kge":
        value = -score.kge
    elif objective == "nse":
        value = -score.nse
    elif objective == "rmse":
        value = score.rmse
    elif objective == "pbias":
        value = abs(score.pbias)
    else:
        value = peak_weighted_rmse(sim, obs)
    return math.inf if math.isnan(value) else value


def value(objective: Objective, loss: float) -> float:
    """The objective as reported: KGE and NSE as such, the others as their loss."""
    return -loss if isinstance(objective, str) and objective in MAXIMISED else loss
