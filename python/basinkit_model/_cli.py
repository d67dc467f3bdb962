"""Command line: run a basin file on a rain record, calibrate it against a gauge, list the methods."""

from __future__ import annotations

import argparse
import importlib
import re
import sys
from collections.abc import Callable, Sequence
from datetime import timedelta
from typing import Any

import pandas as pd

from ._calibrate import Workers, calibrate
from ._clock import seconds
from ._elements import Basin
from ._files import BasinFileError, load, parse_duration
from ._params import numeric_path
from ._registry import listing
from ._run import BasinRun, RunError

_UNIT = {"d": "days", "h": "hours", "min": "minutes", "m": "minutes", "s": "seconds"}
_PIECE = re.compile(r"(\d+(?:\.\d+)?)(d|h|min|m|s)")


def duration(text: str) -> timedelta:
    """'2h', '90min', '1h30min', '45s', '1d' or an ISO-8601 duration."""
    t = text.strip().lower()
    if t.startswith("p"):
        return parse_duration(t)
    pieces = _PIECE.findall(t)
    if not pieces or "".join(n + u for n, u in pieces) != t:
        raise ValueError(f"{text!r} is not a duration such as 2h, 90min, 1h30min, 45s or PT3H")
    return sum((timedelta(**{_UNIT[u]: float(n)}) for n, u in pieces), timedelta(0))


def read_csv(path: str, what: str) -> pd.Series | pd.DataFrame:
    """A CSV of a timestamp column and one value column (a Series) or several (a DataFrame)."""
    try:
        frame = pd.read_csv(path, index_col=0, parse_dates=[0])
    except (OSError, ValueError) as exc:
        raise SystemExit(f"{what} {path}: {exc}") from None
    if not isinstance(frame.index, pd.DatetimeIndex):
        raise SystemExit(f"{what} {path}: the first column must hold timestamps")
    if frame.shape[1] == 0:
        raise SystemExit(f"{what} {path}: needs a value column after the timestamps")
    if frame.shape[1] == 1:
        return frame.iloc[:, 0]
    return frame


def _argparser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m basinkit_model",
        description="Run or calibrate a basin described in a TOML basin file. Rain in inches per "
        "interval, flows in cfs, volumes in acre-feet.",
    )
    sub = p.add_subparsers(dest="command", required=True)

    def common(q: argparse.ArgumentParser) -> None:
        q.add_argument("basin", metavar="BASIN.toml", help="basin file")
        q.add_argument(
            "--precip", metavar="RAIN.csv", required=True,
            help="rain per interval, inches: a timestamp column (start of each interval) and one "
            "value column for every subbasin, or one column per subbasin named after it (required)",
        )
        q.add_argument(
            "--extend", metavar="DURATION", type=duration, default=None,
            help="dry time added after the rain, e.g. 72h (default: none)",
        )

    run = sub.add_parser("run", help="run one event and print peaks, volume account and score")
    common(run)
    run.add_argument("--observed", metavar="GAUGE.csv", help="observed flow, cfs (default: none)")
    run.add_argument("--at", metavar="NAME", help="element scored against --observed (default: the only outlet)")
    run.add_argument("--out", metavar="FLOWS.csv", help="write every element's flow, cfs (default: not written)")
    run.add_argument("--plot", metavar="FIG.png", help="draw the flows, needs matplotlib (default: no figure)")

    cal = sub.add_parser("calibrate", help="fit parameters by differential evolution")
    common(cal)
    cal.add_argument("--observed", metavar="GAUGE.csv", required=True, help="observed flow, cfs (required)")
    cal.add_argument("--at", metavar="NAME", help="element compared with the gauge (default: the only outlet)")
    cal.add_argument(
        "--param", metavar="PATH=LOW:HIGH", action="append", required=True,
        help="a parameter and its bounds, e.g. upper.transform.tc=2h:10h or "
        "upper.loss.rate_in_per_hr=0.02:0.4 (durations for durations, numbers otherwise; repeat "
        "for more; at least one)",
    )
    cal.add_argument("--objective", choices=("kge", "nse", "rmse"), default="kge", help="what to fit (default: kge)")
    cal.add_argument("--seed", type=int, default=1, help="seed of the optimiser (default: 1)")
    cal.add_argument("--maxiter", type=int, default=50, help="most generations (default: 50)")
    cal.add_argument("--popsize", type=int, default=10, help="population per parameter (default: 10)")
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
            raise SystemExit(f"--at {at}: no such element; elements: {', '.join(basin.names)}")
        return at
    if len(basin.outlets) != 1:
        raise SystemExit(f"--at is needed: the basin has {len(basin.outlets)} outlets")
    return basin.outlets[0]


