"""Methods as declared objects: their fields, their roles, and what is derived from them.

A method (a loss, a transform, a baseflow layer, a routing, an outlet kind, a
reservoir method) is one frozen dataclass whose fields are declared with
`declare(Field, ...)`, registered under its role by class keywords::

    @dataclass(frozen=True)
    class Fraction(Loss, tag="fraction"):
        part: float = declare(Number("-", low=0.0, high=1.0, doc="share of rain lost"))

Validation, basin files, parameter paths, calibration bounds, the command
line's listing and the docs' reference are all read from these declarations.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterator
from dataclasses import dataclass
from datetime import timedelta
from typing import Any, ClassVar

import pandas as pd

from . import _checks as chk
from ._units import SI, US, unit
from ._tomlvalues import (
    floats_from_file,
    format_duration,
    number_from_file,
    parse_duration,
    series_from_file,
    series_to_file,
)

# ---------------------------------------------------------------- field kinds


@dataclass(frozen=True)
class Field:
    """What a method's field holds: its unit, how it is checked, written, read and calibrated."""

    unit: str = "-"
    doc: str = ""
    optional: bool = False  # None allowed (and left out of files)
    calibration: ClassVar[str | None] = None  # "number" or "duration" when a calibration may vary it

    def check(self, value: object, where: str) -> Any:
        """The value normalised, or FieldError / FieldTypeError naming `where`."""
        raise NotImplementedError

    def to_file(self, value: Any) -> Any:
        """The value as TOML holds it."""
        return value

    def from_file(self, raw: object) -> Any:
        """The value read from TOML (ValueError saying what was expected)."""
        raise NotImplementedError

    def bounds(self) -> str:
        """The allowed values in words."""
        return "any"

    def unit_in(self, system: str) -> str:
        """The unit's name in a unit system ("us": the declared one, or "si")."""
        return unit(self.unit).name(system)

    @property
    def calibratable(self) -> bool:
        """Whether `calibrate` may vary this field."""
        return self.calibration is not None


@dataclass(frozen=True)
class Number(Field):
    """A finite float, optionally within [low, high] or above `above`."""

    low: float | None = None
    high: float | None = None
    above: float | None = None
    calibration: ClassVar[str | None] = "number"

    def check(self, value: object, where: str) -> Any:
        if self.optional and value is None:
            return None
        return chk.number(value, where, low=self.low, high=self.high, above=self.above)

    def from_file(self, raw: object) -> Any:
        return number_from_file(raw)

    def bounds(self) -> str:
        if self.above is not None:
            return f"> {self.above:g}"
        if self.low is not None and self.high is not None:
            return f"{self.low:g} to {self.high:g}"
        if self.low is not None:
            return f">= {self.low:g}"
        return "any" if self.high is None else f"<= {self.high:g}"


@dataclass(frozen=True)
class Duration(Field):
    """A `timedelta` of at least `minimum`; ISO-8601 in files."""

    unit: str = "duration"
    minimum: timedelta = timedelta(0)
    calibration: ClassVar[str | None] = "duration"

    def check(self, value: object, where: str) -> Any:
        return chk.duration(value, where, minimum=self.minimum)

    def to_file(self, value: Any) -> Any:
        return format_duration(value)

    def from_file(self, raw: object) -> Any:
        return parse_duration(raw)

    def bounds(self) -> str:
        return f">= {format_duration(self.minimum)}"


@dataclass(frozen=True)
class Count(Field):
    """An int of at least `low`."""

    unit: str = "count"
    low: int = 1
    high: int = 10_000  # each one is a pass over the whole series

    def check(self, value: object, where: str) -> Any:
        return chk.count(value, where, low=self.low, high=self.high)

    def from_file(self, raw: object) -> Any:
        if isinstance(raw, bool) or not isinstance(raw, int):
            raise ValueError(f"needs an integer, got {type(raw).__name__}")
        return raw

    def bounds(self) -> str:
        return f"{self.low} to {self.high}"


