"""Series of millions of values: their buffers are reused from call to call
(and from thread to thread), so a result must never carry anything of an
earlier one. Each model's leading values depend only on the leading inputs,
so the head of a long result must equal the result of a short series, which
is too small to take a reused buffer.
"""

import queue
import threading
from datetime import timedelta

import numpy as np
import pytest

import basinkit

CTS = basinkit.utils.ContinuousTimeSeries
ITS = basinkit.utils.IncrementalTimeSeries
H = timedelta(hours=1)
LONG = 700_000  # 5.6 MB of doubles: whole huge pages
MEDIUM = 60_000  # 480 kB: reused too, by 64 kB
SHORT = 2_000  # too small to be reused


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def hydrograph(n, seed):
    rng = np.random.default_rng(seed)
    return 100.0 + 900.0 * rng.random(n)


def rain(n, seed):
    rng = np.random.default_rng(seed)
    depth = rng.gamma(0.6, 0.05, n)
    depth[rng.random(n) < 0.5] = 0.0
    return depth


def muskingum(values, passes=3):
    return basinkit.reach.run_muskingum_routing(
        CTS(values, H, "discharge"), timedelta(hours=5), 0.2, passes, float(values[0]))


def loss(values):
    r = basinkit.rainfall_loss.run_deficit_and_constant(
        ITS(values, H, "rainfall"), 0.4, 1.5, 0.05, timedelta(hours=30))
    return [r.excess, r.loss, r.deficit]


def baseflow(values):
    layers = {
        "fast": basinkit.baseflow.LinearReservoir(timedelta(hours=12), 0.3, 5.0, 3),
        "slow": basinkit.baseflow.LinearReservoir(timedelta(days=20), 0.4, 50.0, 2),
    }
    total, parts = basinkit.baseflow.run_linear_reservoir(2000.0, ITS(values, H, "rainfall"), layers)
    return [total, parts["fast"], parts["slow"]]


def clark(values):
    return basinkit.rainfall_transform.run_clark_uh(
        ITS(values, H, "rainfall"), 3000.0, timedelta(hours=6), timedelta(hours=4))


MODELS = [
    pytest.param(muskingum, hydrograph, id="muskingum"),
    pytest.param(loss, rain, id="deficit-and-constant"),
    pytest.param(baseflow, rain, id="baseflow"),
    # Clark's head covers the first rainfall values' whole unit hydrograph.
    pytest.param(clark, rain, id="clark"),
]


def heads(long_result, short_result):
    longs = long_result if isinstance(long_result, list) else [long_result]
    shorts = short_result if isinstance(short_result, list) else [short_result]
    return [(bits(a)[:SHORT], bits(b)[:SHORT]) for a, b in zip(longs, shorts)]


@pytest.mark.parametrize("n", [MEDIUM, LONG])
@pytest.mark.parametrize("model, data", MODELS)
def test_reused_buffers_carry_nothing_over(model, data, n):
    # Several calls with different inputs, each result checked after the
    # buffers of the calls before it were freed and handed out again.
    for seed in range(4):
        values = data(n, seed)
        for ours, expected in heads(model(values), model(values[:SHORT])):
            assert np.array_equal(ours, expected)


def test_results_outlive_and_cross_threads():
    made = queue.Queue()
    expected = {seed: bits(muskingum(hydrograph(LONG, seed))) for seed in range(6)}

    def producer(seeds):
        for seed in seeds:
            made.put((seed, muskingum(hydrograph(LONG, seed))))

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
    assert np.array_equal(bits(muskingum(hydrograph(LONG, 0))), expected[0])


def test_concurrent_long_calls_are_exact():
    inputs = [hydrograph(LONG, seed) for seed in range(4)]
    expected = [bits(muskingum(q, 5)) for q in inputs]
    errors = []

    def work(i):
        try:
            for round_ in range(3):
                k = (i + round_) % len(inputs)
                if not np.array_equal(bits(muskingum(inputs[k], 5)), expected[k]):
                    errors.append(f"thread {i}, round {round_}: result differs")
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
