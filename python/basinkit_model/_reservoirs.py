"""Reservoir outlets and reservoir routing methods."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from . import _checks as chk
from ._clock import Array, Clock
from ._methods import floats
from ._native import level_pool, storage_indication
from ._registry import Curve, Method, Number, Series, declare

if TYPE_CHECKING:
    from ._elements import Reservoir

_ELEVATION_DOC = "shut below this elevation (unset: never)"
_CEILING_DOC = "shut above this elevation (unset: never)"
_CAP_DOC = "largest release (unset: none)"


class OutletKind(Method, role="outlet", key="kind", noun="outlet kind", title="reservoir outlet"):
    """A reservoir outlet; its table's `kind` names it."""

    def native(self, series: Mapping[str, Array], dt: int) -> tuple[object, ...]:
        """The outlet as the private extension reads it; `series` holds its series on the clock."""
        raise NotImplementedError


@dataclass(frozen=True)
class Spillway(OutletKind, tag="spillway"):
    """Uncontrolled spillway: discharge (cfs) against elevation (ft), read at elevation + offset."""

    elevations: tuple[float, ...] = declare(Curve("ft", "rating curve elevations"))
    discharges: tuple[float, ...] = declare(Curve("cfs", "rating curve discharges", strictly=False, low=0.0))
    offset: float | None = declare(Number("ft", "added to the pool elevation (unset: 0)", optional=True), None)

    def _relations(self, where: str) -> None:
        _rating(self.elevations, self.discharges, where)

    def native(self, series: Mapping[str, Array], dt: int) -> tuple[object, ...]:
        """The outlet's tuple for the private extension."""
        return ("spillway", self.elevations, self.discharges, self.offset)


@dataclass(frozen=True)
class Gate(OutletKind, tag="gate"):
    """Gated outlet on a rating curve, shut outside [minimum, maximum] elevation, capped release."""

    elevations: tuple[float, ...] = declare(Curve("ft", "rating curve elevations"))
    discharges: tuple[float, ...] = declare(Curve("cfs", "rating curve discharges", strictly=False, low=0.0))
    minimum_elevation: float | None = declare(Number("ft", _ELEVATION_DOC, optional=True), None)
    maximum_elevation: float | None = declare(Number("ft", _CEILING_DOC, optional=True), None)
    maximum_release: float | None = declare(Number("cfs", _CAP_DOC, optional=True, low=0.0), None)

    def _relations(self, where: str) -> None:
        _rating(self.elevations, self.discharges, where)
        _gates(self.minimum_elevation, self.maximum_elevation, where)

    def native(self, series: Mapping[str, Array], dt: int) -> tuple[object, ...]:
        """The outlet's tuple for the private extension."""
        return (
            "gate",
            self.elevations,
            self.discharges,
            self.minimum_elevation,
            self.maximum_elevation,
            self.maximum_release,
        )


@dataclass(frozen=True)
class ConstantRelease(OutletKind, tag="constant"):
    """A fixed release (cfs), shut outside [minimum, maximum] elevation."""

    q: float = declare(Number("cfs", "the release", low=0.0))
    minimum_elevation: float | None = declare(Number("ft", _ELEVATION_DOC, optional=True), None)
    maximum_elevation: float | None = declare(Number("ft", _CEILING_DOC, optional=True), None)

    def _relations(self, where: str) -> None:
        _gates(self.minimum_elevation, self.maximum_elevation, where)

    def native(self, series: Mapping[str, Array], dt: int) -> tuple[object, ...]:
        """The outlet's tuple for the private extension."""
        return ("constant", self.q, self.minimum_elevation, self.maximum_elevation)


@dataclass(frozen=True, eq=False)
class ReleaseSchedule(OutletKind, tag="schedule"):
    """A prescribed release (cfs) as a pandas Series on the run's instants.

    The series must hold a value at every instant of the simulation window;
    other rows are ignored. A present `maximum_release` caps it.
    """

    flow: pd.Series = declare(Series("cfs", "release at every instant of the run"))
    minimum_elevation: float | None = declare(Number("ft", _ELEVATION_DOC, optional=True), None)
    maximum_elevation: float | None = declare(Number("ft", _CEILING_DOC, optional=True), None)
    maximum_release: float | None = declare(Number("cfs", _CAP_DOC, optional=True, low=0.0), None)

    def _relations(self, where: str) -> None:
        _gates(self.minimum_elevation, self.maximum_elevation, where)

    def native(self, series: Mapping[str, Array], dt: int) -> tuple[object, ...]:
        """The outlet's tuple for the private extension."""
        return (
            "schedule",
            series["flow"],
            dt,
            self.minimum_elevation,
            self.maximum_elevation,
            self.maximum_release,
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ReleaseSchedule):
            return NotImplemented
        return chk.same_series(self.flow, other.flow) and (
            self.minimum_elevation,
            self.maximum_elevation,
            self.maximum_release,
        ) == (other.minimum_elevation, other.maximum_elevation, other.maximum_release)

    __hash__ = None  # type: ignore[assignment]


def _rating(e: tuple[float, ...], q: tuple[float, ...], where: str) -> None:
    if len(e) != len(q):
        raise chk.FieldError(f"{where}:", f"elevations has {len(e)} points but discharges has {len(q)}")


def _gates(low: float | None, high: float | None, where: str) -> None:
    if low is not None and high is not None and low > high:
        raise chk.FieldError(
            f"{where}.minimum_elevation", f"{low} is above maximum_elevation {high}", "minimum_elevation"
        )


