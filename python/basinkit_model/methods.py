"""The methods' numerics for single calls: NumPy arrays in and out, no basin needed.

Each function runs the same native code as the method's class in a basin.
Depths, flows and lengths are in any consistent units (the layer's are
inches, cfs and feet unless a function says otherwise); steps and durations
are `timedelta`, steps a whole number of seconds.
"""

from __future__ import annotations

from collections.abc import Sequence
from datetime import timedelta
from typing import Literal, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._clock import Array
from ._routing_methods import MANNING_US, CungeConstants, Section, cunge_constants, normal_section
from ._transform_methods import ACRES_PER_SQ_MILE, SNYDER_US, nrcs_shape, unit_volume


def _whole_seconds(step: timedelta) -> int:
    if not isinstance(step, timedelta):
        raise TypeError(f"step must be a timedelta, got {type(step).__name__}")
    whole, rest = divmod(step, timedelta(seconds=1))
    if rest or whole < 1:
        raise ValueError(f"step must be a whole number of seconds, at least 1, got {step}")
    return int(whole)

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


# ---------------------------------------------------------------- rainfall transform: NRCS, Snyder, user unit hydrographs


def _excess(excess: ArrayLike) -> NDArray[np.float64]:
    values = np.ascontiguousarray(excess, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"excess must be one-dimensional, got {values.ndim} dimensions")
    return values


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


# ---------------------------------------------------------------- reach routing (Muskingum-Cunge, lag)


def muskingum_cunge(
    inflow: ArrayLike,
    step: timedelta,
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
    out, _ = _native.muskingum_cunge(flow, _whole_seconds(step), c.k, c.x, sub_reaches, start)
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


def lag(inflow: ArrayLike, step: timedelta, lag: timedelta) -> Array:
    """`inflow` delayed by `lag`; a fraction of a step interpolates the two neighbouring shifts."""
    flow = np.ascontiguousarray(inflow, dtype=np.float64)
    return np.frombuffer(_native.lag(flow, _whole_seconds(step), lag)).copy()


# ---------------------------------------------------------------- end of reach routing


# ---------------------------------------------------------------- baseflow (recession)


def recession(
    direct: ArrayLike,
    step: timedelta,
    initial_q: float,
    recession_constant: float,
    ratio_to_peak: float | None = None,
    threshold_q: float | None = None,
) -> tuple[Array, int | None]:
    """Recession baseflow beside the direct runoff `direct` (flows on instants `step` apart).

    `initial_q` recedes by `recession_constant` per day; after the peak total
    flow, from the first instant the total is below the threshold
    (`ratio_to_peak` times the peak, or `threshold_q`: exactly one), the total
    recedes at that rate. Returns the baseflow and that instant (None: never).
    """
    flow = np.ascontiguousarray(direct, dtype=np.float64)
    packed, crossing = _native.recession(flow, _whole_seconds(step), initial_q, recession_constant, ratio_to_peak, threshold_q)
    return np.frombuffer(packed).copy(), crossing


# ---------------------------------------------------------------- end of baseflow (recession)
