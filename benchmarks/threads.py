"""Thread scaling: batches of independent routings on 1 and 2 threads.

Level pool routings of a 30-day hourly flood through the three-outlet
reservoir, and Muskingum routings of 10^6 values, each batch run serially and
on a ThreadPoolExecutor of 1 and of 2 threads; every threaded result must
equal the serial one bit for bit. Timed on the wall clock (the work leaves the
calling thread). On a regular CPython two threads take turns (about 1×); on a
free-threaded one they run in parallel: --min-speedup X fails the run when two
threads are less than X times as fast as one there.
"""

import math
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta

import basinkit
from benchmarks import harness as h
from benchmarks import workloads as w


def level_pool_tasks(count, hours):
    # The level pool comparison's reservoir; a different flood per task.
    case = w.level_pool_case(hours)
    curve, outlets = case.basinkit_args()
    inflows = [w.CTS(w.flood(hours, peak=4000.0 + 50.0 * i), w.HOUR, "discharge")
               for i in range(count)]
    return [lambda s=s: case.basinkit(curve, outlets, s) for s in inflows]


def muskingum_tasks(count, n):
    route = basinkit.reach.run_muskingum_routing
    tasks = []
    for i in range(count):
        values = [150.0 + 20.0 * math.sin(t / (97.0 + i)) + 5.0 * math.sin(t / 13.0)
                  for t in range(n)]
        inflow = w.CTS(values, w.HOUR, "discharge")
        tasks.append(lambda s=inflow, q0=values[0]: [route(s, timedelta(hours=6), 0.2, 3, q0)])
    return tasks


def batch(tasks, threads):
    """Runs every task; returns each result's bytes (read after the timing)."""
    if threads == 0:
        return lambda: [t() for t in tasks]

    def run():
        with ThreadPoolExecutor(threads) as pool:
            return list(pool.map(lambda t: t(), tasks))

    return run


def as_bytes(results):
    # The series' own buffers: turning 10^6 values into Python floats would
    # time the interpreter's allocator, not basinkit.
    return [b"".join(bytes(memoryview(s)) for s in r) for r in results]


def same_results(ours, theirs, what):
    if as_bytes(ours) != as_bytes(theirs):
        raise h.Disagreement(f"{what}: results differ from the serial run")
    return "bit-identical to the serial run"


def run(s: h.Session) -> None:
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"  {'free-threaded' if free else 'regular'} CPython, GIL {'on' if gil else 'off'} "
          "after import basinkit", flush=True)
    if free and gil:
        s.failures.append("threads: basinkit turned the GIL back on")
    small = s.quick or s.checking
    count, days, n = (8, 3, 10**5) if small else (64, 30, 10**6)
    speedups = []
    for group, tasks in ((f"level pool {count} x {days} d hourly, 3 outlets",
                          level_pool_tasks(count, days * 24)),
                         (f"Muskingum {count} x {n:.0e} values", muskingum_tasks(count, n))):
        if s.compare(group, {"serial": batch(tasks, 0), "1 thread": batch(tasks, 1),
                             "2 threads": batch(tasks, 2)}, same_results, clock=h.WALL,
                     repeats=3 if small else 5) and not s.checking:
            times = {r["side"]: r["best_s"] for r in s.rows if r["group"] == group}
            speedups.append((group, times["1 thread"] / times["2 threads"]))
    if speedups:
        s.table("Two threads against one (best wall times)", ["Batch", "Speed-up"],
                [[g, f"{x:.2f}×"] for g, x in speedups])
    limit = s.options.get("min_speedup")
    worst = min((x for _, x in speedups), default=None)
    if worst is not None and limit is not None and free:
        s.target(f"2 threads at least {limit}× as fast as 1", worst >= limit, f"{worst:.2f}×")
        if worst < limit:
            s.failures.append(f"threads: two threads were at best {worst:.2f}× as fast as one, "
                              f"below {limit}×")
