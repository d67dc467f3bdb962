"""The elements of a basin (each holding its methods) and the basin that links them."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from datetime import timedelta
from typing import TYPE_CHECKING, Any, Union

import pandas as pd

from . import _checks as chk
from ._methods import GroundwaterLayer, Loss, Routing, Transform
from ._registry import alternatives, methods, require
from ._reservoirs import ConstantRelease, Gate, ReleaseSchedule, Spillway
from ._units import basin_to_us, check_system

if TYPE_CHECKING:
    from ._clock import Precipitation
    from ._run import BasinRun

Outlet = Union[Spillway, Gate, ConstantRelease, ReleaseSchedule]
"""Any reservoir outlet."""


def _set(obj: object, name: str, value: object) -> None:
    object.__setattr__(obj, name, value)


# ---------------------------------------------------------------- elements


@dataclass(frozen=True)
class Subbasin:
    """A drainage area (acres; km^2 in an SI basin): rain -> loss -> transform, loss -> baseflow layers.

    Its outflow is direct runoff plus the baseflow of every layer (cfs; m^3/s in an SI basin).
    """

    name: str
    area_acres: float
    loss: Loss
    transform: Transform
    baseflow: Mapping[str, GroundwaterLayer] | None = None
    downstream: str | None = None

    def __post_init__(self) -> None:
        where = _head(self, "subbasin")
        _set(self, "area_acres", chk.number(self.area_acres, f"{where}area_acres", above=0.0))
        require(self.loss, "loss", f"{where}loss")
        require(self.transform, "transform", f"{where}transform")
        if self.baseflow is not None:
            if not isinstance(self.baseflow, Mapping):
                raise TypeError(f"{where}baseflow must be a dict of layer name -> Baseflow or None")
            layers = {}
            for layer, settings in self.baseflow.items():
                chk.text(layer, f"{where}baseflow layer name")
                require(settings, "baseflow", f"{where}baseflow.{layer}")
                layers[layer] = settings
            total = sum(b.fraction for b in layers.values())
            if total > 1.0:
                raise ValueError(f"{where}baseflow fractions add up to {total}, more than 1")
            _set(self, "baseflow", layers)
        _downstream(self, where)

    def _series(self) -> tuple[tuple[str, str, pd.Series], ...]:
        return ()


@dataclass(frozen=True)
class Reach:
    """A channel reach routed by Muskingum; its inflow is the sum of the elements above it."""

    name: str
    routing: Routing
    downstream: str | None = None

    def __post_init__(self) -> None:
        where = _head(self, "reach")
        require(self.routing, "routing", f"{where}routing")
        _downstream(self, where)

    def _series(self) -> tuple[tuple[str, str, pd.Series], ...]:
        return ()


@dataclass(frozen=True)
class Reservoir:
    """A reservoir: elevation (ft; m in an SI basin) against storage (ft^3; m^3), named outlets, start elevation.

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
        tags = methods("reservoir method")
        if self.method not in tags:
            quoted = alternatives([repr(t) for t in tags])
            raise ValueError(f"{where}method must be {quoted}, got {self.method!r}")
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
            require(outlet, "outlet", f"{where}outlets.{name}")
            outlets[name] = outlet
        _set(self, "outlets", outlets)
        start = chk.number(self.initial_elevation, f"{where}initial_elevation")
        if not e[0] <= start <= e[-1]:
            raise ValueError(
                f"{where}initial_elevation {start} is outside the storage curve ({e[0]} to {e[-1]})"
            )
        _set(self, "initial_elevation", start)
        _downstream(self, where)

    def _series(self) -> tuple[tuple[str, str, pd.Series], ...]:
        return tuple(
            (f"{self.name}.outlets.{o}.{field}", f"reservoir '{self.name}': outlets.{o}.{field}", s)
            for o, outlet in self.outlets.items()
            for field, s in outlet.series().items()
        )


@dataclass(frozen=True)
class Junction:
    """A confluence: its outflow is the sum of its inflows."""

    name: str
    downstream: str | None = None

    def __post_init__(self) -> None:
        _downstream(self, _head(self, "junction"))

    def _series(self) -> tuple[tuple[str, str, pd.Series], ...]:
        return ()


@dataclass(frozen=True, eq=False)
class Source:
    """An observed inflow (cfs; m^3/s in an SI basin) as a pandas Series holding a value at every instant of the run."""

    name: str
    flow: pd.Series
    downstream: str | None = None

    def __post_init__(self) -> None:
        where = _head(self, "source")
        _set(self, "flow", chk.clock_series(self.flow, f"{where}flow"))
        _downstream(self, where)

    def _series(self) -> tuple[tuple[str, str, pd.Series], ...]:
        return ((f"{self.name}.flow", "flow", self.flow),)

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

    `units` is the system every value is given and returned in: "us" (inches,
    acres, cfs, feet, cubic feet; `area_acres` in acres) or "si" (millimetres,
    square kilometres, m^3/s, metres, cubic metres; `area_acres` in km^2).
    Durations are `timedelta` in both.
    """

    elements: tuple[Element, ...]
    units: str = "us"

    def __post_init__(self) -> None:
        _set(self, "units", check_system(self.units, "Basin: units"))
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
    _in_us: Basin | None = dataclasses.field(init=False, repr=False, default=None)

    def _us(self) -> Basin:
        # What the models run: the basin itself, or its values converted from SI, made once.
        if self.units == "us":
            return self
        if self._in_us is None:
            _set(self, "_in_us", basin_to_us(self))
        assert self._in_us is not None
        return self._in_us

    def _column_index(self) -> pd.Index:
        # Built on first use and kept: a pandas Index of names is slow to make.
        if self._columns is None:
            _set(self, "_columns", pd.Index(self.names))
        assert self._columns is not None
        return self._columns

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Basin):
            return NotImplemented
        return self.units == other.units and self.elements == other.elements

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

    def in_units(self, units: str) -> Basin:
        """The same basin with every value converted into `units` ("us" or "si") by the exact factors.

        A run of the converted basin gives the same results, converted.
        """
        from ._units import basin_in

        return basin_in(self, units)

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
    # Element by element, in the order given, every element whose inflows are all placed
    # in earlier sweeps is placed: a sweep is a depth (1 + the deepest inflow's), and the
    # order is by depth, then as given. Depths are found by Kahn's algorithm.
    names = [e.name for e in elements]
    down = {e.name: e.downstream for e in elements}
    waiting = {n: len(upstream[n]) for n in names}
    depth = dict.fromkeys(names, 0)
    ready = [n for n in names if not waiting[n]]
    while ready:
        n = ready.pop()
        d = down[n]
        if d is not None:
            depth[d] = max(depth[d], depth[n] + 1)
            waiting[d] -= 1
            if not waiting[d]:
                ready.append(d)
    sweeps: list[list[str]] = [[] for _ in range(max(depth.values()) + 1)]
    for n in names:
        sweeps[depth[n]].append(n)
    return tuple(n for sweep in sweeps for n in sweep)
