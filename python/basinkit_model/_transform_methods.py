"""Unit-hydrograph transforms from ordinates: NRCS, Snyder and a user's table.

Each builds its ordinates in the core, scaled to hold exactly one inch over
the subbasin, and convolves the excess with them: the runoff's volume is the
excess volume to rounding and nothing is cut off the end.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from datetime import timedelta
from typing import Any

from . import _checks as chk
from ._clock import CFS_PER_ACRE_INCH, FT3_PER_ACRE_INCH, Array, Clock, seconds
from ._methods import Runoff, Transform, floats
from ._native import nrcs_gamma_shape, nrcs_uh, snyder_uh, user_uh
from ._registry import Duration, Field, Number, Numbers, declare

# Snyder's coefficients for cfs per square mile and inch, times in hours.
SNYDER_US = (640.0, 770.0, 440.0)
ACRES_PER_SQ_MILE = 640.0

# The standard curve's factor; any other takes the gamma curve of that area.
STANDARD_PEAK_RATE_FACTOR = 484.0
# One inch over one square mile for one hour, in cfs, with the layer's own acre-inch.
CFS_HOURS_PER_SQ_MILE_INCH = 640.0 * CFS_PER_ACRE_INCH


@dataclass(frozen=True)
class Ordinates(Numbers):
    """At least two finite numbers of zero or more, the first zero."""

    def check(self, value: object, where: str) -> Any:
        if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
            raise chk.FieldTypeError(where, f"must be a sequence of numbers, got {type(value).__name__}")
        out = tuple(chk.number(v, f"{where}[{i}]", low=0.0) for i, v in enumerate(value))
        if len(out) < 2:
            raise chk.FieldError(where, f"needs at least 2 ordinates, got {len(out)}")
        if out[0] != 0.0:
            raise chk.FieldError(f"{where}[0]", f"must be 0 (the start of the excess), got {out[0]}")
        return out

    def bounds(self) -> str:
        return ">= 0, the first 0"


@dataclass(frozen=True)
class Flag(Field):
    """True or false."""

    def check(self, value: object, where: str) -> Any:
        if not isinstance(value, bool):
            raise chk.FieldTypeError(where, f"must be True or False, got {type(value).__name__}")
        return value

    def from_file(self, raw: object) -> Any:
        if not isinstance(raw, bool):
            raise ValueError(f"needs true or false, got {type(raw).__name__}")
        return raw

    def bounds(self) -> str:
        return "true or false"


def unit_volume(area_acres: float) -> float:
    """The volume (ft^3) of one inch over the area, as the balance counts it."""
    return area_acres * FT3_PER_ACRE_INCH


def nrcs_shape(peak_rate_factor: float) -> tuple[bool, float]:
    """(tabulated, m): the standard table for 484, else the gamma curve's shape of that area."""
    if peak_rate_factor == STANDARD_PEAK_RATE_FACTOR:
        return True, 0.0
    return False, nrcs_gamma_shape(CFS_HOURS_PER_SQ_MILE_INCH / peak_rate_factor)


@dataclass(frozen=True)
class NrcsUnitHydrograph(Transform, tag="nrcs_uh"):
    """NRCS unit hydrograph: lag and peak rate factor (484: the standard curve; else a gamma curve)."""

    lag: timedelta = declare(Duration(doc="lag from the excess's centre to the peak"))
    peak_rate_factor: float = declare(
        Number("cfs h/(mi^2 in)", "qp = factor x A Q / Tp, quoted as 484 in SI basins too", low=100.0, high=1000.0),
        STANDARD_PEAK_RATE_FACTOR,
    )

    def runoff(self, excess: Array, area_acres: float, clock: Clock) -> Runoff:
        """NRCS direct runoff, Tp = dt / 2 + lag."""
        tabulated, m = nrcs_shape(self.peak_rate_factor)
        return Runoff(floats(nrcs_uh(excess, clock.dt, unit_volume(area_acres), self.lag, tabulated, m)), 0.0)


@dataclass(frozen=True)
class UserUnitHydrograph(Transform, tag="user_uh"):
    """A unit hydrograph of 1 in given as ordinates (cfs) every `step`, from 0 at the excess's start.

    In an SI basin: of 1 mm, ordinates in m^3/s.
    """

    ordinates: tuple[float, ...] = declare(Ordinates("cfs/in", "discharge at 0, step, 2 step, ..."))
    step: timedelta = declare(Duration(doc="time between ordinates: the run's step", minimum=timedelta(seconds=1)))
    normalise: bool = declare(Flag(doc="scale a volume more than 1 % off 1 in instead of refusing it"), False)

    def runoff(self, excess: Array, area_acres: float, clock: Clock) -> Runoff:
        """Direct runoff through the ordinates, scaled to exactly 1 in."""
        if seconds(self.step) != clock.seconds:
            raise ValueError(f"the unit hydrograph's step {self.step} differs from the run's step {clock.step}")
        direct = user_uh(excess, clock.dt, list(self.ordinates), unit_volume(area_acres), self.normalise)
        return Runoff(floats(direct), 0.0)


@dataclass(frozen=True)
class Snyder(Transform, tag="snyder_uh"):
    """Snyder's unit hydrograph: standard lag tp and peaking coefficient Cp.

    The lag is adjusted to the run's step as to a non-standard duration,
    tpR = tp + (dt - tp / 5.5) / 4; the peak 640 Cp A / tpR and the widths
    W50 = 770 / qpR^1.08, W75 = 440 / qpR^1.08 (h) are kept, and the base time
    is the one that holds exactly one inch.
    """

    lag: timedelta = declare(
        Duration(doc="standard lag tp, the excess's centre to the peak", minimum=timedelta(minutes=1))
    )
    peaking_coefficient: float = declare(Number("-", "Snyder's Cp", low=0.1, high=1.0))

    def runoff(self, excess: Array, area_acres: float, clock: Clock) -> Runoff:
        """Snyder direct runoff on the run's step."""
        direct = snyder_uh(
            excess, clock.dt, unit_volume(area_acres), area_acres / ACRES_PER_SQ_MILE, self.lag,
            self.peaking_coefficient, *SNYDER_US,
        )
        return Runoff(floats(direct), 0.0)
