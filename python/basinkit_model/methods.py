"""The methods' numerics for single calls: NumPy arrays in and out, no basin needed.

Each function runs the same native code as the method's class in a basin.
"""

from __future__ import annotations

from collections.abc import Sequence
from datetime import timedelta

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._transform_methods import ACRES_PER_SQ_MILE, SNYDER_US, nrcs_shape, unit_volume

# ---------------------------------------------------------------- rainfall transform: NRCS, Snyder, user unit hydrographs


def _excess(excess: ArrayLike) -> NDArray[np.float64]:
    values = np.ascontiguousarray(excess, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"excess must be one-dimensional, got {values.ndim} dimensions")
    return values


def _whole_seconds(step: timedelta) -> int:
    dt = step.total_seconds()
    if dt < 1.0 or dt != int(dt):
        raise ValueError(f"step must be a whole number of seconds of at least 1, got {step}")
    return int(dt)


def nrcs_unit_hydrograph(
    excess: ArrayLike,
    step: timedelta,
    area_acres: float,
    lag: timedelta,
    peak_rate_factor: float = 484.0,
) -> NDArray[np.float64]:
    """NRCS direct runoff (cfs) of `excess` (inches per `step`) on `area_acres`.

    The dimensionless curve (NEH 630 ch. 16, Table 16-1 for a factor of 484;
    otherwise the gamma curve (t/Tp)^m exp(m (1 - t/Tp)) whose area is
    645.33 / factor of qp Tp) is read every step with Tp = step / 2 + lag and
    scaled to hold exactly one inch. Value k is the discharge at k steps after
    the first interval's start: len(excess) + len(ordinates) - 1 values.
    """
    tabulated, m = nrcs_shape(float(peak_rate_factor))
    packed = _native.nrcs_uh(_excess(excess), _whole_seconds(step), unit_volume(area_acres), lag, tabulated, m)
    return np.frombuffer(packed).copy()


def user_unit_hydrograph(
    excess: ArrayLike,
    step: timedelta,
    area_acres: float,
    ordinates: Sequence[float],
    normalise: bool = False,
) -> NDArray[np.float64]:
    """Direct runoff (cfs) of `excess` (inches per `step`) through a 1-inch unit hydrograph.

    `ordinates` (cfs) are at 0, step, 2 step, ..., the first 0; their volume
    must lie within 1 % of one inch over `area_acres` unless `normalise`, and
    they are scaled to hold exactly one inch.
    """
    packed = _native.user_uh(
        _excess(excess), _whole_seconds(step), [float(u) for u in ordinates], unit_volume(area_acres), normalise
    )
    return np.frombuffer(packed).copy()


def snyder_unit_hydrograph(
    excess: ArrayLike,
    step: timedelta,
    area_acres: float,
    lag: timedelta,
    peaking_coefficient: float,
) -> NDArray[np.float64]:
    """Snyder direct runoff (cfs) of `excess` (inches per `step`) on `area_acres`.

    Standard lag tp = `lag`, adjusted to the step: tpR = tp + (step - tp / 5.5) / 4
    (h); peak 640 Cp A / tpR (A in mi^2) at step / 2 + tpR; widths 770 and
    440 / qpR^1.08 h at 50 % and 75 % of it, a third before the peak; a base
    time that holds exactly one inch. The polygon is read every step and scaled
    to hold exactly one inch.
    """
    packed = _native.snyder_uh(
        _excess(excess), _whole_seconds(step), unit_volume(area_acres), area_acres / ACRES_PER_SQ_MILE, lag,
        float(peaking_coefficient), *SNYDER_US,
    )
    return np.frombuffer(packed).copy()
