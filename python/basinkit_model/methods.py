"""The methods' numerics for single calls: NumPy arrays in and out, no basin needed.

Each function runs the same native code as the method's class in a basin.
"""

from __future__ import annotations

from datetime import timedelta
from typing import Literal, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native

# ---------------------------------------------------------------- rainfall loss: curve number, initial-constant, Green-Ampt


class LossResult(NamedTuple):
    """A loss method's split of the rain, one value per interval.

    `state` is the method's state at each interval's end: the cumulative rain
    (curve number), the initial loss still to be satisfied (initial and
    constant) or the cumulative infiltration of the pervious area (Green-Ampt).
    """

    excess: NDArray[np.float64]
    loss: NDArray[np.float64]
    state: NDArray[np.float64]


_DEPTH_PER_INCH = {"in": 1.0, "mm": 25.4}


def _depths(rain: ArrayLike) -> NDArray[np.float64]:
    values = np.ascontiguousarray(rain, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"rain must be one-dimensional, got {values.ndim} dimensions")
    return values


def _result(packed: tuple[bytearray, bytearray, bytearray]) -> LossResult:
    # The native side wrote into these bytearrays: NumPy takes them writable, uncopied.
    excess, loss, state = (np.frombuffer(p, dtype=np.float64) for p in packed)
    return LossResult(excess, loss, state)


def curve_number(
    rain: ArrayLike,
    cn: float,
    initial_abstraction_ratio: float = 0.2,
    impervious_pct: float = 0.0,
    *,
    depth_unit: Literal["in", "mm"] = "in",
) -> LossResult:
    """NRCS curve-number excess of `rain` (depth per interval, in `depth_unit`).

    S = 1000/CN - 10 inches (times 25.4 in millimetres), Ia = ratio x S; the
    cumulative excess (P - Ia)^2 / (P - Ia + S) of the cumulative rain P, and
    each interval's excess as its difference. `impervious_pct` of the area
    turns all its rain into excess. The state is the cumulative rain.
    """
    if depth_unit not in _DEPTH_PER_INCH:
        raise ValueError(f"depth_unit must be 'in' or 'mm', got {depth_unit!r}")
    return _result(
        _native.curve_number(_depths(rain), cn, initial_abstraction_ratio, impervious_pct, _DEPTH_PER_INCH[depth_unit])
    )


def _whole_seconds(step: timedelta) -> int:
    if not isinstance(step, timedelta):
        raise TypeError(f"step must be a timedelta, got {type(step).__name__}")
    whole, rest = divmod(step, timedelta(seconds=1))
    if rest or whole < 1:
        raise ValueError(f"step must be a whole number of seconds, at least 1, got {step}")
    return int(whole)


def initial_constant(
    rain: ArrayLike,
    step: timedelta,
    initial_loss: float,
    rate_per_hr: float,
    impervious_pct: float = 0.0,
) -> LossResult:
    """Initial-and-constant excess of `rain` (depth per interval of `step`).

    The rain first fills `initial_loss`; what is left meets a loss of
    `rate_per_hr` (depth per hour) x the interval, the interval that fills the
    initial loss included. `impervious_pct` of the area turns all its rain
    into excess. The state is the initial loss still unfilled.
    """
    return _result(_native.initial_constant(_depths(rain), _whole_seconds(step), initial_loss, rate_per_hr, impervious_pct))


def green_ampt(
    rain: ArrayLike,
    step: timedelta,
    initial_content: float,
    saturated_content: float,
    suction: float,
    conductivity: float,
    impervious_pct: float = 0.0,
) -> LossResult:
    """Green-Ampt excess of `rain` (depth per interval of `step`), ponding found within each interval.

    Rain falls at a constant rate within an interval. With sd = suction x
    (saturated_content - initial_content) and K the conductivity (depth per
    hour), the surface ponds once the cumulative infiltration F reaches
    K sd / (i - K) for a rate i above K; from then on F follows
    F - F0 - sd ln((F + sd) / (F0 + sd)) = K t, solved by Newton's method.
    `impervious_pct` of the area turns all its rain into excess. The state is
    the pervious area's cumulative infiltration.
    """
    return _result(
        _native.green_ampt(
            _depths(rain), _whole_seconds(step), initial_content, saturated_content, suction, conductivity, impervious_pct
        )
    )
