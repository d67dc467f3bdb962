"""The subbasin and reach methods: loss, transform, baseflow layers, routing.

Each takes arrays already on the run's clock, makes its native call and
returns its series with the volume terms that call computed.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import NamedTuple
from datetime import timedelta

import numpy as np

from basinkit import rainfall_loss, utils

from . import _checks as chk
from ._clock import FT3_PER_ACRE_INCH, Array, Clock, seconds
from ._native import clark, linear_reservoir, muskingum
from ._registry import Count, Duration, Method, Number, declare

_ONE_SECOND = timedelta(seconds=1)


def floats(packed: bytes) -> Array:
    """Packed native floats as a writable array.

    A result the extension hands over as its own writable buffer is used in
    place (each call makes a new one, so nothing else shares it); read-only
    bytes are copied.
    """
    values = np.frombuffer(packed)
    return values if values.flags.writeable else values.copy()


# ---------------------------------------------------------------- roles


@dataclass
class LossSplit:
    """Rain split into excess and loss per interval, with the method's state columns (window long)."""

    excess: Array
    loss: Array
    state: dict[str, Array]


class Loss(Method, role="loss", default="deficit_constant"):
    """What part of the rain is lost to the soil."""

    def split(self, rain: Array, clock: Clock) -> LossSplit:
        """Excess and loss (inches per interval) of the rain on the clock's intervals."""
        raise NotImplementedError


@dataclass
class Runoff:
    """The whole direct-runoff result (value k at start + k dt) and the recession cut off its end.

    `cut_tail` is the discharge sum (cfs per inch of excess per interval) that
    the recession would still give after the model cut it.
    """

    direct: Array
    cut_tail: float


class Transform(Method, role="transform", default="clark"):
    """How excess rain becomes direct runoff."""

    def runoff(self, excess: Array, area_acres: float, clock: Clock) -> Runoff:
        """Direct runoff (cfs) of the excess (inches per interval)."""
        raise NotImplementedError


@dataclass
class Layers:
    """Baseflow on the window's instants, total and per layer, with volumes (ft^3)."""

    total: Array
    each: dict[str, Array]
    recharge: float  # what the layers received
    storage_change: float  # what they hold more at the end


class LayerInputs(NamedTuple):
    """What a subbasin gives its baseflow layers."""

    area_acres: float
    loss: Array  # inches per interval
    clock: Clock
    direct: Array  # direct runoff (cfs) on the window's instants, for layers acting on the total flow


class GroundwaterLayer(Method, role="baseflow", default="linear_reservoir", title="baseflow layer"):
    """A groundwater layer fed by part of the loss; a subbasin's layers run in one call."""

    fraction: float  # the share of the loss it receives; every layer method declares it

    @classmethod
    def run_layers(cls, layers: Mapping[str, GroundwaterLayer], given: LayerInputs) -> Layers:
        """Every layer's baseflow (cfs) from what the subbasin gives them."""
        raise NotImplementedError


@dataclass
class Routed:
    """A reach's outflow on its inflow's instants and the water it holds more at the end."""

    outflow: Array
    storage_change: float  # flow unit x s


class Routing(Method, role="routing", default="muskingum"):
    """How a reach delays and attenuates its inflow."""

    def route(self, inflow: Array, clock: Clock) -> Routed:
        """The reach's outflow (cfs) for its inflow (cfs) on the clock's instants."""
        raise NotImplementedError

    def doubt(self, clock: Clock) -> str | None:
        """What may go wrong routing on this clock (None: nothing known)."""
        return None


# ---------------------------------------------------------------- methods


def _stable(k: float, x: float, n: int, dt: float) -> bool:
    k_seg = k / n
    return not (2.0 * k_seg * x > dt or dt > 2.0 * k_seg * (1.0 - x))



@dataclass(frozen=True)
class DeficitConstant(Loss, tag="deficit_constant"):
    """Deficit-and-constant loss: deficits in inches, loss rate in in/h, drying time."""

    initial_deficit: float = declare(Number("in", "soil deficit at the start", low=0.0))
    max_deficit: float = declare(Number("in", "deficit of dry soil", low=0.0))
    rate_in_per_hr: float = declare(Number("in/h", "constant loss once the deficit is filled", low=0.0))
    time_to_dry: timedelta = declare(Duration(doc="time for wet soil to dry out", minimum=_ONE_SECOND))

    def _relations(self, where: str) -> None:
        chk.not_above(where, self, "initial_deficit", "max_deficit")

    def split(self, rain: Array, clock: Clock) -> LossSplit:
        """Excess, loss and deficit from basinkit's deficit-and-constant model."""
        gross = utils.IncrementalTimeSeries(rain, clock.step, "rainfall")
        out = rainfall_loss.run_deficit_and_constant(
            gross, self.initial_deficit, self.max_deficit, self.rate_in_per_hr, self.time_to_dry
        )
        deficit = np.empty(clock.window)
        deficit[0] = self.initial_deficit
        deficit[1:] = np.asarray(out.deficit)
        return LossSplit(np.asarray(out.excess).copy(), np.asarray(out.loss).copy(), {"deficit": deficit})


@dataclass(frozen=True)
class Clark(Transform, tag="clark"):
    """Clark unit hydrograph: time of concentration and storage coefficient R."""

    tc: timedelta = declare(Duration(doc="time of concentration"))
    storage_r: timedelta = declare(Duration(doc="storage coefficient R"))

    def runoff(self, excess: Array, area_acres: float, clock: Clock) -> Runoff:
        """Clark direct runoff and the recession cut off its end."""
        direct, cut_tail = clark(excess, clock.dt, area_acres, self.tc, self.storage_r)
        return Runoff(floats(direct), cut_tail)


