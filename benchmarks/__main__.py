"""python -m benchmarks [names...] [--quick] [--check] [--list] [options]

Runs the named benchmarks (all when none is named) from the repository root:
agreement checks first, then timing (see benchmarks/harness.py). --check runs
the agreement checks alone on small inputs and exits non-zero on any
disagreement; --quick times small inputs. Results go to benchmarks/results/.
"""

import argparse
import importlib
import os
import sys
import traceback

# In the order a full run takes them.
BENCHMARKS = (
    "models", "kge", "conversion", "memory", "peers", "large_buffers", "threads",
    "storage_indication", "model_overhead", "loss_methods", "method_peers", "calibration", "layer_costs",
)


def summary(name: str) -> str:
    doc = importlib.import_module(f"benchmarks.{name}").__doc__ or ""
    return doc.strip().splitlines()[0]


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("names", nargs="*", help="benchmarks to run (default: all; see --list)")
    p.add_argument("--list", action="store_true", help="list the benchmarks and exit")
    p.add_argument("--check", action="store_true", help="agreement checks only, no timing")
    p.add_argument("--quick", action="store_true", help="small inputs, 3 timed calls per side")
    p.add_argument("--repeats", type=int, metavar="N", help="timed calls per side (default 15)")
    p.add_argument("-k", metavar="TEXT", help="only comparisons whose name contains TEXT")
    p.add_argument("--require", default="", metavar="NAMES",
                   help="comma-separated peers whose absence fails the run")
    p.add_argument("--strict", action="store_true", help="a missed target fails the run")
    p.add_argument("--before", metavar="PYTHON",
                   help="large_buffers: also run under PYTHON (an older basinkit build)")
    p.add_argument("--min-speedup", type=float, metavar="X",
                   help="threads: fail when 2 threads are less than X times as fast as 1 "
                        "(free-threaded interpreters only)")
    p.add_argument("--worker", nargs=2, metavar=("TARGET", "ARGS"), help=argparse.SUPPRESS)
    p.add_argument("--clean-peak", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)

    from benchmarks import harness

    if args.worker:
        return harness.worker(*args.worker, args.clean_peak)
    if args.list:
        for name in BENCHMARKS:
            print(f"{name:<20} {summary(name)}")
        return 0
    unknown = [n for n in args.names if n not in BENCHMARKS]
    if unknown:
        p.error(f"unknown benchmark(s) {', '.join(unknown)}; --list names them")
    names = args.names or list(BENCHMARKS)

    s = harness.Session(
        quick=args.quick, checking=args.check, repeats=args.repeats, only=args.k,
        require=tuple(r.strip() for r in args.require.split(",") if r.strip()),
        options={"before": args.before, "min_speedup": args.min_speedup},
    )
    print(harness.header(s.machine))
    print("mode: " + ("agreement checks only" if args.check else "quick" if args.quick else "full"),
          flush=True)
    s.benchmark = "harness"
    s.check("a last-bit difference is seen", harness.self_check)
    for name in names:
        s.benchmark = name
        print(f"\n== {name}: {summary(name)}", flush=True)
        try:
            importlib.import_module(f"benchmarks.{name}").run(s)
        except Exception:  # one broken benchmark fails the run, the others still run
            s.failures.append(f"{name}: {traceback.format_exc()}")
            traceback.print_exc()
    print()
    print(s.report())
    print(f"\nload average at end {' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
          f"wrote {s.save(names).relative_to(harness.ROOT)}")
    for f in s.failures:
        print(f"FAILED {f}", file=sys.stderr)
    missed = [t for t in s.targets if not t["met"]]
    return 1 if s.failures or (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
