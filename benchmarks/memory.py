"""Peak memory of one level pool routing call, in a fresh process.

C++ allocations are invisible to tracemalloc, so the figure is the rise of the
process's peak resident set (getrusage ru_maxrss, cross-checked with VmHWM)
over the resident set just before the call. The inputs are built without large
temporaries, so the peak before the call is the resident set itself.
"""

import os
import resource

from benchmarks import harness as h

SLACK_BYTES = 8 * 2**20
OUTLETS = 3


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _vm_hwm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return -1


def probe(n):
    """Runs in the fresh process: one routing of n values at a 1 s step."""
    import gc
    from datetime import timedelta

    import numpy as np

    from benchmarks import workloads as w

    case = w.LevelPoolCase(w.flood(10), 3600)
    curve, outlets = case.basinkit_args()
    route = w.basinkit.reservoir.run_level_pool_routing
    # Warm-up on a small input: lazy imports and allocator pools settle.
    route(w.CTS(w.flood(48), w.HOUR, "discharge"), 1005.0, curve, outlets)
    gc.collect()
    inflow = np.empty(n)
    chunk = 1 << 16
    for start in range(0, n, chunk):
        x = np.arange(start, min(start + chunk, n), dtype=np.float64) / (n / 4.0)
        inflow[start : start + x.size] = 200.0 + 6000.0 * x * x * np.exp(2.0 - 2.0 * x)
    series = w.CTS(inflow, timedelta(seconds=1), "discharge")
    gc.collect()
    before_rss, before_peak = _rss(), _peak()
    if before_peak - before_rss > 2**20:
        raise SystemExit(f"peak RSS {before_peak} is above the resident set {before_rss}")
    result = route(series, 1005.0, curve, outlets)
    after_peak, vm_hwm = _peak(), _vm_hwm()
    assert len(result.reservoir_individual_outflows) == OUTLETS
    return {
        "records": int(np.asarray(result.reservoir_storage).size),
        "call_peak_bytes": after_peak - before_rss,
        "call_peak_bytes_vmhwm": vm_hwm - before_rss,
        # The call's private inflow copy plus storage, elevation, total and
        # one record per outlet, each reserved for n values.
        "expected_call_bytes": (1 + 3 + OUTLETS) * n * 8,
    }


def run(s: h.Session) -> None:
    n = s.size(1_000_000, 200_000)
    if not os.path.exists("/proc/self/statm"):
        s.missing("memory probe", "reads /proc")
        return
    m = h.fresh("memory:probe", n, clean_peak=True)

    def within_bound():
        assert m["records"] == n - 1, m
        bound = m["expected_call_bytes"] + SLACK_BYTES
        assert m["call_peak_bytes"] <= bound, (
            f"routing {n} values raised the peak resident set by {m['call_peak_bytes']} bytes; "
            f"bound {bound} (private inflow copy + records + 8 MiB)")
        return (f"{n:,} values: peak rose {m['call_peak_bytes'] / 2**20:.1f} MiB (VmHWM "
                f"{m['call_peak_bytes_vmhwm'] / 2**20:.1f} MiB), bound "
                f"{bound / 2**20:.1f} MiB")

    s.check("level pool peak memory", within_bound)
    s.target("level pool peak memory within records + private copy + 8 MiB",
             m["call_peak_bytes"] <= m["expected_call_bytes"] + SLACK_BYTES,
             f"{m['call_peak_bytes'] / 2**20:.1f} MiB rise")
