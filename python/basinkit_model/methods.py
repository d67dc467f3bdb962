"""The methods' numerics for single calls: NumPy arrays in and out, no basin needed.

Each function runs the same native code as the method's class in a basin.
`units="us"` (the default) takes and gives inches, acres, cfs, feet and
square feet; `units="si"` millimetres, km^2, m^3/s, metres and m^2, converted
at the edges by the exact factors of a `Basin(units="si")`, so an SI result
is the US result of the converted inputs, converted back. The default
converts nothing, so the loss and routing calls also work in any other
consistent units (centimetres, say) with it. Steps and durations are
`timedelta`, steps a whole number of seconds.

The losses, unit hydrographs, recession and lag read an input that is
already a contiguous float64 array in place instead of copying it; no call
writes to its inputs, and each result is a new writable array of its own.
"""

from __future__ import annotations

from collections.abc import Sequence
from datetime import timedelta
from typing import Literal, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from . import _units as u
from ._clock import Array
from ._methods import floats
from ._routing_methods import MANNING_US, CungeConstants, Section, cunge_constants, normal_section
from ._transform_methods import ACRES_PER_SQ_MILE, SNYDER_US, nrcs_shape, unit_volume


def _whole_seconds(step: timedelta) -> int:
    if not isinstance(step, timedelta):
        raise TypeError(f"step must be a timedelta, got {type(step).__name__}")
    whole, rest = divmod(step, timedelta(seconds=1))
    if rest or whole < 1:
        raise ValueError(f"step must be a whole number of seconds, at least 1, got {step}")
    return int(whole)


Units = Literal["us", "si"]


def _si(units: object) -> bool:
    return u.check_system(units, "units") == u.SI


def _to_us(value: NDArray[np.float64], by: float, si: bool) -> NDArray[np.float64]:
    # Into US by dividing by the SI value of one US unit, as a basin converts.
    return value / by if si else value


def _us(value: float, by: float, si: bool) -> float:
    # A scalar field, left as given in US units so the native checks see it unchanged.
    return value / by if si else value


def _to_si(values: NDArray[np.float64], by: float, si: bool) -> NDArray[np.float64]:
    return values * by if si else values

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


def _result(packed: tuple[bytearray, bytearray, bytearray], si: bool = False) -> LossResult:
    # The native side wrote into these bytearrays: NumPy takes them writable, uncopied.
    excess, loss, state = (_to_si(np.frombuffer(p, dtype=np.float64), u.MM_PER_IN, si) for p in packed)
    return LossResult(excess, loss, state)


def curve_number(
    rain: ArrayLike,
    cn: float,
    initial_abstraction_ratio: float = 0.2,
    impervious_pct: float = 0.0,
    *,
    depth_unit: Literal["in", "mm"] | None = None,
    units: Units = "us",
) -> LossResult:
    """NRCS curve-number excess of `rain` (depth per interval: in, or mm with `units="si"`).

    S = 1000/CN - 10 inches, Ia = ratio x S; the cumulative excess
    (P - Ia)^2 / (P - Ia + S) of the cumulative rain P, and each interval's
    excess as its difference. `impervious_pct` of the area turns all its rain
    into excess. The state is the cumulative rain. `units="si"` converts the
    rain to inches and the results back; `depth_unit="mm"` alone keeps the US
    default but takes S = 25.4 (1000/CN - 10) mm directly (the same to rounding).
    """
    si = _si(units)
    if depth_unit is not None and depth_unit not in _DEPTH_PER_INCH:
        raise ValueError(f"depth_unit must be 'in' or 'mm', got {depth_unit!r}")
    if si and depth_unit == "in":
        raise ValueError("depth_unit='in' contradicts units='si' (millimetres)")
    per_inch = 1.0 if si else _DEPTH_PER_INCH[depth_unit or "in"]
    rain_in = _to_us(_depths(rain), u.MM_PER_IN, si)
    return _result(
        _native.curve_number(rain_in, cn, initial_abstraction_ratio, impervious_pct, per_inch), si
    )