# ---------------------------------------------------------------- routing through the pool


@dataclass
class Pooled:
    """A reservoir's series on the window's instants and the volume (ft^3) its outlets released."""

    storage: Array
    elevation: Array
    outflow: Array
    outlets: dict[str, Array]
    released: float | None  # None: the outflow is a straight line between instants


# Each outlet's series by name, then by field, on the run's clock.
OutletSeries = Mapping[str, Mapping[str, Array]]


class ReservoirMethod(Method, role="reservoir method", default="level_pool", title="reservoir method"):
    """How a reservoir routes its inflow; `Reservoir(method=...)` names it."""

    def route(self, e: Reservoir, inflow: Array, series: OutletSeries, clock: Clock) -> Pooled:
        """Routes `inflow` (cfs on the clock) through `e`; `series` holds each outlet's series."""
        raise NotImplementedError


def _native_outlets(
    e: Reservoir, series: OutletSeries, dt: int, pad: bool
) -> dict[str, tuple[object, ...]]:
    out: dict[str, tuple[object, ...]] = {}
    for name, o in e.outlets.items():
        own = series.get(name, {})
        out[name] = o.native({k: _padded(v) if pad else v for k, v in own.items()}, dt)
    return out


def _padded(values: Array) -> Array:
    # Level pool routing starts at its first step: repeating the first value puts
    # its results on the instants 0, dt, ... of the unpadded series.
    return np.concatenate((values[:1], values))


def _failure(exc: ValueError, e: Reservoir, clock: Clock, padded: bool) -> ValueError:
    """The extension's refusal with its place: the instant, the value reached, the table's end.

    The private extension puts `at_seconds`, `quantity`, `value` and `outlet` on
    the exception when it knows them (None otherwise).
    """
    at = getattr(exc, "at_seconds", None)
    quantity = getattr(exc, "quantity", None)
    value = getattr(exc, "value", None)
    outlet = getattr(exc, "outlet", None)
    if at is None:
        return exc
    # Level pool routes a padded series: its first step is the clock's start.
    offset = float(at) - (clock.seconds if padded else 0.0)
    when = clock.start + pd.Timedelta(seconds=max(offset, 0.0))
    said = str(exc).rstrip(".")
    if outlet is not None and outlet in e.outlets:
        o = e.outlets[outlet]
        ends: tuple[float, ...] | None = getattr(o, "elevations", None)
        shift: float | None = getattr(o, "offset", None)
        if ends and value is not None and quantity == "elevation":
            top = f"{ends[-1]:g} ft" if not shift else f"{ends[-1]:g} ft (read at the pool + {shift:g} ft)"
            where = "below its start" if value < ends[0] else "beyond its end"
            place = f"outlet '{outlet}': the pool reached {value:.3f} ft at {when}, {where}: its rating runs {ends[0]:g} to {top}"
        else:
            place = f"outlet '{outlet}' failed at {when}"
        return ValueError(f"{place} ({said})")
    if quantity == "storage" and value is not None:
        if value > e.storages[-1]:
            place = (
                f"overtopped at {when}: storage {value:.1f} ft^3 above the top of its curve "
                f"({e.storages[-1]:.1f} ft^3 at {e.elevations[-1]:g} ft)"
            )
        else:
            place = (
                f"emptied at {when}: storage {value:.1f} ft^3 below the bottom of its curve "
                f"({e.storages[0]:.1f} ft^3 at {e.elevations[0]:g} ft)"
            )
        return ValueError(f"{place} ({said})")
    if quantity == "elevation" and value is not None:
        word = "overtopped" if value > e.elevations[-1] else "below its curve"
        place = f"{word} at {when}: elevation {value:.3f} ft outside its curve ({e.elevations[0]:g} to {e.elevations[-1]:g} ft)"
        return ValueError(f"{place} ({said})")
    return ValueError(f"failed at {when} ({said})")


def _routed(
    call: Callable[..., tuple[Any, ...]],
    e: Reservoir,
    inflow: Array,
    series: OutletSeries,
    clock: Clock,
    padded: bool,
) -> Pooled:
    # The native `call` on the reservoir's tables; a failure names its place.
    try:
        storage, elevation, total, per, *released = call(
            _padded(inflow) if padded else inflow, clock.dt, e.initial_elevation, e.elevations, e.storages,
            _native_outlets(e, series, clock.dt, pad=padded),
        )
    except ValueError as exc:
        raise _failure(exc, e, clock, padded=padded) from exc
    per_outlet = {n: floats(per[n]) for n in e.outlets}
    return Pooled(floats(storage), floats(elevation), floats(total), per_outlet, released[0] if released else None)


@dataclass(frozen=True)
class LevelPool(ReservoirMethod, tag="level_pool"):
    """Level pool routing: explicit one-second steps, recorded at the clock's instants."""

    def route(self, e: Reservoir, inflow: Array, series: OutletSeries, clock: Clock) -> Pooled:
        return _routed(level_pool, e, inflow, series, clock, padded=True)


@dataclass(frozen=True)
class StorageIndication(ReservoirMethod, tag="storage_indication"):
    """Storage indication: one implicit step per interval of the run's clock."""

    def route(self, e: Reservoir, inflow: Array, series: OutletSeries, clock: Clock) -> Pooled:
        # Already on the inflow's clock from time 0: no padding.
        return _routed(storage_indication, e, inflow, series, clock, padded=False)
