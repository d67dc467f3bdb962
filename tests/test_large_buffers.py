"""Series of millions of values: their buffers are reused from call to call
(and from thread to thread), so a result must never carry anything of an
earlier one. Each model's leading values depend only on the leading inputs,
so the head of a long result must equal the result of a short series, which
is too small to take a reused buffer.
"""

import queue
import threading

import numpy as np
import pytest

from catalogue import ENTRIES, plain

LONG = 700_000  # 5.6 MB of doubles: whole huge pages
MEDIUM = 60_000  # 480 kB: reused too, by 64 kB
SHORT = 2_000  # too small to be reused
# Clark's head covers the first rainfall values' whole unit hydrograph.
MODELS = ["muskingum", "deficit_and_constant", "baseflow", "clark"]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def float_series(result):
    """Every series of a plain result, in order."""
    if result and all(isinstance(v, float) for v in result):
        return [result]
    return [s for part in result if isinstance(part, tuple) for s in float_series(part)]


def muskingum(seed, passes=3):
    entry = ENTRIES["muskingum"]
    return bits(entry.run(entry.args(LONG, passes, seed)))


@pytest.mark.parametrize("n", [MEDIUM, LONG])
@pytest.mark.parametrize("name", MODELS)
def test_reused_buffers_carry_nothing_over(name, n):
    # Several calls with different inputs, each result checked after the
    # buffers of the calls before it were freed and handed out again.
    entry = ENTRIES[name]
    for seed in range(4):
        values = entry.data(n, seed)
        long = float_series(plain(entry.call(entry.make(values, entry.small[1]))))
        short = float_series(plain(entry.call(entry.make(values[:SHORT], entry.small[1]))))
        assert len(long) == len(short) > 0
        for ours, expected in zip(long, short):
            assert np.array_equal(bits(ours)[:SHORT], bits(expected)[:SHORT])


def test_results_outlive_and_cross_threads():
    made = queue.Queue()
    entry = ENTRIES["muskingum"]
    expected = {seed: muskingum(seed) for seed in range(6)}

    def producer(seeds):
        for seed in seeds:
            made.put((seed, entry.call(entry.args(LONG, 3, seed))))

    # Results made on threads that end before the results are read, then
    # freed on this one (and their buffers reused here).
    threads = [threading.Thread(target=producer, args=(range(i, 6, 3),)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = []
    while not made.empty():
        got.append(made.get())
    assert sorted(seed for seed, _ in got) == list(range(6))
    for seed, series in got:
        assert np.array_equal(bits(series), expected[seed])
    del got, series
    assert np.array_equal(muskingum(0), expected[0])


def test_concurrent_long_calls_are_exact():
    entry = ENTRIES["muskingum"]
    inputs = [entry.args(LONG, 5, seed) for seed in range(4)]
    expected = [bits(entry.run(args)) for args in inputs]
    errors = []

    def work(i):
        try:
            for round_ in range(3):
                k = (i + round_) % len(inputs)
                if not np.array_equal(bits(entry.run(inputs[k])), expected[k]):
                    errors.append(f"thread {i}, round {round_}: result differs")
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
