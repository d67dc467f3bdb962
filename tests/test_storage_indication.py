"""Storage-indication routing: the private native routine against an
independent model, its volume balance and errors, and the basin-model layer's
reservoirs that use it."""

import math
import random

import numpy as np
import pytest

pytest.importorskip("pandas")
from basinkit_model import _native  # noqa: E402

from reference import storage_indication as ref  # noqa: E402

E = [1000.0 + i for i in range(25)]
S = [2e7 * i + 1.5e6 * i * i for i in range(25)]
THREE = {
    "spillway": ("spillway", E, [180.0 * max(i - 12, 0) ** 1.5 for i in range(25)], None),
    "gate": ("gate", E, [400.0 * i**0.5 for i in range(25)], 1002.0, None, 1500.0),
    "minimum_flow": ("constant", 100.0, 1001.0, None),
}


def flood(n, dt=3600):
    x = np.arange(n) * (dt / (48.0 * 3600.0))
    return 200.0 + 6000.0 * x * x * np.exp(2.0 - 2.0 * x)


def route(inflow, dt, e0, elevations, storages, outlets):
    s, e, q, per = _native.storage_indication(inflow, dt, e0, elevations, storages, outlets)
    unpack = lambda b: np.frombuffer(b, dtype=np.float64)  # noqa: E731
    return unpack(s), unpack(e), unpack(q), {k: unpack(v) for k, v in per.items()}


def random_reservoir(rng):
    """A pool whose N(E) never falls: outlets without a maximum elevation."""
    n = rng.randint(2, 8)
    e = [100.0]
    s = [0.0 if rng.random() < 0.7 else 1e4]
    for _ in range(n - 1):
        e.append(e[-1] + rng.uniform(0.3, 3.0))
        s.append(s[-1] + rng.uniform(1e6, 2e7))
    outlets = {}
    for k in range(rng.randint(0, 4)):
        kind = rng.choice(["spillway", "gate", "constant", "schedule"])
        xs = [e[0] + rng.uniform(-1.0, 1.0)]
        for _ in range(rng.randint(1, 4)):
            xs.append(xs[-1] + rng.uniform(1.0, 8.0))
        xs.append(e[-1] + 50.0)  # the ratings reach above the pool
        qs = [0.0 if rng.random() < 0.5 else rng.uniform(0.0, 20.0)]
        for _ in xs[1:]:
            qs.append(qs[-1] + rng.uniform(0.0, 400.0))
        lo = rng.choice([None, rng.uniform(e[0], e[-1])])
        cap = rng.choice([None, rng.uniform(10.0, 300.0)])
        if kind == "spillway":
            outlets[f"o{k}"] = ("spillway", xs, qs, rng.choice([None, rng.uniform(-1.0, 1.0)]))
        elif kind == "gate":
            outlets[f"o{k}"] = ("gate", xs, qs, lo, None, cap)
        elif kind == "constant":
            outlets[f"o{k}"] = ("constant", rng.uniform(0.0, 60.0), lo, None)
        else:
            values = [rng.uniform(0.0, 80.0) for _ in range(120)]
            outlets[f"o{k}"] = ("schedule", values, 1800, lo, None, cap)
    return e, s, outlets


@pytest.mark.parametrize("seed", range(40))
def test_native_agrees_with_bisection_model(seed):
    rng = random.Random(seed)
    e, s, outlets = random_reservoir(rng)
    dt = rng.choice([600, 3600])
    n = rng.randint(2, 48)
    peak = rng.uniform(10.0, 600.0)
    inflow = [peak * math.exp(-(((k - n / 3) / (n / 6 + 1)) ** 2)) + 5.0 for k in range(n)]
    e0 = rng.uniform(e[0] + 0.3 * (e[-1] - e[0]), e[0] + 0.6 * (e[-1] - e[0]))
    want = ref.route(inflow, dt, e0, e, s, outlets)
    if want is None:  # the pool leaves the curve: both refuse the event
        with pytest.raises(ValueError, match="is outside the range"):
            route(inflow, dt, e0, e, s, outlets)
        return
    got = route(inflow, dt, e0, e, s, outlets)
    scale = max(s)
    np.testing.assert_allclose(got[0], want[0], rtol=0, atol=1e-7 * scale)
    np.testing.assert_allclose(got[1], want[1], rtol=0, atol=1e-6)
    np.testing.assert_allclose(got[2], want[2], rtol=0, atol=1e-7 * scale / dt)


@pytest.mark.parametrize("dt", [60, 900, 3600, 6 * 3600])
def test_volume_balances_every_step(dt):
    inflow = flood(30 * 86400 // dt + 1, dt)
    s, _, q, per = route(inflow, dt, 1005.0, E, S, THREE)
    change = np.diff(s)
    moved = ((inflow[:-1] + inflow[1:]) - (q[:-1] + q[1:])) * 0.5 * dt
    assert np.max(np.abs(change - moved)) <= 1e-13 * np.max(s)
    assert np.array_equal(q, per["spillway"] + per["gate"] + per["minimum_flow"])


@pytest.mark.parametrize(
    "outlets, inflow, e0, error, message",
    [
        ({}, [1e6] * 4, 1020.0, ValueError, "`storage` 4600000000 is outside the range"),
        (
            {"weir": ("spillway", [1000.0, 1008.0], [0.0, 50.0], 1.0)},
            [1e4] * 5,
            1005.0,
            ValueError,
            "is above the maximum of the elevation-discharge curve (1008).",
        ),
        (
            {"r": ("schedule", [10.0, 10.0], 3600, None, None, None)},
            [0.0] * 4,
            1005.0,
            ValueError,
            "simulation duration 7200s exceeds the specified discharge series length (3600s).",
        ),
        ({}, [0.0], 999.0, ValueError, "`elevation` 999 is outside the range"),
        ({"x": 5}, [0.0], 1005.0, TypeError, "argument 'outlets': an outlet is a tuple"),
        ({"x": ("weir", 1.0)}, [0.0], 1005.0, TypeError, "unknown outlet kind 'weir'"),
        ({"x": ("constant", 1.0)}, [0.0], 1005.0, TypeError, "tuple of 4 items, got 2"),
        (
            {"x": ("gate", [2.0, 1.0], [0.0, 1.0], None, None, None)},
            [0.0],
            1005.0,
            ValueError,
            "`elevation` must must be sorted",
        ),
        ({}, [], 1005.0, ValueError, "`inflow` has no values"),
    ],
)
def test_errors(outlets, inflow, e0, error, message):
    with pytest.raises(error) as info:
        route(inflow, 3600, e0, E, S, outlets)
    assert message in str(info.value)