@dataclass(frozen=True)
class Numbers(Field):
    """A sequence of numbers, kept as a tuple and written as an array."""

    def to_file(self, value: Any) -> Any:
        return list(value)

    def from_file(self, raw: object) -> Any:
        return floats_from_file(raw)


@dataclass(frozen=True)
class Curve(Numbers):
    """At least two rising numbers (strictly, or only not falling)."""

    strictly: bool = True
    low: float | None = None

    def check(self, value: object, where: str) -> Any:
        return chk.curve(value, where, rising=True, strictly=self.strictly, low=self.low)

    def bounds(self) -> str:
        rising = "strictly rising" if self.strictly else "not falling"
        return rising if self.low is None else f"{rising}, >= {self.low:g}"


@dataclass(frozen=True)
class Series(Field):
    """A pandas Series on a DatetimeIndex with a value at every instant of the run."""

    def check(self, value: object, where: str) -> Any:
        return chk.clock_series(value, where)

    def to_file(self, value: Any) -> Any:
        return series_to_file(value)

    def from_file(self, raw: object) -> Any:
        return series_from_file(raw)

    def bounds(self) -> str:
        return ">= 0 at every instant"


def declare(field: Field, default: Any = dataclasses.MISSING) -> Any:
    """A dataclass field carrying its declaration."""
    return dataclasses.field(default=default, metadata={"declared": field})


# ---------------------------------------------------------------- methods and roles


@dataclass(frozen=True)
class Role:
    """A place a method fills: its key in a part's table and the method taken when it is absent."""

    name: str
    key: str  # "method" or "kind"
    default: str | None  # tag written without the key; None: the key is required
    noun: str  # "outlet kind" in messages
    title: str  # heading in listings


_ROLES: dict[str, Role] = {}
_METHODS: dict[str, dict[str, type[Method]]] = {}


class Method:
    """Base of every method; a subclass with `role=` opens a role, one with `tag=` fills it."""

    role: ClassVar[Role]
    tag: ClassVar[str]

    def __init_subclass__(
        cls,
        *,
        role: str | None = None,
        key: str = "method",
        default: str | None = None,
        noun: str = "",
        title: str = "",
        tag: str | None = None,
        **kwargs: Any,
    ) -> None:
        super().__init_subclass__(**kwargs)
        if role is not None:
            cls.role = Role(role, key, default, noun or f"{role} method", title or role)
            _ROLES[role] = cls.role
            _METHODS[role] = {}
        if tag is not None:
            if tag in _METHODS[cls.role.name]:
                raise ValueError(f"{cls.role.noun} {tag!r} is registered twice")
            cls.tag = tag
            _METHODS[cls.role.name][tag] = cls

    @classmethod
    def declared(cls) -> Iterator[tuple[str, Field, Any]]:
        """(name, declaration, default or MISSING) of every field, in order."""
        for f in dataclasses.fields(cls):  # type: ignore[arg-type]
            yield f.name, f.metadata["declared"], f.default

    def __post_init__(self) -> None:
        self._check(type(self).__name__)

    def _check(self, where: str) -> None:
        """Checks and normalises every field, then what ties fields together."""
        for name, field, _ in self.declared():
            at = f"{where}.{name}"
            try:
                value = field.check(getattr(self, name), at)
            except (chk.FieldError, chk.FieldTypeError) as exc:
                exc.field = name + exc.where[len(at) :]  # keeps a curve point's [i]
                raise
            object.__setattr__(self, name, value)
        self._relations(where)

    def _relations(self, where: str) -> None:
        """Checks that tie fields together (none by default)."""

    def values(self) -> dict[str, Any]:
        """The declared fields' values by name."""
        return {name: getattr(self, name) for name, _, _ in self.declared()}

    def series(self) -> dict[str, pd.Series]:
        """The declared series fields that hold a series."""
        return {n: getattr(self, n) for n, f, _ in self.declared() if isinstance(f, Series)}


def role_of(name: str) -> Role:
    """The role called `name`."""
    return _ROLES[name]


def roles() -> tuple[Role, ...]:
    """Every role, in the order they were opened."""
    return tuple(_ROLES.values())


