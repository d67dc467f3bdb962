"""Event loss methods: NRCS curve number, initial and constant, Green-Ampt.

Each splits the rain of every interval into excess and loss in one native
call and reports its state on the window's instants. Depths in inches,
rates in inches per hour.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import _checks as chk
from ._clock import Array, Clock
from ._methods import Loss, LossSplit
from ._native import curve_number, green_ampt, initial_constant
from ._registry import Number, declare


def _array(written: bytearray) -> Array:
    """What the native side wrote, as a writable array without a copy."""
    return np.frombuffer(written, dtype=np.float64)


def _on_instants(start: float, per_step: bytearray, clock: Clock) -> Array:
    """A state at the window's instants: its value at the start, then at each interval's end."""
    state = np.empty(clock.window)
    state[0] = start
    state[1:] = np.frombuffer(per_step)
    return state


def _impervious() -> Number:
    return Number("%", "share of the area whose rain all runs off", low=0.0, high=100.0)


@dataclass(frozen=True)
class CurveNumber(Loss, tag="curve_number"):
    """NRCS curve number: runoff equation on the cumulative rain, impervious share all excess."""

    cn: float = declare(Number("-", "runoff curve number", low=1.0, high=100.0))
    initial_abstraction_ratio: float = declare(Number("-", "initial abstraction Ia as a share of S", low=0.0, high=1.0), 0.2)
    impervious_pct: float = declare(_impervious(), 0.0)

    def split(self, rain: Array, clock: Clock) -> LossSplit:
        """Excess and loss; the state is the cumulative rain."""
        excess, loss, cumulative = curve_number(rain, self.cn, self.initial_abstraction_ratio, self.impervious_pct, 1.0)
        return LossSplit(_array(excess), _array(loss), {"cumulative_rain": _on_instants(0.0, cumulative, clock)})


@dataclass(frozen=True)
class InitialConstant(Loss, tag="initial_constant"):
    """Initial and constant loss: an initial loss filled first, then a constant rate."""

    initial_loss: float = declare(Number("in", "rain lost before any excess", low=0.0))
    rate_per_hr: float = declare(Number("in/h", "constant loss once the initial loss is filled", low=0.0))
    impervious_pct: float = declare(_impervious(), 0.0)

    def split(self, rain: Array, clock: Clock) -> LossSplit:
        """Excess and loss; the state is the initial loss still unfilled."""
        excess, loss, left = initial_constant(rain, clock.dt, self.initial_loss, self.rate_per_hr, self.impervious_pct)
        return LossSplit(_array(excess), _array(loss), {"initial_loss_left": _on_instants(self.initial_loss, left, clock)})


@dataclass(frozen=True)
class GreenAmpt(Loss, tag="green_ampt"):
    """Green-Ampt infiltration with ponding found within each interval."""

    initial_content: float = declare(Number("-", "volumetric water content at the start", low=0.0, high=1.0))
    saturated_content: float = declare(Number("-", "volumetric water content when saturated", low=0.0, high=1.0))
    suction: float = declare(Number("in", "wetting-front suction head", low=0.0))
    conductivity: float = declare(Number("in/h", "saturated hydraulic conductivity", above=0.0))
    impervious_pct: float = declare(_impervious(), 0.0)

    def _relations(self, where: str) -> None:
        chk.not_above(where, self, "initial_content", "saturated_content")

    def split(self, rain: Array, clock: Clock) -> LossSplit:
        """Excess and loss; the state is the pervious area's cumulative infiltration."""
        excess, loss, infiltrated = green_ampt(
            rain,
            clock.dt,
            self.initial_content,
            self.saturated_content,
            self.suction,
            self.conductivity,
            self.impervious_pct,
        )
        return LossSplit(_array(excess), _array(loss), {"infiltrated": _on_instants(0.0, infiltrated, clock)})
