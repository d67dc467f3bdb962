"""Memory and reference counts across many calls of every entry point.

Each scenario is one call, on a success path or a failure path. Run a few
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

import numpy as np
import pytest

import basinkit

# Heap, resident set and reference counts are the process's: a test running
# beside its own copy on another thread would measure that copy too.
pytestmark = pytest.mark.thread_unsafe(reason="measures process-wide memory and reference counts")

CTS = basinkit.utils.ContinuousTimeSeries
ITS = basinkit.utils.IncrementalTimeSeries
LR = basinkit.baseflow.LinearReservoir
RU = basinkit.reservoir.reservoir_utils
H = timedelta(hours=1)

# Inputs of a thousand values: a leaked copy of one is 8 KB per call, far
# above the resident-set bound below.
VALUES = [((i * 7) % 13) * 0.25 for i in range(1000)]
RAIN = [0.0 if i % 3 else 0.1 * (i % 7) for i in range(1000)]
ITERATIONS = 2000
WARMUP = 500
# Growth allowed over ITERATIONS calls: 16 bytes a call on the traced heap,
# less than the smallest object (a leaked float is 24 bytes), and far less
# than one leaked input copy a call (8 KB) in the resident set.
TRACED_BOUND = 32 * 1024
RSS_BOUND = 2 * 1024 * 1024
# AddressSanitizer keeps freed memory in quarantine, so the resident set of a
# sanitized run says nothing about leaks (scripts/sanitize.sh sets this).
RSS_MEANINGFUL = not os.environ.get("BASINKIT_SANITIZED")


def _make():
    """The argument objects, built once per scenario run."""
    flow = CTS(VALUES, H, "discharge")
    rain = ITS(RAIN, H, "rainfall")
    r1 = LR(timedelta(hours=10), 0.4, 1.0, 2)
    r2 = LR(timedelta(hours=30), 0.5, 0.0)
    curve = RU.ElevationStorage([100.0, 110.0, 120.0], [0.0, 1e6, 3e6])
    rating = RU.ElevationDischarge([100.0, 105.0, 120.0], [0.0, 50.0, 400.0])
    short = CTS([10.0, 40.0, 80.0, 30.0, 10.0] * 4, timedelta(minutes=1), "discharge")
    outlets = {
        "spill": RU.UnControlledDischargeInfo(rating, elevation_offset=-1.0),
        "gate": RU.ControlledDischargeInfo(rating, maximum_release=30.0),
        "pump": RU.ConstantDischargeInfo(5.0, minimum_elevation=101.0),
        "plan": RU.SpecifiedDischargeInfo(CTS([1.0, 2.0], timedelta(hours=2), "discharge")),
    }
    return dict(flow=flow, rain=rain, r1=r1, r2=r2, curve=curve, rating=rating, short=short,
                outlets=outlets, values=list(VALUES), array=np.array(VALUES))


def _read_all(obj, names):
    for n in names:
        getattr(obj, n)


def _level_pool(a):
    res = basinkit.reservoir.run_level_pool_routing(a["short"], 101.0, a["curve"], a["outlets"])
    _read_all(res, ["reservoir_storage", "reservoir_elevation", "reservoir_total_outflow",
                    "reservoir_individual_outflows"])


def _loss(a):
    res = basinkit.rainfall_loss.run_deficit_and_constant(a["rain"], 0.5, 1.0, 0.1,
                                                          timedelta(hours=10))
    _read_all(res, ["excess", "loss", "deficit"])


def _set_reservoir(a):
    a["r1"].gw_fraction = 0.3
    a["r1"].initial_q = 2.0
    a["r1"].num_reservoir = 3
    return a["r1"].gw_fraction, a["r1"].num_reservoir, a["r1"].k_duration


def _outlet_reads(a):
    for o in a["outlets"].values():
        for name in dir(o):
            if not name.startswith("_"):
                getattr(o, name)


# name -> (call taking the argument dict, argument keys to watch, expected exception)
SCENARIOS = {
    "series_new": (lambda a: CTS(a["values"], H, "discharge"), ["values"], None),
    "series_new_numpy": (lambda a: ITS(a["array"], H, "volume"), ["array"], None),
    "series_new_bad_kind": (lambda a: CTS(a["values"], H, "Discharge"), ["values"], ValueError),
    "series_new_bad_item": (lambda a: CTS(a["values"] + ["x"], H, "volume"), ["values"],
                            TypeError),
    "series_new_negative_step": (lambda a: ITS(a["values"], timedelta(-1), "rainfall"),
                                 ["values"], ValueError),
    "series_reads": (lambda a: (a["flow"].data, a["flow"].time_step, a["flow"].kind,
                                a["flow"].total_duration(), bytes(a["flow"])), ["flow"], None),
    "disaggregate": (lambda a: a["rain"].disaggregate(1800), ["rain"], None),
    "disaggregate_bad": (lambda a: a["rain"].disaggregate(1000), ["rain"], ValueError),
    "loss": (_loss, ["rain"], None),
    "loss_bad_float": (lambda a: basinkit.rainfall_loss.run_deficit_and_constant(
        a["rain"], 0.5, "1.0", 0.1, H), ["rain"], TypeError),
    "loss_negative_duration": (lambda a: basinkit.rainfall_loss.run_deficit_and_constant(
        a["rain"], 0.5, 1.0, 0.1, -H), ["rain"], ValueError),
    "clark": (lambda a: basinkit.rainfall_transform.run_clark_uh(
        a["rain"], 640.0, timedelta(hours=3), timedelta(hours=2)), ["rain"], None),
    "clark_bad": (lambda a: basinkit.rainfall_transform.run_clark_uh(
        a["rain"], 640.0, H, 5), ["rain"], TypeError),
    "reservoir_new": (lambda a: LR(timedelta(hours=5), 0.5, 1.0, 3), [], None),
    "reservoir_new_bad": (lambda a: LR(timedelta(hours=5), 1.5, 1.0), [], ValueError),
    "reservoir_set": (_set_reservoir, ["r1"], None),
    "reservoir_set_bad": (lambda a: setattr(a["r1"], "num_reservoir", -1), ["r1"],
                          OverflowError),
    "baseflow": (lambda a: basinkit.baseflow.run_linear_reservoir(
        640.0, a["rain"], {"a": a["r1"], "b": a["r2"]}), ["rain", "r1", "r2"], None),
    "baseflow_bad_value": (lambda a: basinkit.baseflow.run_linear_reservoir(
        640.0, a["rain"], {"a": a["r1"], "b": 5}), ["rain", "r1"], TypeError),
    "baseflow_bad_fraction": (lambda a: basinkit.baseflow.run_linear_reservoir(
        640.0, a["rain"], {"a": a["r1"], "b": a["r2"], "c": a["r2"]}),
        ["rain", "r1", "r2"], ValueError),
    "muskingum": (lambda a: basinkit.reach.run_muskingum_routing(
        a["flow"], timedelta(hours=2), 0.2, 3, 100.0), ["flow"], None),
    "muskingum_warning_error": (lambda a: basinkit.reach.run_muskingum_routing(
        a["flow"], timedelta(hours=2), 0.7, 3, 100.0), ["flow"], UserWarning),
    "muskingum_bad": (lambda a: basinkit.reach.run_muskingum_routing(
        a["flow"], timedelta(hours=2), 0.2, "3", 100.0), ["flow"], TypeError),
    "kge": (lambda a: basinkit.metrics.calculate_kge(a["values"], a["array"], use_log=True),
            ["values", "array"], None),
    "kge_mismatch": (lambda a: basinkit.metrics.calculate_kge(a["values"], a["values"][:-1]),
                     ["values"], ValueError),
    "kge_bad_flag": (lambda a: basinkit.metrics.calculate_kge(a["values"], a["values"], 1),
                     ["values"], TypeError),
    "curve_new": (lambda a: RU.ElevationStorage(a["values"][:1], a["values"][1:2]),
                  ["values"], None),
    "curve_new_bad": (lambda a: RU.ElevationDischarge(a["values"], a["values"]), ["values"],
                      ValueError),
    "curve_lookup": (lambda a: (a["curve"].get_storage(105.0), a["curve"].get_elevation(2e6),
                                a["curve"].elevation, a["rating"].discharge),
                     ["curve", "rating"], None),
    "curve_lookup_outside": (lambda a: a["curve"].get_storage(99.0), ["curve"], ValueError),
    "curve_lookup_fault": (lambda a: a["curve"].get_elevation(math.nan), ["curve"],
                           BaseException),
    "outlet_new": (lambda a: (RU.ControlledDischargeInfo(a["rating"], 90.0, 130.0, 10.0),
                              RU.SpecifiedDischargeInfo(a["flow"], maximum_release=3.0)),
                   ["rating", "flow"], None),
    "outlet_new_bad": (lambda a: RU.UnControlledDischargeInfo(a["curve"]), ["curve"],
                       TypeError),
    "outlet_reads": (_outlet_reads, ["outlets"], None),
    "level_pool": (_level_pool, ["short", "curve", "outlets"], None),
    "level_pool_bad_outlet": (lambda a: basinkit.reservoir.run_level_pool_routing(
        a["short"], 101.0, a["curve"], {"x": a["rating"]}), ["short", "curve", "rating"],
        TypeError),
    "level_pool_outside": (lambda a: basinkit.reservoir.run_level_pool_routing(
        a["short"], 99.0, a["curve"], a["outlets"]), ["short", "curve", "outlets"], ValueError),
    "level_pool_fault": (lambda a: basinkit.reservoir.run_level_pool_routing(
        CTS([], H, "discharge"), 101.0, a["curve"], a["outlets"]), ["curve", "outlets"],
        BaseException),
}


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


def _watched(args, keys):
    """The argument objects and everything directly inside them."""
    objs = []
    for k in keys:
        o = args[k]
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
    fn, keys, expected = SCENARIOS[name]
    args = _make()
    _call(fn, args, expected)
    objs = _watched(args, keys)
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
    fn, _, expected = SCENARIOS[name]
    args = _make()
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
import sys
sys.path.insert(0, sys.argv[1])
import test_leaks as t
kept = []
for _ in range(2):
    print(*t._growth(lambda: kept.append(t.CTS(t.VALUES, t.H, "discharge"))))
"""


def test_bounds_would_catch_a_leak():
    # The same measurement on a deliberate leak of one input copy per call,
    # over the bounds in the first window and in the second. In a process of
    # its own: free heap that earlier tests left resident (the free-threaded
    # build keeps more) can take in such a leak without a page more.
    run = subprocess.run([sys.executable, "-c", _DELIBERATE_LEAK, os.path.dirname(__file__)],
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
