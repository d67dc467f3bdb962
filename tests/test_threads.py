"""Concurrent use of shared objects from many threads.

Results computed while other threads use the same series, curves, outlets
and reservoir configurations must equal the single-threaded ones bit for
bit. A reader racing a setter of LinearReservoir sees one of the values that
was set, never a torn one; the only other allowed outcome of such a race is
the documented RuntimeError. Under the global interpreter lock no race is
possible, so there the count of RuntimeErrors must be zero.
"""

import importlib.machinery
import importlib.util
import random
import sys
import threading
import time
from datetime import timedelta

import pytest

import basinkit
from cases import CTS, HOUR, ITS, LR, RU
from catalogue import ENTRIES, same

THREADS = 8
ROUNDS = 40
GIL = getattr(sys, "_is_gil_enabled", lambda: True)()
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}


def _run_threads(worker, n=THREADS):
    barrier = threading.Barrier(n)
    errors = []

    def body(i):
        try:
            barrier.wait()
            worker(i)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def _race(write, read, n=THREADS):
    """Thread 0 calls write(1), write(2), ... until a reader (or the writer)
    ends; the other threads run read."""
    stop = threading.Event()

    def worker(i):
        try:
            if i == 0:
                k = 0
                while not stop.is_set():
                    k += 1
                    write(k)
            else:
                read()
        finally:
            if i <= 1:
                stop.set()

    return _run_threads(worker, n)


def test_shared_objects_give_single_threaded_results():
    # Every call of the catalogue that leaves its arguments as they were,
    # each on one set of arguments shared by all threads.
    jobs = {name: (e, e.args()) for name, e in ENTRIES.items() if not e.mutates}
    expected = {name: e.run(args) for name, (e, args) in jobs.items()}
    mismatches = []

    def worker(i):
        rng = random.Random(i)
        names = list(jobs)
        for _ in range(ROUNDS):
            rng.shuffle(names)
            for name in names:
                entry, args = jobs[name]
                if not same(entry.run(args), expected[name]):
                    mismatches.append(name)

    errors = _run_threads(worker)
    assert not errors, errors[:3]
    assert not mismatches, sorted(set(mismatches))


def test_reservoir_setters_race_readers_without_tearing():
    rain = ENTRIES["baseflow"].args(300)["rain"]
    res = LR(timedelta(hours=20), 0.1, 1.0, 2)
    fractions = [0.1, 0.2, 0.3, 0.4, 0.5]
    counts = [1, 2, 3]
    # Every combination a reader may copy: each attribute is set on its own.
    expected = {}
    for f in fractions:
        for n in counts:
            expected[(f, n)] = basinkit.baseflow.run_linear_reservoir(
                640.0, rain, {"a": LR(timedelta(hours=20), f, 1.0, n)})[0].data
    conflicts = []
    bad = []

    def attempt(fn):
        try:
            return fn()
        except RuntimeError as exc:
            if str(exc) not in BORROW_MESSAGES:
                raise
            conflicts.append(str(exc))
            return None

    def writer(i):
        attempt(lambda: setattr(res, "gw_fraction", fractions[i % len(fractions)]))
        attempt(lambda: setattr(res, "num_reservoir", counts[i % len(counts)]))

    def reader():
        for _ in range(ROUNDS * 10):
            f = attempt(lambda: res.gw_fraction)
            if f is not None and f not in fractions:
                bad.append(("gw_fraction", f))
            n = attempt(lambda: res.num_reservoir)
            if n is not None and n not in counts:
                bad.append(("num_reservoir", n))
            if attempt(lambda: res.initial_q) not in (None, 1.0):
                bad.append("initial_q")
            out = attempt(lambda: basinkit.baseflow.run_linear_reservoir(640.0, rain,
                                                                        {"a": res}))
            if out is not None and not any(out[0].data == v for v in expected.values()):
                bad.append("baseflow from a torn copy")

    errors = _race(writer, reader)
    assert not errors, errors[:3]
    assert not bad, bad[:5]
    if GIL:
        assert not conflicts
    print(f"borrow conflicts seen: {len(conflicts)} ({set(conflicts)})")


def test_a_conflict_message_is_one_of_the_documented_two():
    # Exercised for real only without the GIL; here the flag's messages are
    # checked through a reader racing a writer for a short while.
    res = LR(timedelta(hours=20), 0.1, 1.0, 2)
    seen = set()

    def worker(i):
        for k in range(2000):
            try:
                if i % 2:
                    res.gw_fraction = (k % 10) / 10
                else:
                    res.gw_fraction  # noqa: B018 - the read is the point
            except RuntimeError as exc:
                seen.add(str(exc))

    assert not _run_threads(worker, 4)
    assert seen <= BORROW_MESSAGES
    if GIL:
        assert not seen


