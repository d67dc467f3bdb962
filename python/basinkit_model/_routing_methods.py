"""Reach routings beside Muskingum: Muskingum-Cunge from a reference flow, and a pure lag.

Both route on the native cores; the Muskingum-Cunge constants are a handful
of operations on the fields, done here in a stated order.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from datetime import timedelta
from typing import NamedTuple

from ._clock import Array, Clock, seconds
from ._methods import Routed, Routing, floats
from ._native import lag as native_lag
from ._native import muskingum_cunge as native_muskingum_cunge
from ._registry import Count, Duration, Number, declare

MANNING_US = 1.49  # Manning's constant in feet and seconds (1.0 in metres)


class CungeConstants(NamedTuple):
    """What a Muskingum-Cunge reach derives from its fields (per sub-reach)."""

    celerity: float  # flow length per second
    sub_length: float  # length / sub_reaches
    k: float  # seconds
    x: float


def cunge_constants(
    length: float,
    slope: float,
    reference_flow: float,
    reference_area: float,
    top_width: float,
    beta: float,
    sub_reaches: int,
) -> CungeConstants:
    """Celerity, sub-reach length, K and X, in this order of operations:

    dx = length / sub_reaches; c = (beta * Q0) / A0; K = dx / c;
    X = 0.5 * (1 - Q0 / (((B0 * S0) * c) * dx)).
    """
    dx = length / sub_reaches
    c = beta * reference_flow / reference_area
    k = dx / c
    x = 0.5 * (1.0 - reference_flow / (top_width * slope * c * dx))
    return CungeConstants(c, dx, k, x)


class Section(NamedTuple):
    """A trapezoidal section at normal depth: depth, area, top width, wetted perimeter, beta."""

    depth: float
    area: float
    top_width: float
    perimeter: float
    beta: float


def trapezoid_section(bottom_width: float, side_slope: float, depth: float) -> tuple[float, float, float]:
    """(area, top width, wetted perimeter) of a trapezoid with side slope z horizontal to 1 vertical."""
    area = (bottom_width + side_slope * depth) * depth
    top = bottom_width + 2.0 * side_slope * depth
    perimeter = bottom_width + 2.0 * depth * math.sqrt(1.0 + side_slope * side_slope)
    return area, top, perimeter


def manning_flow(
    bottom_width: float, side_slope: float, depth: float, slope: float, manning_n: float, manning_k: float
) -> float:
    """Q = (k / n) A R^(2/3) S^(1/2) of the trapezoid at `depth`."""
    area, _, perimeter = trapezoid_section(bottom_width, side_slope, depth)
    return float(manning_k / manning_n * area * (area / perimeter) ** (2.0 / 3.0) * math.sqrt(slope))


def normal_section(
    flow: float,
    slope: float,
    manning_n: float,
    bottom_width: float,
    side_slope: float,
    manning_k: float = MANNING_US,
) -> Section:
    """The trapezoid's section at the normal depth of `flow`, and its beta = (dQ/dA) / (Q/A).

    The depth is found by bisection (Q rises with depth) until the bracket
    cannot shrink further. From Manning's equation,
    beta = 5/3 - (2/3) (A / P) (dP/dy) / B with dP/dy = 2 sqrt(1 + z^2).
    """
    for name, value in (("flow", flow), ("slope", slope), ("manning_n", manning_n), ("manning_k", manning_k)):
        if not (value > 0.0 and math.isfinite(value)):
            raise ValueError(f"{name} must be a finite number > 0, got {value}")
    for name, value in (("bottom_width", bottom_width), ("side_slope", side_slope)):
        if not (value >= 0.0 and math.isfinite(value)):
            raise ValueError(f"{name} must be a finite number >= 0, got {value}")
    if bottom_width == 0.0 and side_slope == 0.0:
        raise ValueError("a channel needs a bottom_width or a side_slope above 0")
    lo, hi = 0.0, 1.0
    for _ in range(2100):  # doubling past any finite flow
        if manning_flow(bottom_width, side_slope, hi, slope, manning_n, manning_k) >= flow:
            break
        lo, hi = hi, hi * 2.0
    else:  # pragma: no cover - only for flows beyond float range
        raise ValueError(f"no normal depth found for flow {flow}")
    while True:
        mid = 0.5 * (lo + hi)
        if not lo < mid < hi:
            break
        if manning_flow(bottom_width, side_slope, mid, slope, manning_n, manning_k) < flow:
            lo = mid
        else:
            hi = mid
    depth = hi
    area, top, perimeter = trapezoid_section(bottom_width, side_slope, depth)
    dp_dy = 2.0 * math.sqrt(1.0 + side_slope * side_slope)
    beta = 5.0 / 3.0 - (2.0 / 3.0) * (area / perimeter) * dp_dy / top
    return Section(depth, area, top, perimeter, beta)


@dataclass(frozen=True)
class MuskingumCunge(Routing, tag="muskingum_cunge"):
    """Muskingum-Cunge with constant parameters from a reference flow, routed by Muskingum.

    Per sub-reach of length dx = length / sub_reaches: celerity
    c = beta Q0 / A0, K = dx / c and X = (1 - Q0 / (B0 S0 c dx)) / 2. A
    negative X (a sub-reach too short for the channel's diffusion) is routed
    as it is, with a warning: fewer sub-reaches raise it.
    """

    length: float = declare(Number("ft", "reach length", above=0.0))
    slope: float = declare(Number("ft/ft", "channel bed slope", above=0.0))
    reference_flow: float = declare(Number("cfs", "reference flow Q0", above=0.0))
    reference_area: float = declare(Number("ft^2", "flow area at the reference flow", above=0.0))
    top_width: float = declare(Number("ft", "top width at the reference flow", above=0.0))
    beta: float = declare(Number("-", "celerity over mean velocity, dQ/dA / (Q/A)", above=0.0), 5.0 / 3.0)
    sub_reaches: int = declare(Count(doc="equal sub-reaches routed in series"), 1)

    @classmethod
    def from_channel(
        cls,
        length: float,
        slope: float,
        manning_n: float,
        bottom_width: float,
        side_slope: float,
        reference_flow: float,
        *,
        sub_reaches: int = 1,
        manning_k: float = MANNING_US,
    ) -> MuskingumCunge:
        """The reach of a prismatic trapezoidal channel (side slope z horizontal to 1 vertical).

        The reference area, top width and beta are those of Manning's normal
        depth at `reference_flow` (see `normal_section`); the basin file keeps
        them, not the channel. For an SI basin give metres and m^3/s with
        `manning_k=1.0`.
        """
        s = normal_section(reference_flow, slope, manning_n, bottom_width, side_slope, manning_k)
        return cls(length, slope, reference_flow, s.area, s.top_width, s.beta, sub_reaches)

    def constants(self) -> CungeConstants:
        """Celerity, sub-reach length, K (s) and X of each sub-reach."""
        return cunge_constants(
            self.length, self.slope, self.reference_flow, self.reference_area, self.top_width, self.beta,
            self.sub_reaches,
        )

    def route(self, inflow: Array, clock: Clock) -> Routed:
        """Outflow from the Muskingum core; storage change from each pass's first and last values."""
        c = self.constants()
        if c.x < 0.0:
            warnings.warn(
                # No length quoted: an SI basin's reach runs converted to feet.
                f"MuskingumCunge: X = {c.x:.4g} is below 0 for sub-reaches of length / {self.sub_reaches}; "
                "fewer sub_reaches (longer sub-reaches) raise it",
                RuntimeWarning,
                stacklevel=2,
            )
        start = float(inflow[0])
        out, ends = native_muskingum_cunge(inflow, clock.dt, c.k, c.x, self.sub_reaches, start)
        # Every sub-reach holds K (X I + (1 - X) O); each pass starts at `start`.
        change = 0.0
        i_first, i_last = float(inflow[0]), float(inflow[-1])
        for last in ends:
            change += c.k * (c.x * (i_last - i_first) + (1.0 - c.x) * (last - start))
            i_first, i_last = start, last
        return Routed(floats(out), change)


def lag_held(inflow: Array, lag_seconds: float, dt: float) -> tuple[float, float]:
    """Water in a lag reach at the start and at the end (flow x s).

    What has entered and not yet left: the trapezoid of the inflow over the
    last `lag` seconds, a fractional step as the same interpolation between the
    two whole-step shifts that gives the outflow.
    """
    steps = lag_seconds / dt
    whole = math.floor(steps)
    f = steps - whole
    n = len(inflow)

    first = float(inflow[0])

    def held(m: int) -> float:
        if m == 0:
            return 0.0
        # Instants n-1-m .. n-1; those before the start hold the first inflow.
        before = max(m - (n - 1), 0)
        v = inflow[n - 1 - (m - before) :]
        inside = dt * (0.5 * float(v[0]) + float(v[1:-1].sum()) + 0.5 * float(v[-1])) if len(v) > 1 else 0.0
        return inside + dt * first * before

    start = dt * first * steps
    end = (1.0 - f) * held(whole) + (f * held(whole + 1) if f else 0.0)
    return start, end


@dataclass(frozen=True)
class Lag(Routing, tag="lag"):
    """The inflow delayed by `lag`, unchanged; a fraction of a step interpolates linearly.

    With lag = (m + f) dt: out[i] = (1 - f) in[i - m] + f in[i - m - 1], the
    inflow steady at its first value before the start, so volume is kept.
    """

    lag: timedelta = declare(Duration(doc="travel time through the reach"))

    def route(self, inflow: Array, clock: Clock) -> Routed:
        """Lagged outflow; storage change from what is in transit at the start and the end."""
        out = floats(native_lag(inflow, clock.dt, self.lag))
        start, end = lag_held(inflow, seconds(self.lag), clock.seconds)
        return Routed(out, end - start)
