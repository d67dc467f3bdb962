"""The calibrate command: parameters and events from the options, progress, the report of start
and best side by side, and Ctrl-C keeping the best so far."""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import inspect
import sys
from collections.abc import Callable
from datetime import timedelta
from typing import Any, NoReturn

from ._calibrate import Calibration, CalibrationInterrupted, Workers, calibrate
from ._cli_inputs import (
    INTERRUPTED,
    Stop,
    _flow_unit,
    _load,
    _one_line,
    _target,
    _writing,
    check_outputs,
    duration,
    gauge,
    rain_for,
    read_csv,
)
from ._clock import seconds
from ._elements import Basin
from ._params import numeric_path
from ._run import Score


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
