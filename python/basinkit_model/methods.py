"""Single calls of the methods' numerics: NumPy arrays in and out, no basin needed.

Flows and lengths in any consistent units (the layer's are cfs and ft);
`time_step` in whole seconds.
"""

from __future__ import annotations

from datetime import timedelta

import numpy as np
from numpy.typing import ArrayLike

from ._clock import Array
from ._native import lag as _lag
from ._native import recession as _recession
from ._native import muskingum_cunge as _muskingum_cunge
from ._routing_methods import MANNING_US, CungeConstants, Section, cunge_constants, normal_section

# ---------------------------------------------------------------- reach routing (Muskingum-Cunge, lag)


def muskingum_cunge(
    inflow: ArrayLike,
    time_step: int,
    length: float,
    slope: float,
    reference_flow: float,
    reference_area: float,
    top_width: float,
    beta: float = 5.0 / 3.0,
    sub_reaches: int = 1,
    initial_outflow: float | None = None,
) -> Array:
    """Constant-parameter Muskingum-Cunge outflow of `inflow` (see `muskingum_cunge_constants`).

    The outflow starts at `initial_outflow`, or at the first inflow when None.
    """
    flow = np.ascontiguousarray(inflow, dtype=np.float64)
    if flow.ndim != 1 or len(flow) == 0:
        raise ValueError("inflow must be a non-empty one-dimensional array")
    c = cunge_constants(length, slope, reference_flow, reference_area, top_width, beta, sub_reaches)
    start = float(flow[0]) if initial_outflow is None else float(initial_outflow)
    out, _ = _muskingum_cunge(flow, time_step, c.k, c.x, sub_reaches, start)
    return np.frombuffer(out).copy()


def muskingum_cunge_constants(
    length: float,
    slope: float,
    reference_flow: float,
    reference_area: float,
    top_width: float,
    beta: float = 5.0 / 3.0,
    sub_reaches: int = 1,
) -> CungeConstants:
    """Celerity c = beta Q0 / A0, sub-reach length dx, K = dx / c (s) and X = (1 - Q0 / (B0 S0 c dx)) / 2."""
    return cunge_constants(length, slope, reference_flow, reference_area, top_width, beta, sub_reaches)


def channel_section(
    flow: float,
    slope: float,
    manning_n: float,
    bottom_width: float,
    side_slope: float,
    manning_k: float = MANNING_US,
) -> Section:
    """Normal depth, area, top width, perimeter and beta of a trapezoidal channel (Manning).

    `manning_k` is 1.49 in feet and seconds, 1.0 in metres and seconds.
    """
    return normal_section(flow, slope, manning_n, bottom_width, side_slope, manning_k)


def lag(inflow: ArrayLike, time_step: int, lag: timedelta) -> Array:
    """`inflow` delayed by `lag`; a fraction of a step interpolates the two neighbouring shifts."""
    flow = np.ascontiguousarray(inflow, dtype=np.float64)
    return np.frombuffer(_lag(flow, time_step, lag)).copy()


# ---------------------------------------------------------------- end of reach routing


# ---------------------------------------------------------------- baseflow (recession)


def recession(
    direct: ArrayLike,
    time_step: int,
    initial_q: float,
    recession_constant: float,
    ratio_to_peak: float | None = None,
    threshold_q: float | None = None,
) -> tuple[Array, int | None]:
    """Recession baseflow beside the direct runoff `direct` (flows on instants `time_step` s apart).

    `initial_q` recedes by `recession_constant` per day; after the peak total
    flow, from the first instant the total is below the threshold
    (`ratio_to_peak` times the peak, or `threshold_q`: exactly one), the total
    recedes at that rate. Returns the baseflow and that instant (None: never).
    """
    flow = np.ascontiguousarray(direct, dtype=np.float64)
    packed, crossing = _recession(flow, time_step, initial_q, recession_constant, ratio_to_peak, threshold_q)
    return np.frombuffer(packed).copy(), crossing


# ---------------------------------------------------------------- end of baseflow (recession)