@dataclass(frozen=True)
class Baseflow(GroundwaterLayer, tag="linear_reservoir"):
    """One groundwater layer: K of the whole chain, fraction of the loss, starting cfs, reservoirs."""

    k: timedelta = declare(Duration(doc="storage constant of the whole chain", minimum=_ONE_SECOND))
    fraction: float = declare(Number("-", "share of the loss that recharges the layer", low=0.0, high=1.0))
    initial_q: float = declare(Number("cfs", "discharge at the start", low=0.0))
    reservoirs: int = declare(Count(doc="linear reservoirs in series"), 1)

    @classmethod
    def run_layers(cls, layers: Mapping[str, GroundwaterLayer], given: LayerInputs) -> Layers:
        chains = {name: b for name, b in layers.items() if isinstance(b, Baseflow)}
        if len(chains) != len(layers):
            raise TypeError("a subbasin's baseflow layers must all be Baseflow")
        area_acres, loss, clock, _ = given
        total, each, ends = linear_reservoir(
            area_acres,
            loss,
            clock.dt,
            [(name, b.k, b.fraction, b.initial_q, b.reservoirs) for name, b in chains.items()],
        )
        # Baseflow value i is the discharge at the end of interval i; the start holds initial_q.
        base = np.empty(clock.window)
        base[0] = sum(b.initial_q for b in chains.values())
        base[1:] = np.frombuffer(total)
        per: dict[str, Array] = {}
        for name, b in chains.items():
            layer = np.empty(clock.window)
            layer[0] = b.initial_q
            layer[1:] = np.frombuffer(each[name])
            per[name] = layer
        to_layers = float(loss.sum()) * area_acres * FT3_PER_ACRE_INCH
        recharge = sum(b.fraction for b in chains.values()) * to_layers
        change = sum(b.held(np.frombuffer(ends[n]), clock) - b.held(None, clock) for n, b in chains.items())
        return Layers(base, per, recharge, change)

    def held(self, states: Array | None, clock: Clock) -> float:
        """Water (ft^3) in the chain whose reservoirs discharge `states` (None: at the start).

        With inflow constant over an interval and outflow linear between
        instants, a chain holds K Q in its last reservoir and (K - dt/2) Q in
        every other.
        """
        q = [self.initial_q] * self.reservoirs if states is None else [float(s) for s in states]
        k = seconds(self.k) / self.reservoirs
        half = clock.seconds * 0.5
        return k * q[-1] + sum((k - half) * s for s in q[:-1])


@dataclass(frozen=True)
class Muskingum(Routing, tag="muskingum"):
    """Muskingum routing: K of the whole reach, weighting x in [0, 0.5], sub-reaches.

    `initial_outflow` (cfs) is the reach's outflow at the start; `None` takes
    its inflow's first value.
    """

    k: timedelta = declare(Duration(doc="travel time through the whole reach"))
    x: float = declare(Number("-", "weighting of inflow against outflow", low=0.0, high=0.5))
    sub_reaches: int = declare(Count(doc="reaches in series, each with K / sub_reaches"), 1)
    initial_outflow: float | None = declare(
        Number("cfs", "outflow at the start (unset: the first inflow)", optional=True, low=0.0), None
    )

    def doubt(self, clock: Clock) -> str | None:
        """Whether a sub-reach's coefficients can give negative outflow from non-negative inflow.

        The current inflow's weight is negative when 2 (K/n) x > dt, the previous
        outflow's when dt > 2 (K/n) (1 - x): then a dry reach can route below zero.
        """
        dt, k, x, n = clock.seconds, seconds(self.k), self.x, self.sub_reaches
        if _stable(k, x, n, dt):
            return None
        k_seg = k / n
        if 2.0 * k_seg * x > dt:
            why = f"2*(K/n)*x = {timedelta(seconds=2.0 * k_seg * x)} is longer than the {clock.step} step"
            # More sub-reaches shorten K/n: the smallest number that brings 2 (K/n) x within the step.
            m = max(n + 1, math.ceil(2.0 * k * x / dt))
            while 2.0 * (k / m) * x > dt:
                m += 1
            while m - 1 > n and not 2.0 * (k / (m - 1)) * x > dt:
                m -= 1
            if _stable(k, x, m, dt):
                fix = f"sub_reaches = {m} avoids it"
            else:
                fix = "no number of sub-reaches avoids it at this step (a shorter step or a smaller x does)"
        else:
            top = timedelta(seconds=2.0 * k_seg * (1.0 - x))
            why = f"the {clock.step} step is longer than 2*(K/n)*(1-x) = {top}"
            fewer = next((m for m in range(n - 1, 0, -1) if _stable(k, x, m, dt)), None)
            if fewer is not None:
                fix = f"sub_reaches = {fewer} avoids it"
            else:
                fix = f"no number of sub-reaches avoids it (more make it worse); a step of at most {top} does"
        return (
            f"routing.sub_reaches: Muskingum with k {self.k}, x {x:g}, sub_reaches {n} can route to negative "
            f"outflow ({why}); {fix}"
        )

    def route(self, inflow: Array, clock: Clock) -> Routed:
        """Muskingum outflow; storage change from each pass's first and last values."""
        start = float(inflow[0]) if self.initial_outflow is None else self.initial_outflow
        out, ends = muskingum(inflow, clock.dt, self.k, self.x, self.sub_reaches, start)
        outflow = floats(out)
        # Every sub-reach holds K_seg (x I + (1 - x) O); each pass starts at `start`.
        k_seg = seconds(self.k) / self.sub_reaches
        x = self.x
        change = 0.0
        i_first, i_last = float(inflow[0]), float(inflow[-1])
        for last in ends:
            change += k_seg * (x * (i_last - i_first) + (1.0 - x) * (last - start))
            i_first, i_last = start, last
        return Routed(outflow, change)
