"""Thread scaling: independent routings on a thread pool of 1 and 2 threads.

    python benchmarks/threads.py [--quick] [--repeat N] [--min-speedup X]

Two workloads, each a batch of independent calls: level pool routings of a
30-day hourly flood through a reservoir with three outlets, and Muskingum
routings of 10^6 values. Each batch runs serially and on a
ThreadPoolExecutor of 1 and of 2 threads; every threaded result must equal
the serial one bit for bit, else the run fails. The best of --repeat runs is
reported. On a regular CPython the two threads take turns (about 1x); on a
free-threaded one they run in parallel. --min-speedup X fails the run when
two threads are less than X times as fast as one (judged on free-threaded
interpreters only). --quick shrinks the batches for CI.
"""

import argparse
import math
import os
import sys
import sysconfig
import time
from concurrent.futures import ThreadPoolExecutor
from datetime import timedelta

import basinkit

import workloads as w

CTS = basinkit.utils.ContinuousTimeSeries
HOUR = timedelta(hours=1)


def level_pool_tasks(count, hours):
    # The level pool comparison's reservoir; a different flood per task.
    case = w.level_pool_case(hours)
    curve, outlets = case.basinkit_args()
    tasks = []
    for i in range(count):
        inflow = CTS(w.flood(hours, peak=4000.0 + 50.0 * i), HOUR, "discharge")

        def task(inflow=inflow):
            r = basinkit.reservoir.run_level_pool_routing(inflow, case.initial_elevation, curve,
                                                          outlets)
            return [r.reservoir_elevation, r.reservoir_total_outflow] + [
                r.reservoir_individual_outflows[name]
                for name in sorted(r.reservoir_individual_outflows)]
        tasks.append(task)
    return tasks


def muskingum_tasks(count, n):
    tasks = []
    for i in range(count):
        values = [150.0 + 20.0 * math.sin(t / (97.0 + i)) + 5.0 * math.sin(t / 13.0)
                  for t in range(n)]
        inflow = CTS(values, HOUR, "discharge")

        def task(inflow=inflow, first=values[0]):
            return [basinkit.reach.run_muskingum_routing(
                inflow, timedelta(hours=6), 0.2, 3, first)]
        tasks.append(task)
    return tasks


def run(tasks, threads):
    if threads == 0:
        return [t() for t in tasks]
    with ThreadPoolExecutor(threads) as pool:
        return list(pool.map(lambda t: t(), tasks))


def as_bits(results):
    # The series' own buffers, compared after the timing: turning 10^6 values
    # into Python floats would time the interpreter's allocator, not basinkit.
    return [b"".join(bytes(memoryview(s)) for s in r) for r in results]


def measure(name, tasks, repeat):
    """Best wall time with 1 and 2 threads; checks every result against serial."""
    serial = as_bits(run(tasks, 0))
    times = {1: [], 2: []}
    # 1 and 2 threads take turns, so that a drift of the machine's state
    # (page cache, huge pages, other load) reaches both alike.
    for _ in range(repeat):
        for threads in (1, 2):
            start = time.perf_counter()
            results = run(tasks, threads)
            times[threads].append(time.perf_counter() - start)
            if as_bits(results) != serial:
                raise SystemExit(f"{name}: {threads} threads gave results that differ "
                                 "from the serial run")
            del results
    best = {threads: min(t) for threads, t in times.items()}
    speedup = best[1] / best[2]
    print(f"{name:<34} 1 thread {best[1]:7.3f} s   2 threads {best[2]:7.3f} s   "
          f"{speedup:4.2f}x   results identical to serial", flush=True)
    return speedup


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="small batches, best of 3")
    p.add_argument("--repeat", type=int, help="runs per measurement (default 5, quick 3)")
    p.add_argument("--min-speedup", type=float, default=None, metavar="X",
                   help="fail when 2 threads are less than X times faster (free-threaded only)")
    args = p.parse_args()
    repeat = args.repeat or (3 if args.quick else 5)
    count = 8 if args.quick else 64
    days = 3 if args.quick else 30
    n = 10**5 if args.quick else 10**6

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if free_threaded else "regular"
    print(f"{sys.executable}: CPython {sys.version.split()[0]} {build}, GIL "
          f"{'on' if gil else 'off'} after import basinkit; {os.cpu_count()} cores; "
          f"load {' '.join(f'{x:.2f}' for x in os.getloadavg())}", flush=True)
    if free_threaded and gil:
        raise SystemExit("basinkit turned the GIL back on")

    speedups = [
        measure(f"level pool {count} x {days} d hourly, 3 outlets",
                level_pool_tasks(count, days * 24), repeat),
        measure(f"Muskingum {count} x {n:.0e} values", muskingum_tasks(count, n), repeat),
    ]
    print(f"load after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    if args.min_speedup is not None and free_threaded and min(speedups) < args.min_speedup:
        raise SystemExit(f"two threads were at best {min(speedups):.2f}x as fast as one, "
                         f"below {args.min_speedup}x")


if __name__ == "__main__":
    main()
