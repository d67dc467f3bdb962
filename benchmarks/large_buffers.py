"""Page faults and time of calls that handle million-value buffers.

    python benchmarks/large_buffers.py [--before PYTHON] [--rounds R] [--quick] [--json FILE]

Each job is called in a loop in a fresh process of its own, as a script
would call it; every call is timed (the thread's CPU time, which includes
the kernel's page-fault handling, and wall clock) and its minor page faults
are counted (getrusage ru_minflt). With
--before PYTHON, the same jobs also run under another interpreter whose
basinkit is an older build (e.g. a virtual environment installed from main):
the two processes alternate R times, both must give bit-identical results
for every job, and the table shows before, after and their ratio. The
numba rows run in the "after" process; their results must equal basinkit's
bit for bit as well.
"""

import argparse
import gc
import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from datetime import timedelta
from pathlib import Path

HERE = Path(__file__).resolve().parent
MILLION = 1_000_000


def digest(*arrays):
    import numpy as np

    h = hashlib.sha256()
    for a in arrays:
        h.update(np.ascontiguousarray(np.asarray(a, dtype=np.float64)).tobytes())
    return h.hexdigest()[:16]


def jobs(quick):
    """{name: factory}; a factory sets its job up and returns the call to time,
    which returns what its digest is taken of."""
    import numpy as np

    import basinkit

    sys.path.insert(0, str(HERE))
    import workloads as w

    cts, its = basinkit.utils.ContinuousTimeSeries, basinkit.utils.IncrementalTimeSeries
    n = 100_000 if quick else MILLION
    e = len(str(n)) - 1  # n = 10^e
    route = basinkit.reach.run_muskingum_routing
    hourly, k = timedelta(hours=1), timedelta(hours=6)

    def muskingum(passes, prebuilt=False):
        def make():
            q = w.hydrograph(n)
            q0 = float(q[0])
            if prebuilt:
                s = cts(q, hourly, "discharge")
                return lambda: np.asarray(route(s, k, 0.2, passes, q0))
            return lambda: np.asarray(route(cts(q, hourly, "discharge"), k, 0.2, passes, q0))

        return make

    def numba_after_copy(passes):
        def make():
            from numba_peers import muskingum_reach

            q = w.hydrograph(n)
            q0 = float(q[0])
            return lambda: muskingum_reach(q.copy(), 3600.0, 21600.0, 0.2, passes, q0)

        return make

    def baseflow():
        b = w.baseflow_case(n)
        reservoirs = b.reservoirs()

        def call():
            total, parts = w.baseflow_basinkit_np(b, reservoirs)
            return [total] + [parts[name] for name in sorted(parts)]

        return call

    def clark():
        c = w.clark_case(n // 10, 0.0)
        return lambda: w.clark_basinkit_np(c)

    def construction():
        q = w.hydrograph(n)
        return lambda: np.asarray(cts(q, hourly, "discharge"))

    def as_array():
        q = w.hydrograph(n)
        result = route(cts(q, hourly, "discharge"), k, 0.2, 1, float(q[0]))
        return lambda: np.asarray(result)

    chain_calls = 1_000 if quick else 10_000

    def storm_chain():
        # A whole small event: 48 hourly values through loss, transform,
        # baseflow and a reach, called again and again.
        rain = its([0.0] * 6 + [0.05, 0.2, 0.6, 1.1, 0.7, 0.3, 0.1] + [0.0] * 35, hourly, "rainfall")
        layers = {
            "shallow": basinkit.baseflow.LinearReservoir(timedelta(hours=18), 0.35, 4.0, 2),
            "deep": basinkit.baseflow.LinearReservoir(timedelta(days=6), 0.25, 8.0),
        }
        loss_model = basinkit.rainfall_loss.run_deficit_and_constant
        clark_model = basinkit.rainfall_transform.run_clark_uh
        baseflow_model = basinkit.baseflow.run_linear_reservoir
        tc, r, dry, reach_k = (timedelta(hours=5), timedelta(hours=8), timedelta(hours=36),
                               timedelta(hours=3))

        def call():
            for _ in range(chain_calls):
                loss = loss_model(rain, 0.5, 2.0, 0.1, dry)
                direct = clark_model(loss.excess, 6400.0, tc, r)
                base, _ = baseflow_model(6400.0, loss.loss, layers)
                d, bt = direct.data, base.data
                inflow = cts([d[i] + bt[i] for i in range(48)], hourly, "discharge")
                routed = route(inflow, reach_k, 0.2, 2, d[0] + bt[0])
            return np.asarray(routed)

        return call

    return {
        f"Muskingum x1, 10^{e} from NumPy": muskingum(1),
        f"Muskingum x1, 10^{e} prebuilt series": muskingum(1, prebuilt=True),
        "numba x1 after a copy": numba_after_copy(1),
        f"Muskingum x5, 10^{e} from NumPy": muskingum(5),
        "numba x5 after a copy": numba_after_copy(5),
        f"baseflow 3 layers x 3, 10^{e} from NumPy": baseflow,
        f"Clark, 10^{e - 1} from NumPy": clark,
        f"series construction, 10^{e} from NumPy": construction,
        f"np.asarray of a 10^{e} result": as_array,
        f"storm chain, 48 values, {chain_calls} calls": storm_chain,
    }


def worker(args):
    """Runs one job in this (fresh) process and prints its figures."""
    name = list(jobs(args.quick))[args.job]
    try:
        fn = jobs(args.quick)[name]()
    except ImportError as e:
        json.dump({"name": name, "skipped": f"{e.name} is not installed"}, sys.stdout)
        return
    repeat = 1 if name.startswith("storm chain") else (5 if args.quick else args.calls)
    for _ in range(2):  # warm-up: compiled peers, first mappings
        value = fn()
    # Nothing of the warm-up stays alive: a kept result would change what the
    # allocator can reuse.
    result_digest = digest(*(value if isinstance(value, list) else [value]))
    del value
    wall, cpu, faults = [], [], []
    rusage = resource.getrusage
    gc.disable()
    try:
        for _ in range(repeat):
            f0 = rusage(resource.RUSAGE_SELF).ru_minflt
            c0, t0 = time.thread_time(), time.perf_counter()
            value = fn()
            t1, c1 = time.perf_counter(), time.thread_time()
            f1 = rusage(resource.RUSAGE_SELF).ru_minflt
            del value
            wall.append(t1 - t0)
            cpu.append(c1 - c0)
            faults.append(f1 - f0)
    finally:
        gc.enable()
    import basinkit

    json.dump({
        "basinkit": basinkit.__file__,
        "name": name,
        "wall_s": statistics.median(wall),
        "cpu_s": statistics.median(cpu),
        "faults": statistics.mean(faults),
        "calls": repeat,
        "digest": result_digest,
    }, sys.stdout)


def run_worker(python, job, quick, calls):
    cmd = [python, str(Path(__file__).resolve()), "--worker", "--job", str(job), "--calls", str(calls)]
    if quick:
        cmd.append("--quick")
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode:
        raise SystemExit(f"{python}: job {job} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def fmt_ms(s):
    return f"{s * 1e3:.3f} ms" if s < 0.01 else f"{s * 1e3:.1f} ms"


def combine(runs):
    """Per job: the best of the rounds' medians and the mean fault count."""
    return {
        "wall_s": min(r["wall_s"] for r in runs),
        "cpu_s": min(r["cpu_s"] for r in runs),
        "faults": statistics.mean(r["faults"] for r in runs),
        "digests": sorted({r["digest"] for r in runs}),
    }


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--before", metavar="PYTHON", help="interpreter with the older basinkit build")
    p.add_argument("--rounds", type=int, default=3, help="alternations of the two builds (default 3)")
    p.add_argument("--calls", type=int, default=30, help="timed calls per job and round (default 30)")
    p.add_argument("--quick", action="store_true", help="10^5 values, 5 calls (smoke run)")
    p.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--job", type=int, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.worker:
        worker(args)
        return 0

    load_before = os.getloadavg()
    sides = {"after": sys.executable}
    if args.before:
        sides = {"before": args.before, **sides}
    names = list(jobs(args.quick))
    runs = {side: {name: [] for name in names} for side in sides}
    skipped = {}
    for _ in range(1 if args.quick else args.rounds):
        for i, name in enumerate(names):
            for side, python in sides.items():
                # The peers' rows need no older basinkit.
                if name.startswith("numba") and side == "before" or name in skipped:
                    continue
                got = run_worker(python, i, args.quick, args.calls)
                if "skipped" in got:
                    skipped[name] = got["skipped"]
                else:
                    runs[side][name].append(got)
    load_after = os.getloadavg()
    figures = {side: {n: combine(r) for n, r in by.items() if r} for side, by in runs.items()}
    after = figures["after"]

    def job(*parts):
        return next((f for name, f in after.items() if all(x in name for x in parts)), None)

    failures = [f"{name}: results differ between rounds"
                for name, fig in after.items() if len(fig["digests"]) != 1]
    for passes in (1, 5):
        ours, theirs = job(f"Muskingum x{passes},", "from NumPy"), job(f"numba x{passes} after")
        if ours and theirs and ours["digests"] != theirs["digests"]:
            failures.append(f"Muskingum x{passes}: basinkit and numba differ")
    if job("Muskingum x1,", "prebuilt")["digests"] != job("Muskingum x1,", "from NumPy")["digests"]:
        failures.append("Muskingum x1: prebuilt and NumPy-built series differ")
    for name, fig in figures.get("before", {}).items():
        if fig["digests"] != after[name]["digests"]:
            failures.append(f"{name}: before and after builds give different results")

    rounds = 1 if args.quick else args.rounds
    print(f"load average {load_before[0]:.2f} at start, {load_after[0]:.2f} at end "
          f"({os.cpu_count()} cores); one fresh process per job, side and round; best of "
          f"{rounds} rounds' medians; CPU = the thread's CPU time (page faults included), "
          f"wall = wall clock")
    for side, python in sides.items():
        print(f"{side}: {python}")
    print()
    if "before" in figures:
        before = figures["before"]
        print("| Job | Before CPU | Before wall | Faults/call | After CPU | After wall | Faults/call "
              "| Before ÷ after (CPU) |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        for name, fig in after.items():
            b = before.get(name)
            cells = ([fmt_ms(b["cpu_s"]), fmt_ms(b["wall_s"]), f"{b['faults']:.0f}"] if b
                     else ["", "", ""])
            ratio = f"{b['cpu_s'] / fig['cpu_s']:.2f}×" if b else ""
            print(f"| {name} | {' | '.join(cells)} | {fmt_ms(fig['cpu_s'])} | "
                  f"{fmt_ms(fig['wall_s'])} | {fig['faults']:.0f} | {ratio} |")
    else:
        print("| Job | CPU | Wall | Faults/call |")
        print("|---|---:|---:|---:|")
        for name, fig in after.items():
            print(f"| {name} | {fmt_ms(fig['cpu_s'])} | {fmt_ms(fig['wall_s'])} | "
                  f"{fig['faults']:.0f} |")
    for name, why in skipped.items():
        print(f"skipped {name}: {why}")

    ours, theirs = job("Muskingum x1,", "from NumPy"), job("numba x1 after")
    if ours and theirs and not args.quick:
        ratio = ours["cpu_s"] / theirs["cpu_s"]
        print()
        print(f"Muskingum x1 from NumPy: {fmt_ms(ours['cpu_s'])} CPU, {ratio:.2f}× numba after a "
              f"copy ({fmt_ms(theirs['cpu_s'])}); targets ≤ 1.2× and ≤ 2.5 ms: "
              f"{'met' if ratio <= 1.2 and ours['cpu_s'] <= 2.5e-3 else 'MISSED'}")
    if args.json:
        Path(args.json).write_text(json.dumps(
            {"load": [load_before, load_after], "sides": sides, "figures": figures,
             "skipped": skipped, "failures": failures}, indent=2))
    for f in failures:
        print(f"DISAGREEMENT: {f}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
