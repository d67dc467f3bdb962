"""Command-line driver of the fuzz harness (see scripts/fuzz.sh).

    python -m fuzz.run hypothesis --examples N --seed S [--corpus-out DIR]
    python -m fuzz.run replay DIR...
    python -m fuzz.run atheris [libFuzzer options] [corpus dirs]

Run with tests/ as the working directory or on PYTHONPATH, and the repository
root (reference/) on PYTHONPATH. Before each case the encoded input is
written to --crash-file, so an input that kills the process is left behind
for the corpus. Exit status 1 means a fault was found; the faulting input is
written to --faults-dir.
"""

import argparse
import collections
import hashlib
import os
import pathlib
import sys
import time


def _save(directory, data, prefix):
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    name = f"{prefix}-{hashlib.sha1(data).hexdigest()[:16]}"
    (directory / name).write_bytes(data)
    return directory / name


class Stats:
    def __init__(self):
        self.count = 0
        self.outcomes = collections.Counter()

    def report(self, seconds, out=sys.stdout):
        print(f"inputs run: {self.count} in {seconds:.1f}s", file=out)
        for (target, outcome), n in sorted(self.outcomes.items()):
            print(f"  {target:<20} {outcome:<16} {n}", file=out)


def run_hypothesis(args):
    from hypothesis import HealthCheck, given, seed, settings
    from hypothesis import strategies as st

    from .harness import Fault, build, judge
    from .source import HypothesisSource

    stats = Stats()
    seen = collections.Counter()
    last_fault = {}
    crash_file = args.crash_file

    @seed(args.seed)
    @settings(max_examples=args.examples, deadline=None, database=None, derandomize=False,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def body(data):
        src = HypothesisSource(data)
        case = build(src)
        if crash_file:
            with open(crash_file, "wb") as f:
                f.write(bytes(src.recorded))
        try:
            outcome = judge(case)
        except Fault:
            last_fault["bytes"] = bytes(src.recorded)
            raise
        stats.count += 1
        stats.outcomes[(case.name, outcome)] += 1
        key = (case.name, outcome)
        if args.corpus_out and seen[key] < args.per_outcome:
            seen[key] += 1
            _save(args.corpus_out, bytes(src.recorded), case.name)

    start = time.monotonic()
    try:
        body()
    except Fault as fault:
        path = _save(args.faults_dir, last_fault.get("bytes", b""), "fault")
        print(f"FAULT: {fault}\n  input saved to {path}", file=sys.stderr)
        stats.report(time.monotonic() - start)
        return 1
    stats.report(time.monotonic() - start)
    return 0


def run_replay(args):
    from .harness import Fault, run_bytes

    stats = Stats()
    start = time.monotonic()
    faults = 0
    for d in args.paths:
        p = pathlib.Path(d)
        files = sorted(p.iterdir()) if p.is_dir() else [p]
        for f in files:
            try:
                target, outcome = run_bytes(f.read_bytes())
            except Fault as fault:
                faults += 1
                print(f"FAULT in {f}: {fault}", file=sys.stderr)
                continue
            stats.count += 1
            stats.outcomes[(target, outcome)] += 1
    stats.report(time.monotonic() - start)
    return 1 if faults else 0


def run_atheris(argv):
    import atheris

    with atheris.instrument_imports():
        from . import harness, values  # noqa: F401
    from .harness import run_bytes

    def one_input(data):
        run_bytes(data)

    atheris.Setup([sys.argv[0]] + argv, one_input)
    atheris.Fuzz()


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "atheris":
        return run_atheris(argv[1:])
    ap = argparse.ArgumentParser(prog="fuzz.run")
    sub = ap.add_subparsers(dest="mode", required=True)
    h = sub.add_parser("hypothesis")
    h.add_argument("--examples", type=int, default=2000)
    h.add_argument("--seed", type=int, default=int.from_bytes(os.urandom(4), "big"))
    h.add_argument("--corpus-out")
    h.add_argument("--per-outcome", type=int, default=2)
    h.add_argument("--crash-file")
    h.add_argument("--faults-dir", default="fuzz-faults")
    r = sub.add_parser("replay")
    r.add_argument("paths", nargs="+")
    args = ap.parse_args(argv)
    if args.mode == "hypothesis":
        print(f"seed {args.seed}")
        return run_hypothesis(args)
    return run_replay(args)


if __name__ == "__main__":
    sys.exit(main())
