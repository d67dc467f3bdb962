"""Command line: run a basin file on a rain record, calibrate it against a gauge, list the methods.

Every mistake a user can make ends as one line on stderr and an exit status:
2 for bad input (arguments, files, values), 1 for a run that failed, 130 for
Ctrl-C. Output paths are checked before any work, so a long calibration never
ends in a file that cannot be written.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import inspect
import os
import re
import sys
import warnings
from collections.abc import Callable, Sequence
from datetime import timedelta
from pathlib import Path
from typing import Any, NoReturn

import pandas as pd

from ._calibrate import Calibration, CalibrationInterrupted, Workers, calibrate
from ._clock import Precipitation, seconds
from ._elements import Basin
from ._files import BasinFileError, load, parse_duration
from ._params import numeric_path
from ._registry import listing
from ._objectives import OBJECTIVES
from ._run import BasinRun, RunError, Score
from ._units import ACCOUNT, FLOW

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


def rain_for(frame: pd.DataFrame, basin: Basin, where: str) -> Precipitation:
    """The rain table as the basin takes it: columns mapped to subbasins by their headers."""
    names = list(basin.subbasins)
    columns = [str(c) for c in frame.columns]
    if len(columns) == 1 and columns[0] not in names:
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


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of the usage block: the usage is a --help away.
        self.exit(BAD_INPUT, f"{self.prog}: error: {message} (see --help)\n")


_RAIN_HELP = (
    "rain per interval, inches (millimetres for an SI basin): a timestamp column (start of each interval), then either ONE "
    "column (headed with anything but a subbasin name, e.g. rain) that falls on every "
    "subbasin, or one column per subbasin headed with its name (a subbasin without a column "
    "is an error; so is a column named after one subbasin when there are others)"
)


def _argparser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="python -m basinkit_model",
        description="Run or calibrate a basin described in a TOML basin file. Rain in inches per "
        "interval, flows in cfs, volumes in acre-feet; for a basin file with units = \"si\": millimetres, "
        "m^3/s and cubic metres. Exit status: 0 done, 2 bad input, 1 failed "
        "run, 130 interrupted.",
    )
    sub = p.add_subparsers(dest="command", required=True)

    def common(q: argparse.ArgumentParser, rain_required: bool) -> None:
        q.add_argument("basin", metavar="BASIN.toml", help="basin file")
        q.add_argument(
            "--precip", metavar="RAIN.csv", required=rain_required,
            help=_RAIN_HELP + (" (required)" if rain_required else " (default: none)"),
        )
        q.add_argument(
            "--extend", metavar="DURATION", type=_duration_option, default=None,
            help="dry time added after the rain, e.g. 72h (default: none)",
        )
        q.add_argument(
            "--dayfirst", action="store_true",
            help="read dates such as 01/02/2024 as 1 February (default: month-first, 2 January; "
            "dates that only read the other way are refused)",
        )

    run = sub.add_parser("run", help="run one event and print peaks, volume account and score")
    common(run, True)
    run.add_argument("--observed", metavar="GAUGE.csv", help="observed flow, cfs or m^3/s as the basin (default: none)")
    run.add_argument(
        "--at", metavar="NAME",
        help="element scored against --observed (default: the only outlet; needed with --observed "
        "when the basin has several)",
    )
    run.add_argument("--out", metavar="FLOWS.csv", help="write every element's flow, cfs or m^3/s as the basin (default: not written)")
    run.add_argument("--plot", metavar="FIG.png", help="draw the flows, needs matplotlib (default: no figure)")

    cal = sub.add_parser("calibrate", help="fit parameters by differential evolution")
    common(cal, False)
    cal.add_argument(
        "--observed", metavar="GAUGE.csv",
        help="observed flow, cfs, for the rain of --precip (default: none; give --precip and "
        "--observed or --event)",
    )
    cal.add_argument(
        "--event", metavar=("RAIN.csv", "GAUGE.csv"), nargs=2, action="append", default=None,
        help="one event: its rain (columns as for --precip) and its observed flow, cfs; repeat for "
        "several events calibrated at once (default: none)",
    )
    cal.add_argument("--at", metavar="NAME", help="element compared with the gauge (default: the only outlet)")
    cal.add_argument(
        "--param", metavar="PATH=LOW:HIGH", action="append", required=True,
        help="a parameter and its bounds, e.g. upper.transform.tc=2h:10h or "
        "upper.loss.rate_in_per_hr=0.02:0.4 (durations for durations, numbers otherwise; repeat "
        "for more; at least one)",
    )
    cal.add_argument(
        "--objective", choices=OBJECTIVES, default="kge",
        help="what to fit: kge or nse (maximised), rmse (cfs), peak_weighted_rmse (cfs; each squared "
        "error weighted by (obs + mean obs) / (2 mean obs), so flows above the mean count more), "
        "pbias (its absolute value, %%); with several events their mean (default: kge)",
    )
    defaults = _DEFAULTS
    cal.add_argument("--seed", type=int, default=1, help="seed of the optimiser (default: 1)")
    cal.add_argument(
        "--maxiter", type=int, default=defaults["maxiter"],
        help=f"most generations (default: {defaults['maxiter']})",
    )
    cal.add_argument(
        "--popsize", type=int, default=defaults["popsize"],
        help=f"population per parameter (default: {defaults['popsize']})",
    )
    cal.add_argument(
        "--no-polish", action="store_true",
        help="skip the bounded local search from the best set (default: polished)",
    )
    where = cal.add_mutually_exclusive_group()
    where.add_argument(
        "--workers", type=int, default=1,
        help="local workers: threads on a free-threaded interpreter, processes otherwise (default: 1)",
    )
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler (default: none)")
    cal.add_argument("--save", metavar="CALIBRATED.toml", help="write the calibrated basin (default: not written)")
    cal.add_argument("--no-progress", action="store_true", help="no progress bar (default: shown)")

    sub.add_parser(
        "methods", help="list every method by role with its fields, units, bounds and whether calibratable"
    )
    return p


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


# ---------------------------------------------------------------- run


def _flow_unit(basin: Basin) -> str:
    return FLOW.name(basin.units)


def _report(run: BasinRun, observed: pd.Series | None, at: str | None) -> list[str]:
    flows = run.flows
    unit = _flow_unit(run.basin)
    lines = [f"peak flows ({unit}):"]
    width = max(len(n) for n in flows.columns)
    for name in flows.columns:
        column = flows[name]
        lines.append(f"  {name:<{width}}  {column.max():10.1f} {unit}  at {column.idxmax()}")
    lines.append(f"volume account ({ACCOUNT.name(run.basin.units)}):")
    table = run.balance.copy()
    lines.extend("  " + line for line in table.to_string(float_format=lambda v: f"{v:.6g}").splitlines())
    if observed is not None and at is not None:
        s = run.score(observed, at)
        lines.append(
            f"score at {at}: KGE {s.kge:.4f} (r {s.r:.4f}, beta {s.beta:.4f}, gamma {s.gamma:.4f}), "
            f"NSE {s.nse:.4f}, RMSE {s.rmse:.2f} {unit}; {s.count} pairs, {s.skipped} NaN skipped"
        )
    return lines


def _plot(run: BasinRun, observed: pd.Series | None, at: str | None, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 4.5))
    for name in run.flows.columns:
        ax.plot(run.flows.index, run.flows[name], label=name)
    if observed is not None:
        ax.plot(observed.index, observed.to_numpy(), "k.", ms=3, label=f"observed ({at})")
    ax.set_ylabel(f"discharge ({_flow_unit(run.basin)})")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    fig.autofmt_xdate()
    fig.tight_layout()
    _writing("--plot", path, lambda p: fig.savefig(p, dpi=150))
    print(f"plot written to {path}")


def _run(args: argparse.Namespace) -> int:
    inputs = [("the basin file", args.basin), ("--precip", args.precip)]
    if args.observed:
        inputs.append(("--observed", args.observed))
    check_outputs(inputs, [("--out", args.out), ("--plot", args.plot)])
    if args.plot:
        _needs_matplotlib("--plot")
    basin = _load(args.basin)
    precip = rain_for(read_csv(args.precip, "--precip", args.dayfirst, even=True), basin, f"--precip {args.precip}")
    observed = gauge(args.observed, "--observed", args.dayfirst) if args.observed else None
    # Only a score needs an element to compare.
    at = _target(basin, args.at) if observed is not None or args.at is not None else None
    run = basin.run(precip, extend=args.extend)
    if args.out:
        # Written first: nothing after the run may lose the flows.
        flows = run.flows
        # The columns stay the elements' names; the time column's header carries the unit.
        label = f"time (flows in {_flow_unit(basin)})"
        _writing("--out", args.out, lambda p: flows.to_csv(p, index_label=label))
        print(f"flows written to {args.out}")
    print("\n".join(_report(run, observed, at)))
    if args.plot:
        _plot(run, observed, at, args.plot)
    return 0


# ---------------------------------------------------------------- calibrate


def _parse_param(basin: Basin, text: str) -> tuple[str, tuple[Any, Any]]:
    path, eq, bounds = text.partition("=")
    lo, colon, hi = bounds.partition(":")
    if not eq or not colon:
        raise Stop(f"--param {text}: write PATH=LOW:HIGH, e.g. upper.transform.tc=2h:10h")
    try:
        what = numeric_path(basin, path)
        conv: Callable[[str], Any] = duration if what == "duration" else float
        return path, (conv(lo), conv(hi))
    except (ValueError, TypeError) as exc:
        raise Stop(f"--param {text}: {_one_line(exc)}") from None


class _Bar:
    def __init__(self, enabled: bool) -> None:
        self.bar: Any = None
        self.enabled = enabled
        self.done = 0

    def __call__(self, done: int, most: int) -> None:
        self.done = done
        if not self.enabled:
            return
        if self.bar is None:
            try:
                tqdm: Any = importlib.import_module("tqdm").tqdm
            except ImportError:
                self.bar = False
            else:
                self.bar = tqdm(total=most, unit="run", file=sys.stderr)
        if self.bar is False:
            print(f"\r{done} of at most {most} runs", end="", file=sys.stderr, flush=True)
        else:
            self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is False:
            print(file=sys.stderr)
        elif self.bar is not None:
            self.bar.close()
        self.bar = None


def _shown(value: float | timedelta | None) -> str:
    if value is None:
        return "-"
    return f"{seconds(value) / 3600.0:.6g} h" if isinstance(value, timedelta) else f"{value:.6g}"


_UNITS = {"rmse": "cfs", "peak_weighted_rmse": "cfs", "pbias": "% (absolute)"}  # an SI basin's flows: m^3/s
_DEFAULTS = {k: v.default for k, v in inspect.signature(calibrate).parameters.items()}
_REASONS = {
    "converged": f"converged (every parameter's spread in the population is at most {_DEFAULTS['xtol']:.3g} of its range)",
    "stalled": f"stalled (no better set for {_DEFAULTS['patience']} generations)",
    "maxiter": "reached --maxiter generations",
    "interrupted": "interrupted",
}
# Rows of the side-by-side table: label with its unit, how to show a Score's value.
_STATISTICS: list[tuple[str, Callable[[Score], str]]] = [
    ("KGE", lambda s: f"{s.kge:.4f}"),
    ("NSE", lambda s: f"{s.nse:.4f}"),
    ("PBIAS (%)", lambda s: f"{s.pbias:.2f}"),
    ("RSR", lambda s: f"{s.rsr:.4f}"),
    ("RMSE ({flow})", lambda s: f"{s.rmse:.2f}"),
    ("peak error (%)", lambda s: f"{s.peak_error_pct:.2f}"),
    ("volume error (%)", lambda s: f"{s.volume_error_pct:.2f}"),
    ("peak-time error (h)", lambda s: "-" if s.peak_time_error is None else f"{seconds(s.peak_time_error) / 3600.0:+.6g}"),
    ("Moriasi rating", lambda s: s.rating),
]


def _side_by_side(start: Score | None, best: Score, flow: str = "cfs") -> list[str]:
    rows = [
        (label.format(flow=flow), "-" if start is None else show(start), show(best)) for label, show in _STATISTICS
    ]
    return [f"  {label:<20} {a:>14} {b:>14}" for label, a, b in rows]


def _objective(name: str, value: float, flow: str = "cfs") -> str:
    unit = _UNITS.get(name)
    if unit == "cfs":
        unit = flow
    return f"{name} {value:.6g}" + (f" {unit}" if unit else "")


def _events(args: argparse.Namespace) -> list[tuple[str, str, str]]:
    """(rain, gauge, how the user named them) of every event."""
    if args.event:
        if args.precip or args.observed:
            raise Stop("give --precip and --observed for one event or --event for each event, not both")
        return [(rain, obs, "--event") for rain, obs in args.event]
    if not args.precip or not args.observed:
        raise Stop("give --precip RAIN.csv and --observed GAUGE.csv, or --event RAIN.csv GAUGE.csv (repeatable)")
    return [(args.precip, args.observed, "")]


def _calibrate(args: argparse.Namespace) -> int:
    named = _events(args)
    inputs = [("the basin file", args.basin)]
    for rain, obs, option in named:
        inputs += [(option or "--precip", rain), (option or "--observed", obs)]
    check_outputs(inputs, [("--save", args.save)])
    if args.scheduler and importlib.util.find_spec("dask") is None:
        raise Stop("--scheduler needs Dask: python -m pip install 'dask[distributed]' (in a basinkit "
                   "checkout: python -m pip install '.[ensemble]')")
    basin = _load(args.basin)
    events = [
        (
            rain_for(read_csv(rain, option or "--precip", args.dayfirst, even=True), basin, f"{option or '--precip'} {rain}"),
            gauge(obs, option or "--observed", args.dayfirst),
        )
        for rain, obs, option in named
    ]
    at = _target(basin, args.at)
    parameters = dict(_parse_param(basin, t) for t in args.param)
    workers: Workers = args.workers
    client = None
    if args.scheduler:
        Client: Any = importlib.import_module("dask.distributed").Client
        try:
            client = Client(args.scheduler)
        except (OSError, TimeoutError, ValueError) as exc:
            raise Stop(f"--scheduler {args.scheduler}: {_one_line(exc)}") from None
        workers = client
    settings: dict[str, Any] = dict(
        objective=args.objective, seed=args.seed, maxiter=args.maxiter, popsize=args.popsize,
        polish=not args.no_polish, workers=workers, extend=args.extend,
    )
    bar = _Bar(not args.no_progress)
    try:
        if len(events) == 1:
            result = calibrate(basin, *events[0], at, parameters, progress=bar, **settings)
        else:
            result = calibrate(basin, events=events, at=at, parameters=parameters, progress=bar, **settings)
    except CalibrationInterrupted as exc:
        bar.close()
        _interrupted(exc.calibration, args)
    finally:
        bar.close()
        if client is not None:
            client.close()
    start = result.start
    shown_start = f" (start {start.score:.6g})" if start is not None else ""
    print(f"calibrated {len(parameters)} parameters in {result.evaluations} runs ({result.failed} failed): "
          f"{_objective(args.objective, result.score, _flow_unit(basin))}{shown_start}")
    print(f"stopped: {_REASONS.get(result.stop_reason, result.stop_reason)}")
    for path, value in result.values.items():
        was = f" (start {_shown(start.values.get(path))})" if start is not None else ""
        print(f"  {path} = {_shown(value)}{was}")
    best_events = result.events or [result.components]
    for i, ((rain, obs, _), best) in enumerate(zip(named, best_events)):
        before = start.events[i] if start is not None and i < len(start.events) else None
        title = f"event {i + 1} ({rain}, {obs})" if len(named) > 1 else "statistics"
        print(f"{title} at {at}, {best.count} pairs, {best.skipped} NaN skipped:")
        print(f"  {'':<20} {'start':>14} {'best':>14}")
        print("\n".join(_side_by_side(before, best, _flow_unit(basin))))
    if args.save:
        save = result.basin.save
        _writing("--save", args.save, lambda p: save(p))
        print(f"calibrated basin written to {args.save}")
    return 0


def _interrupted(best: Calibration | None, args: argparse.Namespace) -> NoReturn:
    """Ctrl-C: one line with the runs done and the best so far, which --save keeps."""
    if best is None:
        raise Stop("interrupted before any run finished; nothing saved", INTERRUPTED)
    values = ", ".join(f"{p} = {_shown(v)}" for p, v in best.values.items())
    runs = f"{best.evaluations} run" + ("s" if best.evaluations != 1 else "")
    line = f"interrupted after {runs}: best {_objective(args.objective, best.score, _flow_unit(best.basin))} ({values})"
    if args.save:
        save = best.basin.save
        _writing("--save", args.save, lambda p: save(p))
        line += f"; best basin so far written to {args.save}"
    raise Stop(line, INTERRUPTED)


# ---------------------------------------------------------------- entry


def _say(message: str) -> None:
    try:
        print(message, file=sys.stderr, flush=True)
    except OSError:
        pass  # stderr gone too: nothing left to tell


def _quiet_stdout() -> None:
    # The reader of stdout has gone (`run ... | head`): send what is still
    # buffered nowhere, so that the interpreter's exit does not complain.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def _main(argv: Sequence[str] | None) -> int:
    args = _argparser().parse_args(argv)
    if args.command == "methods":
        print(listing())
        return 0
    if args.command == "run":
        return _run(args)
    return _calibrate(args)


def _warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
             file: Any = None, line: str | None = None) -> None:
    # The layer speaks to Python callers; here its `extend=` is an option.
    _say(f"warning: {_one_line(Exception(message))}".replace("pass extend=", "pass --extend"))


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``python -m basinkit_model``; returns the exit status."""
    with warnings.catch_warnings():
        # A warning is one line too, without the source line that raised it.
        warnings.showwarning = _warning
        return _guarded(argv)


def _guarded(argv: Sequence[str] | None) -> int:
    try:
        code = _main(argv)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return code
    except Stop as exc:
        _say(f"error: {exc}" if exc.code != INTERRUPTED else str(exc))
        return exc.code
    except BrokenPipeError:
        _quiet_stdout()
        return 141  # as a shell reports a writer stopped by SIGPIPE
    except RunError as exc:
        _say(f"error: run failed: {_one_line(exc)}")
        return RUN_FAILED
    except MemoryError as exc:
        _say(f"error: out of memory ({_one_line(exc)})")
        return RUN_FAILED
    except RecursionError:
        _say("error: input nested too deeply (the interpreter's recursion limit)")
        return BAD_INPUT
    except (ValueError, TypeError, OverflowError, LookupError) as exc:
        _say(f"error: {_one_line(exc)}")
        return BAD_INPUT
    except OSError as exc:
        _say(f"error: {_one_line(exc)}")
        return RUN_FAILED
    except KeyboardInterrupt:
        _say("interrupted")
        return INTERRUPTED
