"""Page faults and time of calls on million-value buffers, a fresh process per job.

Each job is called in a loop in a fresh process of its own, as a script would
call it: two warm-up calls, then the timed calls, each counted in minor page
faults (getrusage ru_minflt) and timed as thread CPU time (which includes the
kernel's page-fault handling) and wall clock. Agreement first: every job's
result digest is taken in a fresh process, and basinkit must equal numba after
a copy, a prebuilt series the one built from NumPy and, with --before PYTHON
(an interpreter whose basinkit is an older build), the older build this one.

Idle threads: a pool of 16 threads each runs one 10^6-value baseflow job (all
at once), then waits; the process's resident set is read while they idle and
again after the pool has shut down (fresh process, as for the jobs).
"""

import gc
import hashlib
import importlib.util
import resource
import statistics
import sys
import time
from datetime import timedelta

from benchmarks import harness as h

MILLION = 1_000_000


def digest(arrays):
    import numpy as np

    d = hashlib.sha256()
    for a in arrays:
        # A view, not a copy: a copy's bytes would stay in a thread's malloc arena.
        d.update(memoryview(np.ascontiguousarray(np.asarray(a, dtype=np.float64))).cast("B"))
    return d.hexdigest()[:16]


def jobs(quick):
    """{name: factory}; a factory sets its job up and returns the call to time,
    which returns a list of the arrays its digest is taken of."""
    import numpy as np

    import basinkit
    from benchmarks import workloads as w

    n = 100_000 if quick else MILLION
    e = len(str(n)) - 1  # n = 10^e

    def muskingum(passes, prebuilt=False):
        def make():
            case = w.muskingum_case(n, passes)
            if prebuilt:
                s = w.CTS(case.inflow, case.step, "discharge")
                return lambda: [case.basinkit_np(s)]
            return lambda: [case.basinkit_np()]

        return make

    def numba_after_copy(passes):
        def make():
            case = w.muskingum_case(n, passes)
            return lambda: [case.numba_np(case.inflow.copy())]

        return make

    def baseflow():
        b = w.baseflow_case(n)
        reservoirs = b.reservoirs()
        return lambda: b.basinkit(b.rain, reservoirs)

    def clark():
        c = w.clark_case(n // 10, 0.0)
        return lambda: [c.basinkit()]

    def construction():
        q = w.hydrograph(n)
        return lambda: [np.asarray(w.CTS(q, w.HOUR, "discharge"))]

    def as_array():
        result = w.CTS(w.muskingum_case(n, 1).basinkit_np(), w.HOUR, "discharge")
        return lambda: [np.asarray(result)]

    chain_calls = 1_000 if quick else 10_000

    def storm_chain():
        # A whole small event: 48 hourly values through loss, transform,
        # baseflow and a reach, called again and again.
        hourly = w.HOUR
        rain = w.ITS([0.0] * 6 + [0.05, 0.2, 0.6, 1.1, 0.7, 0.3, 0.1] + [0.0] * 35, hourly,
                     "rainfall")
        layers = {
            "shallow": basinkit.baseflow.LinearReservoir(timedelta(hours=18), 0.35, 4.0, 2),
            "deep": basinkit.baseflow.LinearReservoir(timedelta(days=6), 0.25, 8.0),
        }
        loss_model = basinkit.rainfall_loss.run_deficit_and_constant
        clark_model = basinkit.rainfall_transform.run_clark_uh
        baseflow_model = basinkit.baseflow.run_linear_reservoir
        route = basinkit.reach.run_muskingum_routing
        tc, r, dry, reach_k = (timedelta(hours=5), timedelta(hours=8), timedelta(hours=36),
                               timedelta(hours=3))

        def call():
            for _ in range(chain_calls):
                loss = loss_model(rain, 0.5, 2.0, 0.1, dry)
                direct = clark_model(loss.excess, 6400.0, tc, r)
                base, _ = baseflow_model(6400.0, loss.loss, layers)
                d, bt = direct.data, base.data
                inflow = w.CTS([d[i] + bt[i] for i in range(48)], hourly, "discharge")
                routed = route(inflow, reach_k, 0.2, 2, d[0] + bt[0])
            return [np.asarray(routed)]

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


def measure(name, quick, calls):
    """Runs in the fresh process: job `name`'s digest, then `calls` timed calls."""
    fn = jobs(quick)[name]()
    for _ in range(2):  # warm-up: compiled peers, first mappings
        value = fn()
    # Nothing of the warm-up stays alive: a kept result would change what the
    # allocator can reuse.
    result = {"digest": digest(value), "cpu": [], "wall": [], "faults": []}
    del value
    gc.disable()
    for _ in range(calls):
        f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        c0, t0 = time.thread_time(), time.perf_counter()
        value = fn()
        t1, c1 = time.perf_counter(), time.thread_time()
        f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        del value
        result["cpu"].append(c1 - c0)
        result["wall"].append(t1 - t0)
        result["faults"].append(f1 - f0)
    return result


IDLE_THREADS = 16


def resident_mb():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def idle_threads(quick):
    """Runs in the fresh process: resident MB before, with the pool's threads
    idle after one baseflow job each, and after the pool has shut down."""
    import threading
    from concurrent.futures import ThreadPoolExecutor

    from benchmarks import workloads as w

    b = w.baseflow_case(100_000 if quick else MILLION)
    reservoirs = b.reservoirs()
    start = threading.Barrier(IDLE_THREADS)

    def job(_):
        start.wait()  # every thread of the pool runs exactly one job
        return digest(b.basinkit(b.rain, reservoirs))

    before = resident_mb()
    pool = ThreadPoolExecutor(IDLE_THREADS)
    digests = set(pool.map(job, range(IDLE_THREADS)))
    gc.collect()
    idle = resident_mb()
    pool.shutdown(wait=True)
    gc.collect()
    return {"before": before, "idle": idle, "after": resident_mb(), "digests": sorted(digests)}


def run(s: h.Session) -> None:
    quick = s.quick or s.checking
    numba = importlib.util.find_spec("numba") is not None
    if not numba:
        s.missing("numba")
    names = [n for n in jobs(quick) if numba or not n.startswith("numba")]
    pythons = {"after": sys.executable}
    if s.options.get("before"):
        pythons = {"before": s.options["before"], **pythons}

    def runs(python, name):
        return name.startswith("numba") and python != sys.executable  # peers need no old build

    digests = {side: {name: h.fresh("large_buffers:measure", name, quick, 0, python=py)["digest"]
                      for name in names if not runs(py, name)}
               for side, py in pythons.items()}
    after = digests["after"]

    def pick(*parts):
        return next(after[n] for n in names if all(x in n for x in parts))

    pairs = [(f"Muskingum x{p}: basinkit and numba after a copy",
              pick(f"Muskingum x{p},", "from NumPy"), pick(f"numba x{p}")) for p in (1, 5) if numba]
    pairs.append(("Muskingum x1: prebuilt and NumPy-built series",
                  pick("Muskingum x1,", "prebuilt"), pick("Muskingum x1,", "from NumPy")))
    pairs += [(f"{name}: before and after builds", d, after[name])
              for name, d in digests.get("before", {}).items()]
    agreed = True
    for what, a, b in pairs:
        agreed &= s.check(what, lambda a=a, b=b, what=what: same_digest(a, b, what))
    idle = {side: h.fresh("large_buffers:idle_threads", quick, python=py)
            for side, py in pythons.items()}
    for side, got in idle.items():
        s.check(f"{IDLE_THREADS} threads' baseflow jobs ({side})",
                lambda got=got: same_digest(got["digests"][0], got["digests"][-1], "threads"))
    if s.checking or not agreed:
        return

    rounds = 1 if s.quick else 3
    calls = 5 if s.quick else (s.repeats or 30)
    figures = {side: {name: [] for name in names} for side in pythons}
    for _ in range(rounds):  # builds alternate, so that drift reaches both alike
        for name in names:
            for side, py in pythons.items():
                if not runs(py, name):
                    n = 1 if name.startswith("storm chain") else calls
                    got = h.fresh("large_buffers:measure", name, quick, n, python=py)
                    if got["digest"] != digests[side][name]:
                        s.failures.append(f"large_buffers: {name}: results differ between runs")
                    figures[side][name].append(got)

    def cells(runs_):
        if not runs_:
            return ["", "", ""]
        # The best of the rounds' medians.
        cpu = min(statistics.median(r["cpu"]) for r in runs_)
        wall = min(statistics.median(r["wall"]) for r in runs_)
        faults = statistics.mean(statistics.mean(r["faults"]) for r in runs_)
        return [h.fmt_time(cpu), h.fmt_time(wall), f"{faults:.0f}"]

    columns = ["Job"] + [f"{side} {c}" for side in pythons for c in ("CPU", "wall", "faults/call")]
    s.table(f"Fresh process per job, best of {rounds} rounds' medians of {calls} calls "
            "(thread CPU and wall)", columns,
            [[name] + sum((cells(figures[side][name]) for side in pythons), []) for name in names])
    s.table(f"Resident set of a process whose {IDLE_THREADS} pool threads each ran one "
            f"10^{6 if not quick else 5} baseflow job (fresh process)",
            ["Build", "before the pool", "threads idle", "after shutdown"],
            [[side] + [f"{got[k]:.0f} MB" for k in ("before", "idle", "after")]
             for side, got in idle.items()])
    baseflow_job = next(n for n in names if n.startswith("baseflow"))
    faults = statistics.mean(statistics.mean(r["faults"]) for r in figures["after"][baseflow_job])
    s.target(f"{baseflow_job}: no page faults per call in a loop", faults < 1.0,
             f"{faults:.1f} per call")
    if not quick:
        s.target(f"{IDLE_THREADS} idle threads after one 10^6 baseflow job each: < 200 MB resident",
                 idle["after"]["idle"] < 200.0,
                 f"{idle['after']['idle']:.0f} MB")
    if not s.quick and numba:
        def cpu(*parts):
            name = next(n for n in names if all(x in n for x in parts))
            return min(statistics.median(r["cpu"]) for r in figures["after"][name])

        ours, numba = cpu("Muskingum x1,", "from NumPy"), cpu("numba x1")
        s.target("Muskingum x1 from NumPy ≤ 1.2× numba after a copy", ours <= 1.2 * numba,
                 f"{ours / numba:.2f}×")
        s.target("Muskingum x1 from NumPy ≤ 2.5 ms", ours <= 2.5e-3, h.fmt_time(ours))


def same_digest(a, b, what):
    if a != b:
        raise h.Disagreement(f"{what}: results differ (digests {a} and {b})")
    return f"same result digest {a}"
