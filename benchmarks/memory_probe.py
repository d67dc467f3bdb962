"""Peak memory of one level pool routing call, measured in this fresh process.

Usage: python memory_probe.py N  -- prints one JSON object.

The C++ allocations are invisible to tracemalloc, so the figure is the rise of
the process's peak resident set (getrusage ru_maxrss) over the resident set
just before the call. Inputs are built without large temporaries, so the peak
before the call is the resident set itself and the rise is the call's own.

Linux carries ru_maxrss over from the process that forked: started from a
large process (pytest) it would report that one's size. So this script first
starts itself again from its own small process, whose child begins clean.
"""

import json
import os
import resource
import subprocess
import sys

CHILD = "BASINKIT_MEMORY_PROBE"

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return -1


def main(n):
    import gc
    from datetime import timedelta

    import numpy as np

    import basinkit
    import workloads as w

    outlets_count = 3
    route = basinkit.reservoir.run_level_pool_routing
    case = w.LevelPoolCase(w.flood(10), 3600)
    curve, outlets = case.basinkit_args()
    step = timedelta(seconds=1)
    # Warm-up on a small input: lazy imports and allocator pools settle.
    route(w.CTS(w.flood(48), timedelta(hours=1), "discharge"), 1005.0, curve, outlets)
    gc.collect()
    baseline = rss()

    # One flood over the whole series at a 1 s step, filled chunk by chunk.
    inflow = np.empty(n)
    chunk = 1 << 16
    for start in range(0, n, chunk):
        i = np.arange(start, min(start + chunk, n), dtype=np.float64)
        x = i / (n / 4.0)
        inflow[start : start + i.size] = 200.0 + 6000.0 * x * x * np.exp(2.0 - 2.0 * x)
    series = w.CTS(inflow, step, "discharge")
    gc.collect()
    before_rss, before_peak = rss(), peak()
    if before_peak - before_rss > 2**20:
        raise SystemExit(f"peak RSS {before_peak} is above the resident set {before_rss}: not clean")

    result = route(series, 1005.0, curve, outlets)

    after_peak, after_rss, vm_hwm = peak(), rss(), hwm()
    storage = np.asarray(result.reservoir_storage)
    records = int(storage.size)
    parts = result.reservoir_individual_outflows
    assert len(parts) == outlets_count

    value = 8
    return {
        "inflow_values": n,
        "records": records,
        "baseline_rss_bytes": baseline,
        "input_bytes": before_rss - baseline,
        "expected_input_bytes": 2 * n * value,  # the NumPy array and the series
        "peak_minus_rss_before_call": before_peak - before_rss,
        "call_peak_bytes": after_peak - before_rss,
        "call_peak_bytes_vmhwm": vm_hwm - before_rss,
        "retained_after_call_bytes": after_rss - before_rss,
        # The call's private inflow copy plus storage, elevation, total and one
        # record per outlet, each reserved for n values.
        "expected_call_bytes": (1 + 3 + outlets_count) * n * value,
        "record_bytes": (3 + outlets_count) * n * value,
        "peak_elevation": float(np.asarray(result.reservoir_elevation).max()),
    }


if __name__ == "__main__":
    if os.environ.get(CHILD) != "1":
        env = dict(os.environ, **{CHILD: "1"})
        sys.exit(subprocess.run([sys.executable, *sys.argv], env=env).returncode)
    print(json.dumps(main(int(sys.argv[1]))))
