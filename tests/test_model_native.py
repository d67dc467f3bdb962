"""basinkit_model._native: every series bit for bit the public call's, and the
extra quantities closing the volume accounts they exist for."""

from __future__ import annotations

import inspect
import re
import signal
import subprocess
import sys
import threading
import time
from datetime import timedelta

import pytest

from cases import child_env

np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")

from basinkit import baseflow, rainfall_transform, reach, reservoir, utils  # noqa: E402
from basinkit_model import _native  # noqa: E402
from basinkit_model._transform_methods import SNYDER_US  # noqa: E402

ru = reservoir.reservoir_utils
SEEDS = [1, 2, 3]
H = timedelta(hours=1)


def same(packed: bytes, public) -> bool:
    """Bit-for-bit equality of packed doubles and a public series."""
    return packed == np.asarray(public, dtype=np.float64).tobytes()


def trapezoid(values, dt: float) -> float:
    return dt * (0.5 * values[0] + float(np.sum(values[1:-1])) + 0.5 * values[-1]) if len(values) > 1 else 0.0


def series(values, seconds: int, kind: str = "discharge"):
    made = utils.IncrementalTimeSeries if kind == "rainfall" else utils.ContinuousTimeSeries
    return made(values, timedelta(seconds=seconds), kind)


E = [100.0 + i for i in range(11)]
S = [2.0e5 * i * i + 1.0e6 * i for i in range(11)]
SPILL_Q = [0.0 if e < 105 else 40.0 * (e - 105) ** 1.5 for e in E]
GATE_Q = [30.0 * (e - 100.0) ** 0.5 for e in E]


@pytest.mark.parametrize("seed", SEEDS)
def test_level_pool(seed):
    rng = np.random.default_rng(seed)
    dt, offset, e0 = int(rng.choice([300, 900, 1800])), float(rng.uniform(-0.5, 0.5)), float(rng.uniform(104, 107))
    flood = rng.uniform(20.0, 900.0, int(rng.integers(3, 14))).tolist()
    inflow, plan = flood[:1] + flood, rng.uniform(0.0, 15.0, len(flood) + 1).tolist()  # padded as the layer does
    tuples = {
        "spill": ("spillway", E, SPILL_Q, offset),
        "gate": ("gate", E, GATE_Q, 101.0, None, 60.0),
        "floor": ("constant", 10.0, 100.5, None),
        "plan": ("schedule", plan, dt, None, 109.0, None),
    }
    public = {
        "spill": ru.UnControlledDischargeInfo(ru.ElevationDischarge(E, SPILL_Q), offset),
        "gate": ru.ControlledDischargeInfo(ru.ElevationDischarge(E, GATE_Q), 101.0, None, 60.0),
        "floor": ru.ConstantDischargeInfo(10.0, 100.5, None),
        "plan": ru.SpecifiedDischargeInfo(series(plan, dt), None, 109.0, None),
    }
    storage, elevation, total, per, released = _native.level_pool(inflow, dt, e0, E, S, tuples)
    pool = reservoir.run_level_pool_routing(series(inflow, dt), e0, ru.ElevationStorage(E, S), public)
    assert same(storage, pool.reservoir_storage) and same(elevation, pool.reservoir_elevation)
    assert same(total, pool.reservoir_total_outflow) and list(per) == list(tuples)
    assert all(same(per[k], v) for k, v in pool.reservoir_individual_outflows.items())
    # The pool never empties: what came in and was not released is stored. One
    # second's release (>= 70 ft3) is far above the tolerance.
    s = np.frombuffer(storage)
    assert s.min() > 0.0
    assert s[-1] - s[0] == pytest.approx(trapezoid(inflow[1:], dt) - released, rel=0, abs=1e-9 * S[-1])


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("sub_reaches", [1, 3, 9, 20])
def test_muskingum(seed, sub_reaches):
    rng = np.random.default_rng(seed)
    inflow = rng.uniform(0.0, 500.0, int(rng.integers(1, 40))).tolist()
    dt, x, start = 900, float(rng.uniform(0.0, 0.5)), float(rng.uniform(0.0, 100.0))
    k = timedelta(seconds=int(rng.integers(600, 20000)), microseconds=int(rng.integers(0, 10**6)))
    outflow, ends = _native.muskingum(inflow, dt, k, x, sub_reaches, start)
    assert same(outflow, reach.run_muskingum_routing(series(inflow, dt), k, x, sub_reaches, start))
    assert len(ends) == sub_reaches and ends[-1] == np.frombuffer(outflow)[-1]
    # Storage K_seg (x I + (1 - x) O) per sub-reach; every pass starts at `start`.
    k_seg = k.total_seconds() / sub_reaches
    first, last = [inflow[0]] + [start] * sub_reaches, [inflow[-1]] + ends
    change = sum(
        k_seg * (x * (last[p] - first[p]) + (1 - x) * (last[p + 1] - first[p + 1])) for p in range(sub_reaches)
    )
    volume = trapezoid(inflow, dt) - trapezoid(np.frombuffer(outflow), dt)
    assert change == pytest.approx(volume, rel=1e-9, abs=1e-9 * 500.0 * dt * len(inflow))


