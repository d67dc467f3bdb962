"""Baseflow beside the linear-reservoir layers: the recession of the total flow."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

from . import _checks as chk
from ._clock import Array, Clock, trapezoid
from ._methods import GroundwaterLayer, LayerInputs, Layers, floats
from ._native import recession as native_recession
from ._registry import Number, declare


@dataclass(frozen=True)
class Recession(GroundwaterLayer, tag="recession"):
    """Recession baseflow: the initial flow receding by k per day; after the peak, the total flow below a threshold.

    Baseflow starts at `initial_q` and is multiplied by `recession_constant`
    per day (k^(dt / 1 day) per step). After the peak of the total flow
    (direct runoff plus baseflow), from the first instant the total is below
    the threshold (`ratio_to_peak` times the peak, or `threshold_q`: exactly
    one), the total flow itself recedes at that rate. It takes no part of the
    loss and must be a subbasin's only layer; the balance counts what it adds
    as groundwater given up.
    """

    initial_q: float = declare(Number("cfs", "baseflow at the start", low=0.0))
    recession_constant: float = declare(Number("-", "ratio of the flow to that one day earlier", above=0.0, high=1.0))
    ratio_to_peak: float | None = declare(
        Number("-", "threshold as a share of the peak total flow", optional=True, above=0.0, high=1.0), None
    )
    threshold_q: float | None = declare(Number("cfs", "threshold as a flow", optional=True, low=0.0), None)

    fraction = 0.0  # takes none of the loss

    def _relations(self, where: str) -> None:
        if (self.ratio_to_peak is None) == (self.threshold_q is None):
            raise chk.FieldError(
                f"{where}.ratio_to_peak", "needs exactly one of ratio_to_peak and threshold_q", "ratio_to_peak"
            )

    @classmethod
    def run_layers(cls, layers: Mapping[str, GroundwaterLayer], given: LayerInputs) -> Layers:
        if len(layers) != 1 or not isinstance(only := next(iter(layers.values())), Recession):
            raise TypeError("a Recession baseflow must be its subbasin's only baseflow layer")
        name = next(iter(layers))
        direct, clock = given.direct, given.clock
        flow, _ = native_recession(
            direct, clock.dt, only.initial_q, only.recession_constant, only.ratio_to_peak, only.threshold_q
        )
        base = floats(flow)
        # What it adds, integrated as the account integrates the outflow, is groundwater given up.
        return Layers(base, {name: base.copy()}, 0.0, -trapezoid(base, clock.seconds))