def _load(path: str) -> Basin:
    try:
        return load(path)
    except (OSError, BasinFileError) as exc:
        raise SystemExit(str(exc)) from None


def _report(run: BasinRun, observed: pd.Series | None, at: str) -> list[str]:
    flows = run.flows
    lines = ["peak flows:"]
    width = max(len(n) for n in flows.columns)
    for name in flows.columns:
        column = flows[name]
        lines.append(f"  {name:<{width}}  {column.max():10.1f} cfs  at {column.idxmax()}")
    lines.append("volume account (acre-feet):")
    table = run.balance.copy()
    lines.extend("  " + line for line in table.to_string(float_format=lambda v: f"{v:.6g}").splitlines())
    if observed is not None:
        s = run.score(observed, at)
        lines.append(
            f"score at {at}: KGE {s.kge:.4f} (r {s.r:.4f}, beta {s.beta:.4f}, gamma {s.gamma:.4f}), "
            f"NSE {s.nse:.4f}, RMSE {s.rmse:.2f} cfs; {s.count} pairs, {s.skipped} NaN skipped"
        )
    return lines


def _plot(run: BasinRun, observed: pd.Series | None, at: str, path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise SystemExit("--plot needs matplotlib: python -m pip install matplotlib") from None
    fig, ax = plt.subplots(figsize=(9, 4.5))
    for name in run.flows.columns:
        ax.plot(run.flows.index, run.flows[name], label=name)
    if observed is not None:
        ax.plot(observed.index, observed.to_numpy(), "k.", ms=3, label=f"observed ({at})")
    ax.set_ylabel("discharge (cfs)")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=150)
    print(f"plot written to {path}")


def _parse_param(basin: Basin, text: str) -> tuple[str, tuple[Any, Any]]:
    path, eq, bounds = text.partition("=")
    lo, colon, hi = bounds.partition(":")
    if not eq or not colon:
        raise SystemExit(f"--param {text}: write PATH=LOW:HIGH, e.g. upper.transform.tc=2h:10h")
    try:
        what = numeric_path(basin, path)
        conv: Callable[[str], Any] = duration if what == "duration" else float
        return path, (conv(lo), conv(hi))
    except ValueError as exc:
        raise SystemExit(f"--param {text}: {exc}") from None


class _Bar:
    def __init__(self, enabled: bool) -> None:
        self.bar: Any = None
        self.enabled = enabled

    def __call__(self, done: int, most: int) -> None:
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


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``python -m basinkit_model``; returns the exit status."""
    args = _argparser().parse_args(argv)
    if args.command == "methods":
        print(listing())
        return 0
    basin = _load(args.basin)
    precip = read_csv(args.precip, "--precip")
    at = _target(basin, args.at)
    observed = None
    if args.observed:
        obs = read_csv(args.observed, "--observed")
        if not isinstance(obs, pd.Series):
            raise SystemExit(f"--observed {args.observed}: needs exactly one value column")
        observed = obs
    try:
        if args.command == "run":
            run = basin.run(precip, extend=args.extend)
            print("\n".join(_report(run, observed, at)))
            if args.out:
                run.flows.to_csv(args.out)
                print(f"flows written to {args.out}")
            if args.plot:
                _plot(run, observed, at, args.plot)
            return 0
        assert observed is not None
        parameters = dict(_parse_param(basin, t) for t in args.param)
        workers: Workers = args.workers
        client = None
        if args.scheduler:
            try:
                Client: Any = importlib.import_module("dask.distributed").Client
            except ImportError:
                raise SystemExit("--scheduler needs Dask: python -m pip install 'dask[distributed]'") from None
            client = Client(args.scheduler)
            workers = client
        bar = _Bar(not args.no_progress)
        try:
            result = calibrate(
                basin, precip, observed, at, parameters, objective=args.objective, seed=args.seed,
                maxiter=args.maxiter, popsize=args.popsize, workers=workers, extend=args.extend,
                progress=bar,
            )
        finally:
            bar.close()
            if client is not None:
                client.close()
        print(f"calibrated {len(parameters)} parameters in {result.evaluations} runs "
              f"({result.failed} failed): {args.objective} {result.score:.6g}")
        for path, value in result.values.items():
            shown = f"{seconds(value) / 3600.0:.6g} h" if isinstance(value, timedelta) else f"{value:.6g}"
            print(f"  {path} = {shown}")
        c = result.components
        print(f"KGE {c.kge:.4f} (r {c.r:.4f}, beta {c.beta:.4f}, gamma {c.gamma:.4f}), NSE {c.nse:.4f}, "
              f"RMSE {c.rmse:.2f} cfs")
        if args.save:
            result.basin.save(args.save)
            print(f"calibrated basin written to {args.save}")
        return 0
    except (RunError, ValueError, TypeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1

