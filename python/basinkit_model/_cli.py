"""Command line: run a basin file on a rain record, calibrate it against a gauge, list the methods.

Every mistake a user can make ends as one line on stderr and an exit status:
2 for bad input (arguments, files, values), 1 for a run that failed, 130 for
Ctrl-C. Output paths are checked before any work, so a long calibration never
ends in a file that cannot be written.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from collections.abc import Sequence
from typing import Any, NoReturn

import pandas as pd

from ._cli_calibrate import _DEFAULTS, _calibrate
from ._cli_inputs import (
    BAD_INPUT,
    INTERRUPTED,
    RUN_FAILED,
    Stop,
    _duration_option,
    _flow_unit,
    _load,
    _needs_matplotlib,
    _one_line,
    _target,
    _writing,
    check_outputs,
    gauge,
    rain_for,
    read_csv,
)
from ._objectives import OBJECTIVES
from ._registry import listing
from ._run import BasinRun, RunError
from ._units import ACCOUNT


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


# ---------------------------------------------------------------- run





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
