"""The two unit systems and the conversion at the layer's edges.

The models work in US customary units (inches, acres, cfs, feet, cubic feet).
An SI basin keeps its values in SI; a run converts it to US on the way in and
converts every result back on the way out, each by one exact factor, so an SI
run is the US run of the converted basin scaled.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np

if TYPE_CHECKING:
    from ._elements import Basin, Element
    from ._registry import Method

M = TypeVar("M", bound="Method")

US = "us"
SI = "si"
SYSTEMS = (US, SI)

# Exact by definition: the international foot and inch, the acre of 4840 square yards.
MM_PER_IN = 25.4
M_PER_FT = 0.3048
M2_PER_FT2 = 0.09290304
M3_PER_FT3 = 0.028316846592
KM2_PER_ACRE = 0.0040468564224
M3_PER_ACRE_FT = 1233.48183754752  # 43560 ft^3
M3S_PER_CFS_PER_MM_PER_IN = 0.00111483648  # (m^3/s per mm) for one (cfs per inch)


@dataclass(frozen=True)
class Unit:
    """A quantity's unit in both systems and the SI value of one US unit."""

    us: str
    si: str
    factor: float

    def name(self, system: str) -> str:
        """The unit's name in `system`."""
        return self.si if system == SI else self.us


_UNITS: dict[str, Unit] = {
    u.us: u
    for u in (
        Unit("-", "-", 1.0),
        Unit("%", "%", 1.0),
        Unit("duration", "duration", 1.0),
        Unit("count", "count", 1.0),
        Unit("in", "mm", MM_PER_IN),
        Unit("in/h", "mm/h", MM_PER_IN),
        Unit("ft", "m", M_PER_FT),
        Unit("ft/ft", "m/m", 1.0),
        Unit("ft^2", "m^2", M2_PER_FT2),
        Unit("ft^3", "m^3", M3_PER_FT3),
        Unit("cfs", "m^3/s", M3_PER_FT3),
        Unit("cfs/in", "m^3/s/mm", M3S_PER_CFS_PER_MM_PER_IN),
        Unit("acres", "km^2", KM2_PER_ACRE),
        Unit("acre-feet", "m^3", M3_PER_ACRE_FT),
        # The customary factor is quoted as 484 in either system.
        Unit("cfs h/(mi^2 in)", "cfs h/(mi^2 in)", 1.0),
    )
}

DEPTH = _UNITS["in"]
AREA = _UNITS["acres"]
FLOW = _UNITS["cfs"]
LENGTH = _UNITS["ft"]
VOLUME = _UNITS["ft^3"]
ACCOUNT = _UNITS["acre-feet"]


def unit(us: str) -> Unit:
    """The unit whose US name is `us` (KeyError for one the table does not know)."""
    try:
        return _UNITS[us]
    except KeyError:
        raise KeyError(f"unit {us!r} has no SI counterpart; known: {', '.join(_UNITS)}") from None


def check_system(value: object, where: str) -> str:
    """`value` as a unit system name (TypeError / ValueError naming `where`)."""
    if not isinstance(value, str):
        raise TypeError(f"{where} must be 'us' or 'si', got {type(value).__name__}")
    if value not in SYSTEMS:
        raise ValueError(f"{where} must be 'us' or 'si', got {value!r}")
    return value


# ---------------------------------------------------------------- basins between systems


def _convert(value: Any, by: float, into: str) -> Any:
    # Into US: divided by the SI value of one US unit; into SI: multiplied by it.
    if value is None or by == 1.0:
        return value
    if isinstance(value, tuple):
        return tuple(v / by if into == US else v * by for v in value)
    return value / by if into == US else value * by


def method_in(method: M, into: str) -> M:
    """The method with every field of a unit converted into `into` from the other system (checked again)."""
    changes = {
        name: _convert(getattr(method, name), unit(field.unit).factor, into)
        for name, field, _ in method.declared()
        if unit(field.unit).factor != 1.0 and getattr(method, name) is not None
    }
    return dataclasses.replace(method, **changes) if changes else method  # type: ignore[type-var]


def _element_in(e: Element, into: str) -> Element:
    from ._elements import Reach, Reservoir, Source, Subbasin

    if isinstance(e, Subbasin):
        layers = None if e.baseflow is None else {k: method_in(b, into) for k, b in e.baseflow.items()}
        return dataclasses.replace(
            e,
            area_acres=_convert(e.area_acres, AREA.factor, into),
            loss=method_in(e.loss, into),
            transform=method_in(e.transform, into),
            baseflow=layers,
        )
    if isinstance(e, Reach):
        return dataclasses.replace(e, routing=method_in(e.routing, into))
    if isinstance(e, Reservoir):
        return dataclasses.replace(
            e,
            elevations=_convert(e.elevations, LENGTH.factor, into),
            storages=_convert(e.storages, VOLUME.factor, into),
            outlets={k: method_in(o, into) for k, o in e.outlets.items()},
            initial_elevation=_convert(e.initial_elevation, LENGTH.factor, into),
        )
    if isinstance(e, Source):
        return dataclasses.replace(e, flow=_convert(e.flow, FLOW.factor, into))
    return e


def basin_in(basin: Basin, into: str) -> Basin:
    """The basin with its values in the system `into`: itself when it is in it already."""
    from ._elements import Basin

    into = check_system(into, "units")
    if basin.units == into:
        return basin
    return Basin(tuple(_element_in(e, into) for e in basin.elements), into)


def basin_to_us(basin: Basin) -> Basin:
    """The basin in US units, as the models run it."""
    return basin_in(basin, US)


# ---------------------------------------------------------------- results out


def factor(basin: Basin, quantity: Unit) -> float:
    """What a US result of `quantity` is multiplied by in the basin's system (1 for US)."""
    return quantity.factor if basin.units == SI else 1.0


def column_unit(column: str, reservoir: bool) -> Unit:
    """The unit of an element's detail column (see `BasinRun.element`)."""
    if reservoir:
        return VOLUME if column == "storage" else LENGTH if column == "elevation" else FLOW
    if column == "outflow" or column == "inflow" or column == "direct_runoff" or column.startswith("baseflow:"):
        return FLOW
    return DEPTH  # rain, excess, loss and the loss methods' states


def scaled(values: np.ndarray, by: float) -> np.ndarray:
    """`values` times `by`; the same array when `by` is 1 (a US basin's results untouched)."""
    return values if by == 1.0 else values * by
