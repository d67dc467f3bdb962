"""Command line inputs and outputs: durations, CSV tables on their timestamps, rain columns by
subbasin, output paths checked before any work, and the one-line stop with its exit status."""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import os
import re
import warnings
from collections.abc import Callable, Sequence
from datetime import timedelta
from pathlib import Path

import pandas as pd

from ._clock import Precipitation
from ._elements import Basin
from ._files import BasinFileError, load, parse_duration
from ._units import DEPTH, FLOW

_UNIT = {"d": "days", "h": "hours", "min": "minutes", "m": "minutes", "s": "seconds"}
_PIECE = re.compile(r"(\d+(?:\.\d+)?)(d|h|min|m|s)")

BAD_INPUT, RUN_FAILED, INTERRUPTED = 2, 1, 130


class Stop(Exception):
    """Ends the command with one line on stderr and exit status `code`."""

    def __init__(self, message: str, code: int = BAD_INPUT) -> None:
        super().__init__(message)
        self.code = code


def duration(text: str) -> timedelta:
    """'2h', '90min', '1h30min', '45s', '1d' or an ISO-8601 duration."""
    t = text.strip().lower()
    try:
        if t.startswith("p"):
            return parse_duration(t)
        pieces = _PIECE.findall(t)
        if not pieces or "".join(n + u for n, u in pieces) != t:
            raise ValueError(f"{text!r} is not a duration such as 2h, 90min, 1h30min, 45s or PT3H")
        return sum((timedelta(**{_UNIT[u]: float(n)}) for n, u in pieces), timedelta(0))
    except OverflowError:
        raise ValueError(f"{text!r} is too long for a duration (at most 999999999 days)") from None