def initial_constant(
    rain: ArrayLike,
    step: timedelta,
    initial_loss: float,
    rate_per_hr: float,
    impervious_pct: float = 0.0,
    *,
    units: Units = "us",
) -> LossResult:
    """Initial-and-constant excess of `rain` (depth per interval of `step`).

    The rain first fills `initial_loss`; what is left meets a loss of
    `rate_per_hr` (depth per hour) x the interval, the interval that fills the
    initial loss included. `impervious_pct` of the area turns all its rain
    into excess. The state is the initial loss still unfilled. Depths in
    inches and in/h, or mm and mm/h with `units="si"`.
    """
    si = _si(units)
    rain_in = _depths(_to_us(_depths(rain), u.MM_PER_IN, si))
    loss_in, rate_in = (_us(v, u.MM_PER_IN, si) for v in (initial_loss, rate_per_hr))
    return _result(_native.initial_constant(rain_in, _whole_seconds(step), loss_in, rate_in, impervious_pct), si)


def green_ampt(
    rain: ArrayLike,
    step: timedelta,
    initial_content: float,
    saturated_content: float,
    suction: float,
    conductivity: float,
    impervious_pct: float = 0.0,
    *,
    units: Units = "us",
) -> LossResult:
    """Green-Ampt excess of `rain` (depth per interval of `step`), ponding found within each interval.

    Rain falls at a constant rate within an interval. With sd = suction x
    (saturated_content - initial_content) and K the conductivity (depth per
    hour), the surface ponds once the cumulative infiltration F reaches
    K sd / (i - K) for a rate i above K; from then on F follows
    F - F0 - sd ln((F + sd) / (F0 + sd)) = K t, solved by Newton's method.
    `impervious_pct` of the area turns all its rain into excess. The state is
    the pervious area's cumulative infiltration. Rain and suction in inches
    and the conductivity in in/h, or mm and mm/h with `units="si"`.
    """
    si = _si(units)
    rain_in = _depths(_to_us(_depths(rain), u.MM_PER_IN, si))
    suction_in, k_in = (_us(v, u.MM_PER_IN, si) for v in (suction, conductivity))
    return _result(
        _native.green_ampt(
            rain_in, _whole_seconds(step), initial_content, saturated_content, suction_in, k_in, impervious_pct
        ),
        si,
    )


# ---------------------------------------------------------------- rainfall transform: NRCS, Snyder, user unit hydrographs


def _excess(excess: ArrayLike) -> NDArray[np.float64]:
    values = np.ascontiguousarray(excess, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"excess must be one-dimensional, got {values.ndim} dimensions")
    return values


def _transform_inputs(excess: ArrayLike, area: float, si: bool) -> tuple[NDArray[np.float64], float]:
    # Excess in inches and the area in acres, as the layer runs them.
    return _excess(_to_us(_excess(excess), u.MM_PER_IN, si)), _us(area, u.KM2_PER_ACRE, si)


def nrcs_unit_hydrograph(
    excess: ArrayLike,
    step: timedelta,
    area_acres: float,
    lag: timedelta,
    peak_rate_factor: float = 484.0,
    *,
    units: Units = "us",
) -> NDArray[np.float64]:
    """NRCS direct runoff of `excess` per `step` on `area_acres`.

    US: excess in inches, area in acres, runoff in cfs; `units="si"`: mm,
    km^2 and m^3/s (the factor is quoted as 484 in either). The dimensionless
    curve (NEH 630 ch. 16, Table 16-1 for a factor of 484;
    otherwise the gamma curve (t/Tp)^m exp(m (1 - t/Tp)) whose area is
    645.33 / factor of qp Tp) is read every step with Tp = step / 2 + lag and
    scaled to hold exactly one inch. Value k is the discharge at k steps after
    the first interval's start: len(excess) + len(ordinates) - 1 values.
    """
    si = _si(units)
    depth, acres = _transform_inputs(excess, area_acres, si)
    tabulated, m = nrcs_shape(float(peak_rate_factor))
    packed = _native.nrcs_uh(depth, _whole_seconds(step), unit_volume(acres), lag, tabulated, m)
    return _to_si(floats(packed), u.M3_PER_FT3, si)


