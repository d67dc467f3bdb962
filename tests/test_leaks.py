"""Memory and reference counts across many calls of every entry point.

Each scenario is one call: every valid call of the catalogue (tests/
catalogue.py), and failure paths on the catalogue's arguments. Run a few
thousand times it must not grow the traced Python heap (tracemalloc) nor the
process's resident set (/proc/self/statm, which also sees C++ allocations),
and it must leave the reference count of every object handed in, and of the
objects inside them, as it was.
"""

import gc
import math
import os
import subprocess
import sys
import tracemalloc
import warnings
from datetime import timedelta

import pytest

import basinkit
from cases import CTS, HOUR, ITS, LR, RU, child_env
from catalogue import ENTRIES

# Heap, resident set and reference counts are the process's: a test running
# beside its own copy on another thread would measure that copy too.
pytestmark = pytest.mark.thread_unsafe(reason="measures process-wide memory and reference counts")

ITERATIONS = 2000
WARMUP = 500
# Growth allowed over ITERATIONS calls: 16 bytes a call on the traced heap,
# less than the smallest object (a leaked float is 24 bytes), and far less
# than one leaked input copy a call (8 KB for the catalogue's thousand values)
# in the resident set.
TRACED_BOUND = 32 * 1024
RSS_BOUND = 2 * 1024 * 1024
# AddressSanitizer keeps freed memory in quarantine, so the resident set of a
# sanitized run says nothing about leaks (scripts/sanitize.sh sets this).
RSS_MEANINGFUL = not os.environ.get("BASINKIT_SANITIZED")

loss = basinkit.rainfall_loss.run_deficit_and_constant
baseflow = basinkit.baseflow.run_linear_reservoir
route = basinkit.reach.run_muskingum_routing
kge = basinkit.metrics.calculate_kge
level_pool = basinkit.reservoir.run_level_pool_routing

# Failure paths: name -> (catalogue entry whose arguments it takes, the call,
# the exception it must end with; BaseException stands for PanicException).
FAILURES = {
    "series_new_bad_kind": ("continuous_series", lambda a: CTS(a["values"], HOUR, "Discharge"),
                            ValueError),
    "series_new_bad_item": ("continuous_series", lambda a: CTS(a["values"] + ["x"], HOUR, "volume"),
                            TypeError),
    "series_new_negative_step": ("continuous_series",
                                 lambda a: ITS(a["values"], timedelta(-1), "rainfall"), ValueError),
    "disaggregate_bad": ("disaggregate", lambda a: a["rain"].disaggregate(1000), ValueError),
    "loss_bad_float": ("deficit_and_constant", lambda a: loss(a["rain"], 0.5, "1.0", 0.1, HOUR),
                       TypeError),
    "loss_negative_duration": ("deficit_and_constant",
                               lambda a: loss(a["rain"], 0.5, 1.0, 0.1, -HOUR), ValueError),
    "clark_bad": ("clark", lambda a: basinkit.rainfall_transform.run_clark_uh(
        a["rain"], 640.0, HOUR, 5), TypeError),
    "reservoir_new_bad": ("linear_reservoir_new", lambda a: LR(timedelta(hours=5), 1.5, 1.0),
                          ValueError),
    "reservoir_set_bad": ("linear_reservoir_set",
                          lambda a: setattr(a["layer"], "num_reservoir", -1), OverflowError),
    "baseflow_bad_value": ("baseflow", lambda a: baseflow(
        640.0, a["rain"], {"a": a["layers"]["deep"], "b": 5}), TypeError),
    "baseflow_bad_fraction": ("baseflow", lambda a: baseflow(
        640.0, a["rain"], {**a["layers"], "c": a["layers"]["deep"]}), ValueError),
    "muskingum_warning_error": ("muskingum", lambda a: route(
        a["inflow"], timedelta(hours=2), 0.7, 3, 100.0), UserWarning),
    "muskingum_bad": ("muskingum", lambda a: route(
        a["inflow"], timedelta(hours=2), 0.2, "3", 100.0), TypeError),
    "kge_mismatch": ("kge", lambda a: kge(a["sim"], a["sim"][:-1]), ValueError),
    "kge_bad_flag": ("kge", lambda a: kge(a["sim"], a["sim"], 1), TypeError),
    "curve_new_bad": ("elevation_discharge_new", lambda a: RU.ElevationDischarge(
        a["elevation"], a["discharge"][::-1]), ValueError),
    "curve_lookup_outside": ("curve_lookups", lambda a: a["curve"].get_storage(99.0), ValueError),
    "curve_lookup_fault": ("curve_lookups", lambda a: a["curve"].get_elevation(math.nan),
                           BaseException),
    "outlet_new_bad": ("outlets_new", lambda a: RU.UnControlledDischargeInfo(a["plan"]),
                       TypeError),
    "level_pool_bad_outlet": ("level_pool", lambda a: level_pool(
        a["inflow"], 101.0, a["curve"], {"x": a["curve"]}), TypeError),
    "level_pool_outside": ("level_pool", lambda a: level_pool(
        a["inflow"], 99.0, a["curve"], a["outlets"]), ValueError),
    "level_pool_fault": ("level_pool", lambda a: level_pool(
        CTS([], HOUR, "discharge"), 101.0, a["curve"], a["outlets"]), BaseException),
}
# name -> (catalogue entry, call on its arguments, expected exception or None)
SCENARIOS = {name: (name, e.call, None) for name, e in ENTRIES.items()} | FAILURES