def methods(role: str) -> dict[str, type[Method]]:
    """The methods of a role by tag, in the order they were registered."""
    return dict(_METHODS[role])


def alternatives(words: list[str]) -> str:
    """'a', 'a or b', 'a, b or c'."""
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " or " + words[-1]


def lookup(role: str, tag: str) -> type[Method]:
    """The method registered under `tag` (ValueError listing the others)."""
    found = _METHODS[role].get(tag)
    if found is None:
        r = _ROLES[role]
        raise ValueError(f"unknown {r.noun} {tag!r} ({alternatives(list(_METHODS[role]))})")
    return found


def require(value: object, role: str, where: str) -> Method:
    """`value` as a method of `role`, checked again against `where` (TypeError naming the classes)."""
    classes = list(_METHODS[role].values())
    if not isinstance(value, tuple(classes)):
        names = alternatives([c.__name__ for c in classes])
        raise TypeError(f"{where} must be a {names}, got {type(value).__name__}")
    assert isinstance(value, Method)
    value._check(where)
    return value


def to_table(method: Method) -> dict[str, Any]:
    """A method as its TOML table: its tag unless it is the role's default, then its set fields."""
    table: dict[str, Any] = {}
    if method.tag != method.role.default:
        table[method.role.key] = method.tag
    for name, field, _ in method.declared():
        value = getattr(method, name)
        if value is not None:
            table[name] = field.to_file(value)
    return table


# ---------------------------------------------------------------- listings


def _rows(cls: type[Method]) -> Iterator[tuple[str, str, str, str, str, str, str]]:
    for name, field, default in cls.declared():
        if default is dataclasses.MISSING:
            shown = "required"
        elif default is None:
            shown = "unset"
        else:
            shown = str(default)
        us, si = field.unit_in(US), field.unit_in(SI)
        yield name, us, si, field.bounds(), shown, "yes" if field.calibratable else "no", field.doc


def _summary(cls: type[Method]) -> str:
    return (cls.__doc__ or "").strip().splitlines()[0] if cls.__doc__ else ""


def listing() -> str:
    """Every method by role with its fields: what ``python -m basinkit_model methods`` prints."""
    lines: list[str] = ['Units: "unit" in a basin with units = "us" (the default), "si unit" in one with units = "si".']
    for role in roles():
        lines.append(f"{role.title}:")
        for tag, cls in _METHODS[role.name].items():
            lines.append(f"  {tag} ({cls.__name__}): {_summary(cls)}")
            for name, us, si, bounds, default, cal, doc in _rows(cls):
                lines.append(
                    f"    {name:<18} unit {us:<9} bounds {bounds:<24} default {default:<9} calibratable {cal:<3}"
                    f"  si unit {si:<9}  {doc}"
                )
    return "\n".join(lines)


def reference_markdown() -> str:
    """Markdown reference of every method by role, one table of fields each."""
    out = [
        "# Methods",
        "",
        'Every value is in the basin\'s unit system: `units = "us"` (the default; the "unit" column) or',
        '`units = "si"` (the "si unit" column). Durations are ISO-8601 strings or tables like `{hours = 3}` in both.',
        "",
    ]
    for role in roles():
        out += [f"## {role.title[0].upper()}{role.title[1:]}", ""]
        if role.default is not None:
            out += [f"In a basin file the table's `{role.key}` key names the method; without it, `{role.default}`.", ""]
        else:
            out += [f"In a basin file the table's `{role.key}` key names the method.", ""]
        for tag, cls in _METHODS[role.name].items():
            out += [f"### `{tag}`: `{cls.__name__}`", "", _summary(cls), ""]
            rows = list(_rows(cls))
            if not rows:
                out += ["No fields.", ""]
                continue
            out += [
                "| field | unit | bounds | default | calibratable | si unit | meaning |",
                "|---|---|---|---|---|---|---|",
            ]
            out += [f"| `{n}` | {u} | {b} | {d} | {c} | {si} | {m} |" for n, u, si, b, d, c, m in rows]
            out.append("")
    return "\n".join(out)