def user_unit_hydrograph(
    excess: ArrayLike,
    step: timedelta,
    area_acres: float,
    ordinates: Sequence[float],
    normalise: bool = False,
    *,
    units: Units = "us",
) -> NDArray[np.float64]:
    """Direct runoff of `excess` per `step` through a unit hydrograph of one depth unit.

    US: excess in inches, area in acres, `ordinates` and runoff in cfs for a
    1-inch unit hydrograph; `units="si"`: mm, km^2 and m^3/s for 1 mm.
    `ordinates` are at 0, step, 2 step, ..., the first 0; their volume must
    lie within 1 % of one depth unit over the area unless `normalise`, and
    they are scaled to hold exactly one. Value k is
    sum over j of excess[j] x ordinates[k - j] (the discrete convolution).
    """
    si = _si(units)
    depth, acres = _transform_inputs(excess, area_acres, si)
    per_inch = [_us(float(q), u.M3S_PER_CFS_PER_MM_PER_IN, si) for q in ordinates]
    packed = _native.user_uh(depth, _whole_seconds(step), per_inch, unit_volume(acres), normalise)
    return _to_si(floats(packed), u.M3_PER_FT3, si)


def snyder_unit_hydrograph(
    excess: ArrayLike,
    step: timedelta,
    area_acres: float,
    lag: timedelta,
    peaking_coefficient: float,
    *,
    units: Units = "us",
) -> NDArray[np.float64]:
    """Snyder direct runoff of `excess` per `step` on `area_acres`.

    US: excess in inches, area in acres, runoff in cfs; `units="si"`: mm,
    km^2 and m^3/s, converted to US and back (Snyder's US coefficients 640,
    770 and 440 are kept, so 640 cfs/(mi^2 in) is 2.7548 m^3/s/(km^2 cm),
    not the 2.75 SI texts round it to).
    Standard lag tp = `lag`, adjusted to the step: tpR = tp + (step - tp / 5.5) / 4
    (h); peak 640 Cp A / tpR (A in mi^2) at step / 2 + tpR; widths 770 and
    440 / qpR^1.08 h at 50 % and 75 % of it, a third before the peak; a base
    time that holds exactly one inch. The polygon is read every step and scaled
    to hold exactly one inch.
    """
    si = _si(units)
    depth, acres = _transform_inputs(excess, area_acres, si)
    packed = _native.snyder_uh(
        depth, _whole_seconds(step), unit_volume(acres), acres / ACRES_PER_SQ_MILE, lag,
        float(peaking_coefficient), *SNYDER_US,
    )
    return _to_si(floats(packed), u.M3_PER_FT3, si)


# ---------------------------------------------------------------- reach routing (Muskingum-Cunge, lag)


def _cunge_us(
    length: float, slope: float, reference_flow: float, reference_area: float, top_width: float, si: bool
) -> tuple[float, float, float, float, float]:
    # The reach's fields in feet, cfs and ft^2, as a basin converts them.
    return (
        _us(length, u.M_PER_FT, si), slope, _us(reference_flow, u.M3_PER_FT3, si),
        _us(reference_area, u.M2_PER_FT2, si), _us(top_width, u.M_PER_FT, si),
    )


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
    *,
    units: Units = "us",
) -> Array:
    """Constant-parameter Muskingum-Cunge outflow of `inflow` (see `muskingum_cunge_constants`).

    US: flows in cfs, lengths in ft, the area in ft^2; `units="si"`: m^3/s,
    m and m^2. The outflow starts at `initial_outflow`, or at the first
    inflow when None.
    """
    si = _si(units)
    flow = np.ascontiguousarray(inflow, dtype=np.float64)
    if flow.ndim != 1 or len(flow) == 0:
        raise ValueError("inflow must be a non-empty one-dimensional array")
    flow = _to_us(flow, u.M3_PER_FT3, si)
    c = cunge_constants(*_cunge_us(length, slope, reference_flow, reference_area, top_width, si), beta, sub_reaches)
    start = float(flow[0]) if initial_outflow is None else _us(float(initial_outflow), u.M3_PER_FT3, si)
    out, _ = _native.muskingum_cunge(flow, _whole_seconds(step), c.k, c.x, sub_reaches, start)
    return _to_si(floats(out), u.M3_PER_FT3, si)