def _duration_option(text: str) -> timedelta:
    # argparse shows an ArgumentTypeError's own words; a ValueError only as "invalid value".
    try:
        return duration(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip() or type(exc).__name__
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


# ---------------------------------------------------------------- CSV files


def _parse_dates(text: pd.Index, dayfirst: bool) -> tuple[pd.DatetimeIndex | None, str]:
    """The index read month- or day-first, or None; and pandas' word when it read the other order."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            idx = pd.DatetimeIndex(pd.to_datetime(text, dayfirst=dayfirst))
        except (ValueError, TypeError, OverflowError):
            return None, ""
    # pandas reads a column whose first date only makes sense the other way round
    # in that order, and says so only in a warning.
    swapped = next((str(w.message) for w in caught if "dayfirst" in str(w.message)), "")
    return idx, swapped


def _even(idx: pd.DatetimeIndex) -> bool:
    if len(idx) < 2:
        return True
    steps = idx.asi8[1:] - idx.asi8[:-1]
    return bool((steps > 0).all() and (steps == steps[0]).all())


def _dates(raw: pd.Index, where: str, dayfirst: bool, *, even: bool) -> pd.DatetimeIndex:
    """The first column as timestamps, refusing a reading that only the other date order explains."""
    text = raw.astype(str)
    order, other = ("day-first", "month-first") if dayfirst else ("month-first", "day-first")
    switch = "without --dayfirst" if dayfirst else "with --dayfirst"
    idx, swapped = _parse_dates(text, dayfirst)
    if idx is None:
        alt, _ = _parse_dates(text, not dayfirst)
        if alt is not None:
            raise Stop(f"{where}: its dates do not read {order} but do read {other}: run it {switch}")
        try:
            pd.to_datetime(text, dayfirst=dayfirst)
        except (ValueError, TypeError, OverflowError) as exc:
            raise Stop(f"{where}: the first column must hold timestamps ({_one_line(exc)})") from None
    assert idx is not None
    if swapped:
        raise Stop(
            f"{where}: dates such as {text[0]!r} read only {other}: run it {switch} "
            "(or write dates as YYYY-MM-DD)"
        )
    # Dates that read both ways (no day above 12) give themselves away when one
    # order makes an even, increasing record and the other does not.
    wanted = _even if even else (lambda i: bool(i.is_monotonic_increasing))
    if not wanted(idx):
        alt, _ = _parse_dates(text, not dayfirst)
        if alt is not None and wanted(alt):
            shape = "evenly spaced and increasing" if even else "increasing"
            raise Stop(f"{where}: its dates are {shape} only when read {other}: run it {switch}")
    return idx


def read_csv(path: str, what: str, dayfirst: bool = False, *, even: bool = False) -> pd.DataFrame:
    """A CSV of a timestamp column and value columns, as a DataFrame on its timestamps."""
    where = f"{what} {path}"
    try:
        frame = pd.read_csv(path, index_col=0)
    except FileNotFoundError:
        raise Stop(f"{where}: no such file") from None
    except IsADirectoryError:
        raise Stop(f"{where}: is a directory") from None
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise Stop(f"{where}: {_one_line(exc)}") from None
    if frame.shape[1] == 0:
        raise Stop(f"{where}: needs a value column after the timestamps")
    frame.index = _dates(frame.index, where, dayfirst, even=even)
    return frame


# A unit at the end of a header: "rain_mm", "rain (in)", "depth [mm]".
_HEADER_UNIT = re.compile(r"(?:^|[\s_(\[])(in|inch|inches|mm)[)\]]?\s*$", re.IGNORECASE)


_SPELT = {"in": "inches", "mm": "millimetres"}


def _same_depth_unit(header: str, basin: Basin, where: str) -> None:
    """Refuses rain whose header names the other unit system's depth."""
    m = _HEADER_UNIT.search(header)
    if m is None:
        return
    named = "mm" if m.group(1).lower() == "mm" else "in"
    wanted = DEPTH.name(basin.units)
    if named != wanted:
        raise Stop(
            f"{where}: its column {header!r} holds rain in {_SPELT[named]}, but the basin works in {_SPELT[wanted]} "
            f"(units = {basin.units!r}); convert the rain, or head the column without a unit"
        )


def rain_for(frame: pd.DataFrame, basin: Basin, where: str) -> Precipitation:
    """The rain table as the basin takes it: columns mapped to subbasins by their headers."""
    names = list(basin.subbasins)
    columns = [str(c) for c in frame.columns]
    if len(columns) == 1 and columns[0] not in names:
        _same_depth_unit(columns[0], basin, where)
        return frame.iloc[:, 0]  # one column headed otherwise: the same rain everywhere
    unknown = [c for c in columns if c not in names]
    if unknown:
        raise Stop(
            f"{where}: columns {', '.join(map(repr, unknown))} name no subbasin (subbasins: "
            f"{', '.join(names)}); with several columns every header must be a subbasin's name"
        )
    missing = [n for n in names if n not in columns]
    if missing:
        raise Stop(
            f"{where}: no rain column for subbasin{'s' if len(missing) > 1 else ''} {', '.join(missing)} "
            "(give every subbasin a column named after it, or one column headed e.g. 'rain' "
            "for the same rain on all)"
        )
    out = frame.copy()
    out.columns = pd.Index(columns)
    return out[names]


def gauge(path: str, what: str, dayfirst: bool) -> pd.Series:
    """An observed flow record: timestamps and exactly one value column."""
    frame = read_csv(path, what, dayfirst)
    if frame.shape[1] != 1:
        raise Stop(f"{what} {path}: needs exactly one value column, has {frame.shape[1]}")
    return frame.iloc[:, 0]


# ---------------------------------------------------------------- paths


def check_outputs(inputs: Sequence[tuple[str, str]], outputs: Sequence[tuple[str, str | None]]) -> None:
    """Refuses, before any work, an output that is an input, a directory or cannot be written."""
    taken: list[tuple[Path, str]] = [(Path(p).resolve(), f"{o} {p}") for o, p in inputs]
    for option, path in outputs:
        if path is None:
            continue
        where = f"{option} {path}"
        target = Path(path).resolve()
        for other, name in taken:
            same = target == other or (target.exists() and other.exists() and os.path.samefile(target, other))
            if same:
                raise Stop(f"{where}: is also {name}; write it elsewhere")
        if target.is_dir():
            raise Stop(f"{where}: is a directory")
        folder = target.parent
        while not folder.exists():
            folder = folder.parent
        if not folder.is_dir():
            raise Stop(f"{where}: {folder} is not a directory")
        if not os.access(folder, os.W_OK | os.X_OK) or (target.exists() and not os.access(target, os.W_OK)):
            raise Stop(f"{where}: not writable")
        taken.append((target, where))


def _writing(option: str, path: str, write: Callable[[Path], None]) -> None:
    target = Path(path)
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        write(target)
    except OSError as exc:
        raise Stop(f"{option} {path}: {exc.strerror or _one_line(exc)}", RUN_FAILED) from None


def _needs_matplotlib(option: str) -> None:
    if importlib.util.find_spec("matplotlib") is None:
        raise Stop(
            f"{option} needs matplotlib: python -m pip install matplotlib "
            "(in a basinkit checkout: python -m pip install '.[plot]')"
        )


# ---------------------------------------------------------------- arguments


def _target(basin: Basin, at: str | None) -> str:
    if at is not None:
        if at not in basin.names:
            raise Stop(f"--at {at}: no such element; elements: {', '.join(basin.names)}")
        return at
    if len(basin.outlets) != 1:
        raise Stop(f"--at is needed: the basin has {len(basin.outlets)} outlets ({', '.join(basin.outlets)})")
    return basin.outlets[0]


def _load(path: str) -> Basin:
    try:
        return load(path)
    except FileNotFoundError:
        raise Stop(f"{path}: no such basin file") from None
    except (OSError, BasinFileError, ValueError, TypeError, OverflowError) as exc:
        raise Stop(_one_line(exc)) from None
    except RecursionError:
        raise Stop(f"{path}: nested too deeply to read") from None


def _flow_unit(basin: Basin) -> str:
    return FLOW.name(basin.units)
