"""The parts of a basin: model settings, elements, and the basin that links them."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from datetime import timedelta
from typing import TYPE_CHECKING, Any, Union

import pandas as pd

from . import _checks as chk

if TYPE_CHECKING:
    from ._run import BasinRun, Precipitation

_ONE_SECOND = timedelta(seconds=1)


def _set(obj: object, name: str, value: object) -> None:
    object.__setattr__(obj, name, value)


# ---------------------------------------------------------------- model settings


@dataclass(frozen=True)
class DeficitConstant:
    """Deficit-and-constant loss: deficits in inches, loss rate in in/h, drying time."""

    initial_deficit: float
    max_deficit: float
    rate_in_per_hr: float
    time_to_dry: timedelta

    def __post_init__(self) -> None:
        self._check("DeficitConstant")

    def _check(self, where: str) -> None:
        _set(self, "initial_deficit", chk.number(self.initial_deficit, f"{where}.initial_deficit", low=0.0))
        _set(self, "max_deficit", chk.number(self.max_deficit, f"{where}.max_deficit", low=0.0))
        if self.initial_deficit > self.max_deficit:
            raise ValueError(
                f"{where}.initial_deficit {self.initial_deficit} exceeds max_deficit {self.max_deficit}"
            )
        _set(self, "rate_in_per_hr", chk.number(self.rate_in_per_hr, f"{where}.rate_in_per_hr", low=0.0))
        _set(self, "time_to_dry", chk.duration(self.time_to_dry, f"{where}.time_to_dry", minimum=_ONE_SECOND))


@dataclass(frozen=True)
class Clark:
    """Clark unit hydrograph: time of concentration and storage coefficient R."""

    tc: timedelta
    storage_r: timedelta

    def __post_init__(self) -> None:
        self._check("Clark")

    def _check(self, where: str) -> None:
        _set(self, "tc", chk.duration(self.tc, f"{where}.tc"))
        _set(self, "storage_r", chk.duration(self.storage_r, f"{where}.storage_r"))


@dataclass(frozen=True)
class Baseflow:
    """One groundwater layer: K of the whole chain, fraction of the loss, starting cfs, reservoirs."""

    k: timedelta
    fraction: float
    initial_q: float
    reservoirs: int = 1

    def __post_init__(self) -> None:
        self._check("Baseflow")

    def _check(self, where: str) -> None:
        _set(self, "k", chk.duration(self.k, f"{where}.k", minimum=_ONE_SECOND))
        _set(self, "fraction", chk.number(self.fraction, f"{where}.fraction", low=0.0, high=1.0))
        _set(self, "initial_q", chk.number(self.initial_q, f"{where}.initial_q", low=0.0))
        _set(self, "reservoirs", chk.count(self.reservoirs, f"{where}.reservoirs"))


@dataclass(frozen=True)
class Muskingum:
    """Muskingum routing: K of the whole reach, weighting x in [0, 0.5], sub-reaches.

    `initial_outflow` (cfs) is the reach's outflow at the start; `None` takes
    its inflow's first value.
    """

    k: timedelta
    x: float
    sub_reaches: int = 1
    initial_outflow: float | None = None

    def __post_init__(self) -> None:
        self._check("Muskingum")

    def _check(self, where: str) -> None:
        _set(self, "k", chk.duration(self.k, f"{where}.k"))
        _set(self, "x", chk.number(self.x, f"{where}.x", low=0.0, high=0.5))
        _set(self, "sub_reaches", chk.count(self.sub_reaches, f"{where}.sub_reaches"))
        if self.initial_outflow is not None:
            _set(self, "initial_outflow", chk.number(self.initial_outflow, f"{where}.initial_outflow", low=0.0))


# ---------------------------------------------------------------- reservoir outlets


@dataclass(frozen=True)
class Spillway:
    """Uncontrolled spillway: discharge (cfs) against elevation (ft), read at elevation + offset."""

    elevations: tuple[float, ...]
    discharges: tuple[float, ...]
    offset: float | None = None

    def __post_init__(self) -> None:
        self._check("Spillway")

    def _check(self, where: str) -> None:
        _rating(self, where)
        _set(self, "offset", chk.optional_number(self.offset, f"{where}.offset"))


@dataclass(frozen=True)
class Gate:
    """Gated outlet on a rating curve, shut outside [minimum, maximum] elevation, capped release."""

    elevations: tuple[float, ...]
    discharges: tuple[float, ...]
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None
    maximum_release: float | None = None

    def __post_init__(self) -> None:
        self._check("Gate")

    def _check(self, where: str) -> None:
        _rating(self, where)
        _gates(self, where)
        _set(self, "maximum_release", chk.optional_number(self.maximum_release, f"{where}.maximum_release"))


@dataclass(frozen=True)
class ConstantRelease:
    """A fixed release (cfs), shut outside [minimum, maximum] elevation."""

    q: float
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None

    def __post_init__(self) -> None:
        self._check("ConstantRelease")

    def _check(self, where: str) -> None:
        _set(self, "q", chk.number(self.q, f"{where}.q", low=0.0))
        _gates(self, where)


@dataclass(frozen=True, eq=False)
class ReleaseSchedule:
    """A prescribed release (cfs) as a pandas Series on the run's instants.

    The series must hold a value at every instant of the simulation window;
    other rows are ignored. A present `maximum_release` caps it.
    """

    flow: pd.Series
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None
    maximum_release: float | None = None

    def __post_init__(self) -> None:
        self._check("ReleaseSchedule")

    def _check(self, where: str) -> None:
        _set(self, "flow", chk.clock_series(self.flow, f"{where}.flow"))
        _gates(self, where)
        _set(self, "maximum_release", chk.optional_number(self.maximum_release, f"{where}.maximum_release"))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ReleaseSchedule):
            return NotImplemented
        return chk.same_series(self.flow, other.flow) and (
            self.minimum_elevation,
            self.maximum_elevation,
            self.maximum_release,
        ) == (other.minimum_elevation, other.maximum_elevation, other.maximum_release)

    __hash__ = None  # type: ignore[assignment]


Outlet = Union[Spillway, Gate, ConstantRelease, ReleaseSchedule]
"""Any reservoir outlet."""


def _rating(obj: Spillway | Gate, where: str) -> None:
    e = chk.curve(obj.elevations, f"{where}.elevations", rising=True, strictly=True)
    q = chk.curve(obj.discharges, f"{where}.discharges", rising=True, strictly=False)
    if len(e) != len(q):
        raise ValueError(f"{where}: elevations has {len(e)} points but discharges has {len(q)}")
    _set(obj, "elevations", e)
    _set(obj, "discharges", q)


def _gates(obj: Gate | ConstantRelease | ReleaseSchedule, where: str) -> None:
    low = chk.optional_number(obj.minimum_elevation, f"{where}.minimum_elevation")
    high = chk.optional_number(obj.maximum_elevation, f"{where}.maximum_elevation")
    if low is not None and high is not None and low > high:
        raise ValueError(f"{where}.minimum_elevation {low} is above maximum_elevation {high}")
    _set(obj, "minimum_elevation", low)
    _set(obj, "maximum_elevation", high)


# ---------------------------------------------------------------- elements


@dataclass(frozen=True)
class Subbasin:
    """A drainage area (acres): rain -> loss -> Clark direct runoff, loss -> baseflow layers.

    Its outflow is direct runoff plus the baseflow of every layer (cfs).
    """

    name: str
    area_acres: float
    loss: DeficitConstant
    transform: Clark
    baseflow: Mapping[str, Baseflow] | None = None
    downstream: str | None = None

    def __post_init__(self) -> None:
        where = _head(self, "subbasin")
        _set(self, "area_acres", chk.number(self.area_acres, f"{where}area_acres", above=0.0))
        _part(self.loss, DeficitConstant, f"{where}loss")
        _part(self.transform, Clark, f"{where}transform")
        if self.baseflow is not None:
            if not isinstance(self.baseflow, Mapping):
                raise TypeError(f"{where}baseflow must be a dict of layer name -> Baseflow or None")
            layers = {}
            for layer, settings in self.baseflow.items():
                chk.text(layer, f"{where}baseflow layer name")
                _part(settings, Baseflow, f"{where}baseflow.{layer}")
                layers[layer] = settings
            total = sum(b.fraction for b in layers.values())
            if total > 1.0:
                raise ValueError(f"{where}baseflow fractions add up to {total}, more than 1")
            _set(self, "baseflow", layers)
        _downstream(self, where)


@dataclass(frozen=True)
class Reach:
    """A channel reach routed by Muskingum; its inflow is the sum of the elements above it."""

    name: str
    routing: Muskingum
    downstream: str | None = None

    def __post_init__(self) -> None:
        where = _head(self, "reach")
        _part(self.routing, Muskingum, f"{where}routing")
        _downstream(self, where)


@dataclass(frozen=True)
class Reservoir:
    """A reservoir: elevation (ft) against storage (ft^3), named outlets, start elevation.

    `method` picks the routing: "level_pool" (one-second explicit steps) or
    "storage_indication" (one implicit step per interval of the run's clock).
    """

    name: str
    elevations: tuple[float, ...]
    storages: tuple[float, ...]
    outlets: Mapping[str, Outlet]
    initial_elevation: float
    downstream: str | None = None
    method: str = "level_pool"

    def __post_init__(self) -> None:
        where = _head(self, "reservoir")
        if self.method not in RESERVOIR_METHODS:
            raise ValueError(
                f"{where}method must be 'level_pool' or 'storage_indication', got {self.method!r}"
            )
        e = chk.curve(self.elevations, f"{where}elevations", rising=True, strictly=True)
        s = chk.curve(self.storages, f"{where}storages", rising=True, strictly=True)
        if len(e) != len(s):
            raise ValueError(f"{where}elevations has {len(e)} points but storages has {len(s)}")
        _set(self, "elevations", e)
        _set(self, "storages", s)
        if not isinstance(self.outlets, Mapping):
            raise TypeError(f"{where}outlets must be a dict of outlet name -> outlet")
        outlets: dict[str, Outlet] = {}
        for name, outlet in self.outlets.items():
            chk.text(name, f"{where}outlet name")
            if not isinstance(outlet, (Spillway, Gate, ConstantRelease, ReleaseSchedule)):
                raise TypeError(
                    f"{where}outlets.{name} must be a Spillway, Gate, ConstantRelease or "
                    f"ReleaseSchedule, got {type(outlet).__name__}"
                )
            outlet._check(f"{where}outlets.{name}")
            outlets[name] = outlet
        _set(self, "outlets", outlets)
        start = chk.number(self.initial_elevation, f"{where}initial_elevation")
        if not e[0] <= start <= e[-1]:
            raise ValueError(
                f"{where}initial_elevation {start} is outside the storage curve ({e[0]} to {e[-1]})"
            )
        _set(self, "initial_elevation", start)
        _downstream(self, where)


RESERVOIR_METHODS = ("level_pool", "storage_indication")


@dataclass(frozen=True)
class Junction:
    """A confluence: its outflow is the sum of its inflows."""

    name: str
    downstream: str | None = None

    def __post_init__(self) -> None:
        _downstream(self, _head(self, "junction"))


@dataclass(frozen=True, eq=False)
class Source:
    """An observed inflow (cfs) as a pandas Series holding a value at every instant of the run."""

    name: str
    flow: pd.Series
    downstream: str | None = None

    def __post_init__(self) -> None:
        where = _head(self, "source")
        _set(self, "flow", chk.clock_series(self.flow, f"{where}flow"))
        _downstream(self, where)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Source):
            return NotImplemented
        return (self.name, self.downstream) == (other.name, other.downstream) and chk.same_series(
            self.flow, other.flow
        )

    __hash__ = None  # type: ignore[assignment]


Element = Union[Subbasin, Reach, Reservoir, Junction, Source]
"""Any element of a basin."""

KINDS: dict[type, str] = {
    Subbasin: "subbasin",
    Reach: "reach",
    Reservoir: "reservoir",
    Junction: "junction",
    Source: "source",
}


def kind(element: Element) -> str:
    """The element's kind as a word: subbasin, reach, reservoir, junction or source."""
    return KINDS[type(element)]


def _head(element: Element, word: str) -> str:
    name = chk.text(element.name, f"{word} name")
    return f"{word} '{name}': "


def _part(value: object, cls: type, where: str) -> None:
    if not isinstance(value, cls):
        raise TypeError(f"{where} must be a {cls.__name__}, got {type(value).__name__}")
    check: Any = getattr(value, "_check")
    check(where)


def _downstream(element: Element, where: str) -> None:
    if element.downstream is not None:
        chk.text(element.downstream, f"{where}downstream")
        if element.downstream == element.name:
            raise ValueError(f"{where}downstream names the element itself")


# ---------------------------------------------------------------- the basin


@dataclass(frozen=True, eq=False)
class Basin:
    """Elements linked by `downstream` names into a tree that drains to one or more outlets.

    Names are unique, every `downstream` names an element, nothing flows into a
    subbasin or a source, every reach, reservoir and junction has an inflow, and
    the links hold no cycle.
    """

    elements: tuple[Element, ...]

    def __post_init__(self) -> None:
        if isinstance(self.elements, (str, bytes)) or not isinstance(self.elements, Iterable):
            raise TypeError("Basin: elements must be a sequence of elements")
        elements = tuple(self.elements)
        if not elements:
            raise ValueError("Basin: needs at least one element")
        by_name: dict[str, Element] = {}
        for e in elements:
            if type(e) not in KINDS:
                raise TypeError(
                    "Basin: elements must be Subbasin, Reach, Reservoir, Junction or Source, "
                    f"got {type(e).__name__}"
                )
            if e.name in by_name:
                raise ValueError(f"Basin: two elements are named '{e.name}'")
            by_name[e.name] = e
        upstream: dict[str, list[str]] = {e.name: [] for e in elements}
        for e in elements:
            if e.downstream is None:
                continue
            target = by_name.get(e.downstream)
            if target is None:
                raise ValueError(
                    f"{kind(e)} '{e.name}': downstream names '{e.downstream}', which is not an element"
                )
            if isinstance(target, (Subbasin, Source)):
                raise ValueError(
                    f"{kind(e)} '{e.name}': downstream names {kind(target)} '{target.name}', "
                    "which takes no inflow"
                )
            upstream[target.name].append(e.name)
        _no_cycle(elements, by_name)
        for e in elements:
            if isinstance(e, (Reach, Reservoir, Junction)) and not upstream[e.name]:
                raise ValueError(f"{kind(e)} '{e.name}': no element flows into it")
        _set(self, "elements", elements)
        _set(self, "_by_name", by_name)
        _set(self, "_upstream", {k: tuple(v) for k, v in upstream.items()})
        _set(self, "_order", _topological(elements, self._upstream))

    _by_name: dict[str, Element] = dataclasses.field(init=False, repr=False)
    _upstream: dict[str, tuple[str, ...]] = dataclasses.field(init=False, repr=False)
    _order: tuple[str, ...] = dataclasses.field(init=False, repr=False)
    _columns: pd.Index | None = dataclasses.field(init=False, repr=False, default=None)

    def _column_index(self) -> pd.Index:
        # Built on first use and kept: a pandas Index of names is slow to make.
        if self._columns is None:
            _set(self, "_columns", pd.Index(self.names))
        assert self._columns is not None
        return self._columns

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Basin):
            return NotImplemented
        return self.elements == other.elements

    __hash__ = None  # type: ignore[assignment]

    @property
    def names(self) -> tuple[str, ...]:
        """Element names in the order given."""
        return tuple(e.name for e in self.elements)

    @property
    def outlets(self) -> tuple[str, ...]:
        """Names of the elements that drain nowhere (`downstream` is None)."""
        return tuple(e.name for e in self.elements if e.downstream is None)

    @property
    def subbasins(self) -> tuple[str, ...]:
        """Names of the subbasins, in the order given."""
        return tuple(e.name for e in self.elements if isinstance(e, Subbasin))

    def element(self, name: str) -> Element:
        """The element called `name` (KeyError naming it if there is none)."""
        try:
            return self._by_name[name]
        except KeyError:
            raise KeyError(f"no element named {name!r}; elements: {', '.join(self.names)}") from None

    def upstream(self, name: str) -> tuple[str, ...]:
        """Names of the elements whose `downstream` is `name`, in the order given."""
        self.element(name)
        return self._upstream[name]

    def order(self) -> tuple[str, ...]:
        """Element names in computation order: every element after all elements above it."""
        return self._order

    def run(self, precipitation: Precipitation, *, extend: timedelta | None = None) -> BasinRun:
        """Runs one event; see `basinkit_model.BasinRun` for what comes back."""
        from ._run import run_basin

        return run_basin(self, precipitation, extend=extend)

    def to_toml(self) -> str:
        """The basin as TOML text (what `save` writes)."""
        from ._files import dumps

        return dumps(self)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the basin to a TOML file that `basinkit_model.load` reads back to an equal basin."""
        from ._files import save

        save(self, path)

    def get(self, path: str) -> Any:
        """The value at a parameter path such as ``"upper.transform.tc"``."""
        from ._params import get_path

        return get_path(self, path)

    def with_values(self, values: Mapping[str, Any]) -> Basin:
        """A new basin with the values at the given parameter paths replaced (validated again)."""
        from ._params import set_paths

        return set_paths(self, values)


def _no_cycle(elements: tuple[Element, ...], by_name: Mapping[str, Element]) -> None:
    done: set[str] = set()
    for e in elements:
        path: list[str] = []
        seen: set[str] = set()
        name: str | None = e.name
        while name is not None and name not in done:
            if name in seen:
                cycle = path[path.index(name) :] + [name]
                raise ValueError("Basin: the downstream links form a cycle: " + " -> ".join(cycle))
            seen.add(name)
            path.append(name)
            name = by_name[name].downstream
        done.update(path)


def _topological(elements: tuple[Element, ...], upstream: Mapping[str, tuple[str, ...]]) -> tuple[str, ...]:
    order: list[str] = []
    placed: set[str] = set()
    waiting = [e.name for e in elements]
    while waiting:
        # Each sweep places, in the order given, every element whose inflows are all placed;
        # without cycles every sweep places at least one.
        ready = [n for n in waiting if all(u in placed for u in upstream[n])]
        order.extend(ready)
        placed.update(ready)
        waiting = [n for n in waiting if n not in placed]
    return tuple(order)
