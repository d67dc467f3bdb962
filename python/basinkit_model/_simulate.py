"""The simulation: every element in computation order, its methods driven on the clock's arrays."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Union

import numpy as np

from ._checks import RunError
from ._clock import Array, Clock, Inputs, window
from ._elements import Basin, Element, Junction, Reach, Reservoir, Source, Subbasin, kind
from ._methods import LayerInputs, Layers, Runoff
from ._registry import lookup
from ._reservoirs import ReservoirMethod


@dataclass
class SubbasinResult:
    """Rain, its split, the loss method's state, direct runoff (whole), baseflow and outflow."""

    rain: Array
    excess: Array
    loss: Array
    state: dict[str, Array]  # on the window's instants
    runoff: Runoff
    layers: Layers | None
    outflow: Array

    def columns(self, n: int) -> dict[str, Array]:
        """The element's details, `n` instants long."""
        pad = np.full(1, np.nan)
        out = {
            "rain": np.concatenate((self.rain, pad)),
            "excess": np.concatenate((self.excess, pad)),
            "loss": np.concatenate((self.loss, pad)),
            **self.state,
            "direct_runoff": window(self.runoff.direct, n),
        }
        if self.layers is not None:
            out.update({f"baseflow:{k}": v for k, v in self.layers.each.items()})
        out["outflow"] = self.outflow
        return out


@dataclass
class ReachResult:
    """Inflow, outflow and the channel's storage change (flow unit x s)."""

    inflow: Array
    outflow: Array
    storage_change: float

    def columns(self, n: int) -> dict[str, Array]:
        """The element's details."""
        return {"inflow": self.inflow, "outflow": self.outflow}


@dataclass
class ReservoirResult:
    """Inflow, pool storage and elevation, outflow, each outlet's flow and the released volume."""

    inflow: Array
    storage: Array
    elevation: Array
    outlets: dict[str, Array]
    outflow: Array
    released: float | None  # ft^3; None: the outflow is a straight line between instants

    def columns(self, n: int) -> dict[str, Array]:
        """The element's details."""
        out = {"inflow": self.inflow, "storage": self.storage, "elevation": self.elevation, "outflow": self.outflow}
        out.update({f"outlet:{k}": v for k, v in self.outlets.items()})
        return out


@dataclass
class FlowResult:
    """A junction's or a source's inflow and outflow."""

    inflow: Array
    outflow: Array

    def columns(self, n: int) -> dict[str, Array]:
        """The element's details."""
        return {"inflow": self.inflow, "outflow": self.outflow}


Result = Union[SubbasinResult, ReachResult, ReservoirResult, FlowResult]


def _subbasin(e: Subbasin, inflow: Array | None, inputs: Inputs, clock: Clock) -> Result:
    rain = inputs.rain[e.name]
    split = e.loss.split(rain, clock)
    runoff = e.transform.runoff(split.excess, e.area_acres, clock)
    # Clark value k belongs to start + k dt; what lies past the window is counted in the balance.
    outflow = window(runoff.direct, clock.window)
    layers = None
    if e.baseflow:
        first = next(iter(e.baseflow.values()))
        layers = first.run_layers(e.baseflow, LayerInputs(e.area_acres, split.loss, clock, outflow))
        outflow = outflow + layers.total
    return SubbasinResult(rain, split.excess, split.loss, split.state, runoff, layers, outflow)


def _reach(e: Reach, inflow: Array | None, inputs: Inputs, clock: Clock) -> Result:
    assert inflow is not None
    routed = e.routing.route(inflow, clock)
    return ReachResult(inflow, routed.outflow, routed.storage_change)


def _reservoir(e: Reservoir, inflow: Array | None, inputs: Inputs, clock: Clock) -> Result:
    assert inflow is not None
    series = {
        o: {field: inputs.series[f"{e.name}.outlets.{o}.{field}"] for field in outlet.series()}
        for o, outlet in e.outlets.items()
    }
    method = lookup("reservoir method", e.method)()
    assert isinstance(method, ReservoirMethod)
    pool = method.route(e, inflow, series, clock)
    return ReservoirResult(inflow, pool.storage, pool.elevation, pool.outlets, pool.outflow, pool.released)


def _junction(e: Junction, inflow: Array | None, inputs: Inputs, clock: Clock) -> Result:
    assert inflow is not None
    return FlowResult(inflow, inflow)


def _source(e: Source, inflow: Array | None, inputs: Inputs, clock: Clock) -> Result:
    flow = inputs.series[f"{e.name}.flow"]
    return FlowResult(flow, flow)


_RUN: dict[type, Callable[[Any, Array | None, Inputs, Clock], Result]] = {
    Subbasin: _subbasin,
    Reach: _reach,
    Reservoir: _reservoir,
    Junction: _junction,
    Source: _source,
}


def simulate(basin: Basin, clock: Clock, inputs: Inputs) -> dict[str, Result]:
    """Every element's result in US units, in computation order; RunError naming the element that failed.

    An SI basin runs as its US counterpart (the inputs are already in US units).
    """
    if basin.units != "us":
        try:
            return simulate(basin._us(), clock, inputs)
        except RunError as exc:
            # The models' figures are in the units they ran in: say so rather than pass them as SI.
            raise RunError(exc.element, f"{exc} (figures in US units: in, cfs, ft, ft^3)") from exc
    results: dict[str, Result] = {}
    for name in basin.order():
        e: Element = basin.element(name)
        ups = [results[u].outflow for u in basin.upstream(name)]
        inflow = None
        if ups:
            inflow = ups[0]
            for more in ups[1:]:
                inflow = inflow + more
        try:
            results[name] = _RUN[type(e)](e, inflow, inputs, clock)
        except RunError:
            raise
        except ValueError as exc:
            raise RunError(name, f"{kind(e)} '{name}': {exc}") from exc
    return results


def outflow_at(results: Mapping[str, Result], name: str) -> Array:
    """The outflow of one element on the window's instants."""
    return results[name].outflow