@pytest.mark.parametrize("seed", SEEDS)
def test_linear_reservoir(seed):
    rng = np.random.default_rng(seed)
    dt, area = 3600, float(rng.uniform(100.0, 5000.0))
    rain = rng.uniform(0.0, 0.3, int(rng.integers(0, 30))).tolist()
    # Chains of up to 4 reservoirs run fused, longer ones on their own.
    sizes = rng.choice([1, 2, 4, 6], size=3).tolist()
    layers = [(f"l{i}", int(rng.integers(4, 60)) * H, 0.3, float(rng.uniform(0, 20)), n) for i, n in enumerate(sizes)]
    total, per, chains = _native.linear_reservoir(area, rain, dt, layers)
    settings = {name: baseflow.LinearReservoir(k, f, q, n) for name, k, f, q, n in layers}
    pub_total, pub_per = baseflow.run_linear_reservoir(area, series(rain, dt, "rainfall"), settings)
    assert same(total, pub_total) and all(same(per[k], v) for k, v in pub_per.items())
    for name, k, fraction, q0, n in layers:
        # K Q in the last reservoir, (K - dt/2) Q in every other.
        k_s, end = k.total_seconds() / n, np.frombuffer(chains[name])
        assert len(end) == n and (not rain or end[-1] == np.frombuffer(per[name])[-1])
        held = lambda q: k_s * q[-1] + sum((k_s - dt / 2) * v for v in q[:-1])  # noqa: E731
        inflow = sum(area * 1.00833 * fraction * p * 3600 for p in rain)
        outflow = trapezoid([q0, *np.frombuffer(per[name])], dt)
        assert held(end) - held([q0] * n) == pytest.approx(inflow - outflow, rel=1e-9, abs=1e-9 * q0 * k_s)


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("r_hours", [0.1, 3.0, 40.0])
def test_clark(seed, r_hours):
    rng = np.random.default_rng(seed)
    dt, area = int(rng.choice([900, 3600])), float(rng.uniform(10.0, 9000.0))
    tc, r = timedelta(hours=float(rng.uniform(0.0, 12.0))), timedelta(hours=r_hours)
    excess = (rng.uniform(0.0, 1.0, int(rng.integers(1, 30))) * (rng.random(1) > 0.3)).tolist()
    runoff, tail = _native.clark(excess, dt, area, tc, r)
    assert same(runoff, rainfall_transform.run_clark_uh(series(excess, dt, "rainfall"), area, tc, r))
    unit = np.asarray(rainfall_transform.run_clark_uh(series([1.0], dt, "rainfall"), area, tc, r))
    c2 = (2.0 * r.total_seconds() - dt) / (dt + 2.0 * r.total_seconds())
    assert tail == (float(unit[-1]) * c2 / (1.0 - c2) if abs(c2) < 1.0 else 0.0)