def _call(fn, args, expected):
    if expected is None:
        fn(args)
        return
    try:
        fn(args)
    except expected as exc:
        # Each failure scenario must take its failure path, and PanicException
        # only where it is meant to.
        if expected is BaseException:
            assert type(exc).__name__ == "PanicException"
        return
    raise AssertionError("the failure path was not taken")


def _watched(args):
    """The argument objects and everything directly inside them."""
    objs = []
    for o in args.values():
        objs.append(o)
        if isinstance(o, dict):
            objs.extend(o.keys())
            objs.extend(o.values())
        elif isinstance(o, list):
            objs.extend(o[:50])
    return objs


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(autouse=True)
def _warnings_as_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        yield


@pytest.mark.parametrize("name", SCENARIOS)
def test_reference_counts_of_arguments_are_unchanged(name):
    entry, fn, expected = SCENARIOS[name]
    args = ENTRIES[entry].args()
    _call(fn, args, expected)
    objs = _watched(args)
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(200):
        _call(fn, args, expected)
    gc.collect()
    after = [sys.getrefcount(o) for o in objs]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objs, before, after) if a != b]
    assert not changed


def _growth(call):
    """Traced heap and resident set growth over ITERATIONS calls."""
    gc.collect()
    tracemalloc.start()
    try:
        traced0 = tracemalloc.get_traced_memory()[0]
        rss0 = _rss()
        for _ in range(ITERATIONS):
            call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - traced0, _rss() - rss0
    finally:
        tracemalloc.stop()


def _over(traced, rss):
    return traced >= TRACED_BOUND or (rss >= RSS_BOUND and RSS_MEANINGFUL)


@pytest.mark.parametrize("name", SCENARIOS)
def test_memory_does_not_grow(name, capfd):
    entry, fn, expected = SCENARIOS[name]
    args = ENTRIES[entry].args()
    for _ in range(WARMUP):
        _call(fn, args, expected)
    traced, rss = _growth(lambda: _call(fn, args, expected))
    if _over(traced, rss):
        # Memory the interpreter takes once (a cache that earlier tests left
        # part full, say) can land in one window; a leak of ours grows in
        # every window of the same length, so the next one decides.
        traced, rss = _growth(lambda: _call(fn, args, expected))
    capfd.readouterr()  # the fault scenarios print one line per call
    assert traced < TRACED_BOUND, f"traced heap grew by {traced} bytes"
    assert rss < RSS_BOUND or not RSS_MEANINGFUL, f"resident set grew by {rss} bytes"


_DELIBERATE_LEAK = """
import test_leaks as t
values = t.ENTRIES["continuous_series"].args()["values"]
kept = []
for _ in range(2):
    print(*t._growth(lambda: kept.append(t.CTS(values, t.HOUR, "discharge"))))
"""


def test_bounds_would_catch_a_leak():
    # The same measurement on a deliberate leak of one input copy per call,
    # over the bounds in the first window and in the second. In a process of
    # its own: free heap that earlier tests left resident (the free-threaded
    # build keeps more) can take in such a leak without a page more.
    run = subprocess.run([sys.executable, "-c", _DELIBERATE_LEAK], env=child_env(),
                         capture_output=True, text=True, check=True)
    windows = run.stdout.splitlines()
    assert len(windows) == 2, run.stdout
    for line in windows:
        traced, rss = map(int, line.split())
        assert traced >= TRACED_BOUND and (rss >= RSS_BOUND or not RSS_MEANINGFUL)
    # And a leak of a single small object per call.
    kept = []
    tracemalloc.start()
    try:
        traced0 = tracemalloc.get_traced_memory()[0]
        for i in range(ITERATIONS):
            kept.append(float(i) + 0.5)
        traced = tracemalloc.get_traced_memory()[0] - traced0
    finally:
        tracemalloc.stop()
    assert traced >= TRACED_BOUND