def muskingum_cunge_constants(
    length: float,
    slope: float,
    reference_flow: float,
    reference_area: float,
    top_width: float,
    beta: float = 5.0 / 3.0,
    sub_reaches: int = 1,
    *,
    units: Units = "us",
) -> CungeConstants:
    """Celerity c = beta Q0 / A0, sub-reach length dx, K = dx / c (s) and X = (1 - Q0 / (B0 S0 c dx)) / 2.

    US: ft, cfs and ft^2 in, celerity in ft/s and dx in ft out; `units="si"`:
    m, m^3/s and m^2 in, m/s and m out (computed in US units, as a basin does).
    """
    si = _si(units)
    c = cunge_constants(*_cunge_us(length, slope, reference_flow, reference_area, top_width, si), beta, sub_reaches)
    if not si:
        return c
    return c._replace(celerity=c.celerity * u.M_PER_FT, sub_length=c.sub_length * u.M_PER_FT)


def channel_section(
    flow: float,
    slope: float,
    manning_n: float,
    bottom_width: float,
    side_slope: float,
    manning_k: float | None = None,
    *,
    units: Units = "us",
) -> Section:
    """Normal depth, area, top width, perimeter and beta of a trapezoidal channel (Manning).

    US: cfs, ft and ft^2, `manning_k` 1.49 when None; `units="si"`: m^3/s, m,
    m^2 and 1.0. Solved in the units given: 1.49 is the metre's 1.0 in feet
    rounded ((1 / 0.3048)^(1/3) = 1.4859), so the defaults differ by 0.27 %.
    """
    k = (1.0 if _si(units) else MANNING_US) if manning_k is None else manning_k
    return normal_section(flow, slope, manning_n, bottom_width, side_slope, k)


def lag(inflow: ArrayLike, step: timedelta, lag: timedelta) -> Array:
    """`inflow` delayed by `lag`; a fraction of a step interpolates the two neighbouring shifts."""
    flow = np.ascontiguousarray(inflow, dtype=np.float64)
    return floats(_native.lag(flow, _whole_seconds(step), lag))


# ---------------------------------------------------------------- end of reach routing


# ---------------------------------------------------------------- baseflow (recession)


def recession(
    direct: ArrayLike,
    step: timedelta,
    initial_q: float,
    recession_constant: float,
    ratio_to_peak: float | None = None,
    threshold_q: float | None = None,
    *,
    units: Units = "us",
) -> tuple[Array, int | None]:
    """Recession baseflow beside the direct runoff `direct` (flows on instants `step` apart).

    `initial_q` recedes by `recession_constant` per day; after the peak total
    flow, from the first instant the total is below the threshold
    (`ratio_to_peak` times the peak, or `threshold_q`: exactly one), the total
    recedes at that rate. Returns the baseflow and that instant (None: never).
    Flows in cfs, or m^3/s with `units="si"`.
    """
    si = _si(units)
    flow = _to_us(np.ascontiguousarray(direct, dtype=np.float64), u.M3_PER_FT3, si)
    q0 = _us(initial_q, u.M3_PER_FT3, si)
    limit = None if threshold_q is None else _us(threshold_q, u.M3_PER_FT3, si)
    packed, crossing = _native.recession(flow, _whole_seconds(step), q0, recession_constant, ratio_to_peak, limit)
    return _to_si(floats(packed), u.M3_PER_FT3, si), crossing


# ---------------------------------------------------------------- end of baseflow (recession)