# Each private call beside the public call that refuses the same values.
CURVE = ru.ElevationStorage(E, S)
ERRORS = [
    (lambda: _native.level_pool([1.0, 2.0], 3600, 99.0, E, S, {}),
     lambda: reservoir.run_level_pool_routing(series([1.0, 2.0], 3600), 99.0, CURVE, {})),
    (lambda: _native.level_pool([1.0], 3600, 101.0, [1.0, 0.0], [0.0, 1.0], {}),
     lambda: ru.ElevationStorage([1.0, 0.0], [0.0, 1.0])),
    (lambda: _native.clark([1.0], 0, 1.0, H, H), lambda: series([1.0], 0)),
    (lambda: _native.muskingum([1.0, 2.0], 60, H, 0.2, 0, 1.0),
     lambda: reach.run_muskingum_routing(series([1.0, 2.0], 60), H, 0.2, 0, 1.0)),
    (lambda: _native.muskingum([], 60, H, 0.2, 1, 1.0),
     lambda: reach.run_muskingum_routing(series([], 60), H, 0.2, 1, 1.0)),
    (lambda: _native.clark([1.0], 60, 1.0, -H, H),
     lambda: rainfall_transform.run_clark_uh(series([1.0], 60, "rainfall"), 1.0, -H, H)),
    (lambda: _native.linear_reservoir(1.0, [0.1], 60, [("a", H, 1.5, 0.0, 1)]),
     lambda: baseflow.LinearReservoir(H, 1.5, 0.0, 1)),
    (lambda: _native.linear_reservoir(1.0, [0.1], 10800, [("a", H, 0.5, 0.0, 1)]),
     lambda: baseflow.run_linear_reservoir(
         1.0, series([0.1], 10800, "rainfall"), {"a": baseflow.LinearReservoir(H, 0.5, 0.0, 1)})),
]  # fmt: skip


@pytest.mark.parametrize("private, public", ERRORS)
def test_errors_are_the_public_ones(private, public):
    with pytest.raises(Exception) as expected:
        public()
    with pytest.raises(type(expected.value), match="^" + re.escape(str(expected.value)) + "$"):
        private()


def test_x_out_of_range_warns_as_the_public_call():
    with pytest.warns(UserWarning, match="`x` is outside the recommended range"):
        _native.muskingum([1.0, 2.0], 3600, H, 0.7, 1, 1.0)


# Failures as the layer reports them: the public message, and the place as
# attributes that agree with it (the weir reads its rating 1 ft above the pool).
PLACES = [
    ({}, [1e6] * 4, 108.0, "storage", None),
    ({"weir": ("spillway", [100.0, 104.0], [0.0, 50.0], 1.0)}, [1e4] * 5, 101.0, "elevation", "weir"),
    ({"r": ("schedule", [10.0, 10.0], 3600, None, None, None)}, [0.0] * 4, 105.0, None, "r"),
    ({}, [0.0, 0.0], 99.0, "elevation", None),
]


@pytest.mark.parametrize("routine", ["level_pool", "storage_indication"])
@pytest.mark.parametrize("outlets, inflow, e0, quantity, outlet", PLACES)
def test_failures_carry_their_place(routine, outlets, inflow, e0, quantity, outlet):
    with pytest.raises(ValueError) as info:
        getattr(_native, routine)(inflow, 3600, e0, E, S, outlets)
    exc, message = info.value, str(info.value)
    assert (exc.quantity, exc.outlet) == (quantity, outlet)
    assert 0.0 <= exc.at_seconds <= 3600.0 * len(inflow)
    if quantity is None:  # a schedule read past its end
        assert exc.value is None
        assert exc.at_seconds == float(re.search(r"duration (\S+)s", message)[1])
    else:
        shown = float(re.search(r"(?:storage|elevation)`? (\S+) is", message)[1])
        assert exc.value + (1.0 if outlet else 0.0) == pytest.approx(shown, rel=1e-15)
    if e0 == 99.0:
        assert (exc.at_seconds, exc.value) == (0.0, 99.0)