def test_stand_alone_modules_loaded_concurrently_share_the_class_objects():
    path = basinkit.__file__
    loaded = []

    def worker(i):
        name = ["init_reservoir", "init_baseflow"][i % 2]
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        spec = importlib.util.spec_from_file_location(name, path, loader=loader)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        loaded.append(module)

    assert not _run_threads(worker)
    for m in loaded:
        if hasattr(m, "LinearReservoir"):
            assert m.LinearReservoir is LR
        else:
            assert m.reservoir_utils.ElevationStorage is RU.ElevationStorage


def test_arguments_mutated_by_another_thread_convert_to_some_consistent_state():
    # A list and a dict changed by one thread while other threads pass them in.
    values = [1.0] * 50
    layers = {"a": LR(timedelta(hours=20), 0.3, 0.0)}
    rain = ITS([0.1] * 20, HOUR, "rainfall")
    bad = []

    def mutate(i):
        if i % 3 == 0:
            values.append(2.0)
        elif values:
            values.pop()
        values[: min(len(values), 5)] = [3.0] * min(len(values), 5)
        layers[f"k{i % 4}"] = LR(timedelta(hours=20), 0.1, 0.0)
        layers.pop(f"k{(i + 2) % 4}", None)

    def use():
        for _ in range(ROUNDS * 5):
            data = CTS(values, HOUR, "discharge").data
            if not set(data) <= {1.0, 2.0, 3.0}:
                bad.append(data[:5])
            total, parts = basinkit.baseflow.run_linear_reservoir(640.0, rain, layers)
            if not set(parts) <= {"a", "k0", "k1", "k2", "k3"} or len(total.data) != 20:
                bad.append(sorted(parts))

    errors = _race(mutate, use, 4)
    assert not errors, errors[:3]
    assert not bad, bad[:3]


class _Number:
    """An element converted by Python code, outside the list's lock."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def _list_state(k, n):
    # State k is the run 1000k, 1000k + 1, ... of length n, as floats, ints or
    # objects with __float__; appending the next number or popping the last
    # keeps it a run, so any copy that is not one mixes two states.
    values = [1000.0 * k + i for i in range(n)]
    return [values, [int(v) for v in values], [_Number(v) for v in values]][k % 3]


def _is_a_state(data):
    return (len(data) >= 1 and data[0] % 1000 == 0
            and data == [data[0] + i for i in range(len(data))])


@pytest.mark.skipif(GIL, reason="with the GIL a list is never changed while it is converted")
def test_a_list_resized_and_rewritten_meanwhile_is_read_as_one_of_its_states():
    shared = _list_state(0, 40)
    bad = []

    def writer(k):
        shared[:] = _list_state(k, 10 + k % 90)
        for step in range(12):
            if step % 3 == 2 and len(shared) > 1:
                shared.pop()
            else:
                shared.append(1000.0 * k + len(shared))

    def reader():
        # A time budget, not a count: a torn copy shows up about once in a
        # hundred reads on two cores, so a few thousand reads are needed.
        end = time.monotonic() + 1.5
        while time.monotonic() < end:
            data = CTS(shared, HOUR, "discharge").data
            if not _is_a_state(data):
                bad.append(data)

    errors = _race(writer, reader, 4)
    assert not errors, errors[:3]
    assert not bad, [(len(d), d[:3], d[-3:]) for d in bad[:3]]


@pytest.mark.skipif(GIL, reason="with the GIL no thread writes the inflow during the call")
def test_lag_reads_each_inflow_value_once_while_another_thread_rewrites_them():
    # The caller's array is read in place: each inflow feeds two outflows, and
    # both must see the same value of it, whichever one that was.
    np = pytest.importorskip("numpy")
    from basinkit_model import _native

    n, dt, lag = 100_000, 900, timedelta(seconds=2160)  # 2.4 steps
    steps = lag.total_seconds() / dt
    f = steps - np.floor(steps)
    g = 1.0 - f
    m = int(np.floor(steps))
    shared = np.zeros(n)
    mixes = {0.0: (0, 0), g: (1, 0), f: (0, 1), g + f: (1, 1)}  # g * x + f * y
    bad = []

    def writer(k):
        shared[:] = float(k % 2)

    def reader():
        end = time.monotonic() + 1.5
        while time.monotonic() < end and not bad:
            out = np.frombuffer(_native.lag(shared, dt, lag))[m + 1:]
            if not np.isin(out, list(mixes)).all():
                bad.append("a value no mix of two inflows gives")
                break
            x = (out == g) | (out == g + f)
            y = (out == f) | (out == g + f)
            if (x[:-1] != y[1:]).any():
                bad.append(f"inflow read twice, differently, at {int(np.argmax(x[:-1] != y[1:]))}")

    errors = _race(writer, reader, 3)
    assert not errors, errors[:3]
    assert not bad, bad[:3]