def swing(points: int, steps: int, a: float = 100.0, dt: int = 3600):
    """Arguments of a pool that a schedule opening and shutting around the
    inflow swings across a third of its curve every two steps."""
    inflow = np.random.default_rng(0).uniform(a, 1000.0, steps).tolist()
    plan = [q - a if k // 2 % 2 == 0 else q + a for k, q in enumerate(inflow)]
    e, s = [100.0 + i for i in range(points)], [3.0 * a * dt * i / (points - 1) for i in range(points)]
    return inflow, dt, 100.0 + (points - 1) / 3.0, e, s, {"plan": ("schedule", plan, dt, None, None, None)}


SWING_CHILD = """
import signal
import numpy as np
from basinkit_model import _native
""" + inspect.getsource(swing) + """
signal.signal(signal.SIGINT, signal.default_int_handler)
args = swing(300_000, 100_000)  # most of a minute of walking the curve
print("ready", flush=True)
try:
    _native.storage_indication(*args)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print(repr(_native.storage_indication(*swing(30, 1000))), flush=True)
"""


def test_sigint_ends_a_long_storage_indication_and_the_next_call_is_exact():
    child = subprocess.Popen([sys.executable, "-c", SWING_CHILD], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=child_env())
    watchdog = threading.Timer(60, child.kill)  # a child deaf to the signal fails, not hangs
    watchdog.start()
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(0.5)  # the call is in its steps by now
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        assert child.stdout.readline() == "interrupted\n", child.stderr.read()
        assert time.perf_counter() - sent < 1.0
        assert child.stdout.readline().rstrip("\n") == repr(_native.storage_indication(*swing(30, 1000)))
    finally:
        watchdog.cancel()
        child.kill()
        child.wait()


# The natives that read each input value once take the caller's own float64
# buffer as it is, and copy anything else: both must give the same bits.
READ_ONCE = {
    "curve_number": lambda v: _native.curve_number(v, 75.0, 0.2, 5.0, 1.0),
    "initial_constant": lambda v: _native.initial_constant(v, 900, 0.3, 0.1, 5.0),
    "green_ampt": lambda v: _native.green_ampt(v, 900, 0.1, 0.4, 4.0, 0.05, 5.0),
    "nrcs_uh": lambda v: _native.nrcs_uh(v, 900, 5.0e6, H, True, 0.0),
    "user_uh": lambda v: _native.user_uh(v, 900, [0.0, 3.0, 1.0], 3600.0, True),
    "snyder_uh": lambda v: _native.snyder_uh(v, 900, 2.3232e7, 10.0, 2 * H, 0.6, *SNYDER_US),
    "lag": lambda v: _native.lag(v, 900, timedelta(seconds=2000)),
    "recession": lambda v: _native.recession(v, 900, 3.0, 0.8, 0.3, None),
}


def _bits(result):
    parts = result if isinstance(result, tuple) else (result,)
    return [bytes(p) if not isinstance(p, (int, type(None))) else p for p in parts]


@pytest.mark.parametrize("name", READ_ONCE)
def test_read_once_natives_give_the_same_bits_from_every_kind_of_buffer(name):
    import array

    rng = np.random.default_rng(7)
    values = rng.gamma(0.6, 0.3, 1500) * (rng.random(1500) < 0.5)
    values[3], values[900] = np.nan, -0.0
    call = READ_ONCE[name]
    want = _bits(call(values.tolist()))
    misaligned = np.frombuffer(bytes(1) + values.tobytes(), offset=1)
    frozen = values.copy()
    frozen.flags.writeable = False
    strided = np.repeat(values, 2)[::2]
    for form in (values, frozen, misaligned, strided, memoryview(values), array.array("d", values.tolist())):
        assert _bits(call(form)) == want, type(form).__name__
    assert values.tobytes() == frozen.tobytes()  # the caller's buffer is left as it was
