"""basinkit_model._native: every series bit for bit the public call's, and the
extra quantities closing the volume accounts they exist for."""

from __future__ import annotations

import re
from datetime import timedelta

import pytest

np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")

from basinkit import baseflow, rainfall_transform, reach, reservoir, utils  # noqa: E402
from basinkit_model import _native  # noqa: E402

ru = reservoir.reservoir_utils
SEEDS = [1, 2, 3]


def same(packed: bytes, public) -> bool:
    """Bit-for-bit equality of packed doubles and a public series."""
    return packed == np.asarray(public, dtype=np.float64).tobytes()


def trapezoid(values, dt: float) -> float:
    return dt * (0.5 * values[0] + float(np.sum(values[1:-1])) + 0.5 * values[-1])


# ---------------------------------------------------------------- level pool

E = [100.0 + i for i in range(11)]
S = [2.0e5 * i * i + 1.0e6 * i for i in range(11)]
SPILL_Q = [0.0 if e < 105 else 40.0 * (e - 105) ** 1.5 for e in E]
GATE_Q = [30.0 * (e - 100.0) ** 0.5 for e in E]


def pool_case(seed: int):
    rng = np.random.default_rng(seed)
    dt = int(rng.choice([300, 900, 1800]))
    flood = rng.uniform(20.0, 900.0, int(rng.integers(3, 14))).tolist()
    inflow = flood[:1] + flood  # the layer's padding: routed from time 0
    schedule = rng.uniform(0.0, 15.0, len(inflow)).tolist()
    tuples = {
        "spill": ("spillway", E, SPILL_Q, float(rng.uniform(-0.5, 0.5))),
        "gate": ("gate", E, GATE_Q, 101.0, None, 60.0),
        "floor": ("constant", 10.0, 100.5, None),
        "plan": ("schedule", schedule, dt, None, 109.0, None),
    }
    public = {
        "spill": ru.UnControlledDischargeInfo(ru.ElevationDischarge(E, SPILL_Q), tuples["spill"][3]),
        "gate": ru.ControlledDischargeInfo(ru.ElevationDischarge(E, GATE_Q), 101.0, None, 60.0),
        "floor": ru.ConstantDischargeInfo(10.0, 100.5, None),
        "plan": ru.SpecifiedDischargeInfo(
            utils.ContinuousTimeSeries(schedule, timedelta(seconds=dt), "discharge"), None, 109.0, None
        ),
    }
    return inflow, dt, float(rng.uniform(104.0, 107.0)), tuples, public


@pytest.mark.parametrize("seed", SEEDS)
def test_level_pool(seed):
    inflow, dt, e0, tuples, public = pool_case(seed)
    storage, elevation, total, per, released = _native.level_pool(inflow, dt, e0, E, S, tuples)
    pool = reservoir.run_level_pool_routing(
        utils.ContinuousTimeSeries(inflow, timedelta(seconds=dt), "discharge"), e0, ru.ElevationStorage(E, S), public
    )
    assert same(storage, pool.reservoir_storage) and same(elevation, pool.reservoir_elevation)
    assert same(total, pool.reservoir_total_outflow)
    assert per.keys() == tuples.keys()
    assert all(same(per[k], v) for k, v in pool.reservoir_individual_outflows.items())
    # The pool never empties here, so what came in and was not released is stored.
    s = np.frombuffer(storage)
    assert released > 0.0 and s.min() > 0.0
    assert s[-1] - s[0] == pytest.approx(trapezoid(inflow[1:], dt) - released, rel=1e-12, abs=1e-9 * S[-1])


# ---------------------------------------------------------------- Muskingum


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("sub_reaches", [1, 3, 9, 20])
def test_muskingum(seed, sub_reaches):
    rng = np.random.default_rng(seed)
    inflow = rng.uniform(0.0, 500.0, int(rng.integers(1, 40))).tolist()
    dt, x, start = 900, float(rng.uniform(0.0, 0.5)), float(rng.uniform(0.0, 100.0))
    k = timedelta(seconds=int(rng.integers(600, 20000)), microseconds=int(rng.integers(0, 10**6)))
    outflow, ends = _native.muskingum(inflow, dt, k, x, sub_reaches, start)
    public = reach.run_muskingum_routing(
        utils.ContinuousTimeSeries(inflow, timedelta(seconds=dt), "discharge"), k, x, sub_reaches, start
    )
    assert same(outflow, public)
    assert len(ends) == sub_reaches and ends[-1] == np.frombuffer(outflow)[-1]
    # Storage K_seg (x I + (1 - x) O) per sub-reach: each pass starts at `start`
    # and takes the pass before's outflow as its inflow.
    k_seg = k.total_seconds() / sub_reaches
    first, last = [inflow[0]] + [start] * sub_reaches, [inflow[-1]] + ends
    change = sum(
        k_seg * (x * (last[p] - first[p]) + (1.0 - x) * (last[p + 1] - first[p + 1])) for p in range(sub_reaches)
    )
    volume = trapezoid(inflow, dt) - trapezoid(np.frombuffer(outflow), dt) if len(inflow) > 1 else 0.0
    assert change == pytest.approx(volume, rel=1e-9, abs=1e-9 * max(inflow) * dt * len(inflow))


# ---------------------------------------------------------------- baseflow


@pytest.mark.parametrize("seed", SEEDS)
def test_linear_reservoir(seed):
    rng = np.random.default_rng(seed)
    dt, area = 3600, float(rng.uniform(100.0, 5000.0))
    rain = rng.uniform(0.0, 0.3, int(rng.integers(0, 30))).tolist()
    # Chains of up to 4 reservoirs run fused; 6 takes the general path.
    layers = [
        (f"l{i}", timedelta(hours=int(rng.integers(4, 60))), 0.3, float(rng.uniform(0, 20)), n)
        for i, n in enumerate(rng.choice([1, 2, 4, 6], size=3).tolist())
    ]
    total, per, chains = _native.linear_reservoir(area, rain, dt, layers)
    settings = {name: baseflow.LinearReservoir(k, f, q, n) for name, k, f, q, n in layers}
    pub_total, pub_per = baseflow.run_linear_reservoir(
        area, utils.IncrementalTimeSeries(rain, timedelta(seconds=dt), "rainfall"), settings
    )
    assert same(total, pub_total) and all(same(per[k], v) for k, v in pub_per.items())
    dt_h = dt / 3600.0
    for name, k, fraction, q0, n in layers:
        end = np.frombuffer(chains[name])
        assert len(end) == n and (not rain or end[-1] == np.frombuffer(per[name])[-1])
        k_h = k.total_seconds() / 3600.0 / n

        def held(states):
            return (k_h * states[-1] + sum((k_h - dt_h / 2) * s for s in states[:-1])) * 3600.0

        inflow = sum(area * 1.00833 * fraction * p / dt_h * dt for p in rain)
        outflow = trapezoid([q0, *np.frombuffer(per[name])], dt) if rain else 0.0
        assert held(end) - held([q0] * n) == pytest.approx(inflow - outflow, rel=1e-9, abs=1e-6 * q0 * k_h * 3600)


# ---------------------------------------------------------------- Clark


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("r_hours", [0.1, 3.0, 40.0])
def test_clark(seed, r_hours):
    rng = np.random.default_rng(seed)
    dt, area = timedelta(minutes=int(rng.choice([15, 60]))), float(rng.uniform(10.0, 9000.0))
    tc, r = timedelta(hours=float(rng.uniform(0.0, 12.0))), timedelta(hours=r_hours)
    excess = (rng.uniform(0.0, 1.0, int(rng.integers(1, 30))) * (rng.random(1) > 0.3)).tolist()
    runoff, tail = _native.clark(excess, int(dt.total_seconds()), area, tc, r)
    public = rainfall_transform.run_clark_uh(utils.IncrementalTimeSeries(excess, dt, "rainfall"), area, tc, r)
    assert same(runoff, public)
    unit = np.asarray(rainfall_transform.run_clark_uh(utils.IncrementalTimeSeries([1.0], dt, "rainfall"), area, tc, r))
    two_r, step = 2.0 * r.total_seconds(), dt.total_seconds()
    c2 = (two_r - step) / (step + two_r)
    assert tail == (float(unit[-1]) * c2 / (1.0 - c2) if abs(c2) < 1.0 else 0.0)


# ---------------------------------------------------------------- errors

H = timedelta(hours=1)


def series(values, step=H, kind="discharge"):
    made = utils.IncrementalTimeSeries if kind == "rainfall" else utils.ContinuousTimeSeries
    return made(values, step, kind)


ERRORS = [
    (
        lambda: _native.level_pool([1.0, 2.0], 3600, 99.0, E, S, {}),
        lambda: reservoir.run_level_pool_routing(series([1.0, 2.0]), 99.0, ru.ElevationStorage(E, S), {}),
    ),
    (
        lambda: _native.level_pool([1.0], 3600, 101.0, [1.0, 0.0], [0.0, 1.0], {}),
        lambda: ru.ElevationStorage([1.0, 0.0], [0.0, 1.0]),
    ),
    (lambda: _native.level_pool([1.0], 0, 101.0, E, S, {}), lambda: series([1.0], timedelta(0))),
    (
        lambda: _native.muskingum([1.0, 2.0], 3600, H, 0.2, 0, 1.0),
        lambda: reach.run_muskingum_routing(series([1.0, 2.0]), H, 0.2, 0, 1.0),
    ),
    (
        lambda: _native.muskingum([], 3600, H, 0.2, 1, 1.0),
        lambda: reach.run_muskingum_routing(series([]), H, 0.2, 1, 1.0),
    ),
    (lambda: _native.muskingum([1.0], 3600, -H, 0.2, 1, 1.0), lambda: reach.run_muskingum_routing(series([1.0]), -H, 0.2, 1, 1.0)),
    (lambda: _native.linear_reservoir(1.0, [0.1], 3600, [("a", H, 1.5, 0.0, 1)]), lambda: baseflow.LinearReservoir(H, 1.5, 0.0, 1)),
    (lambda: _native.linear_reservoir(1.0, [0.1], 3600, [("a", H, 0.5, 0.0, 0)]), lambda: baseflow.LinearReservoir(H, 0.5, 0.0, 0)),
    (
        lambda: _native.linear_reservoir(1.0, [0.1], 7200, [("a", H, 0.6, 0.0, 1), ("b", 5 * H, 0.6, 0.0, 1)]),
        lambda: baseflow.run_linear_reservoir(
            1.0,
            series([0.1], 2 * H, "rainfall"),
            {"a": baseflow.LinearReservoir(H, 0.6, 0.0, 1), "b": baseflow.LinearReservoir(5 * H, 0.6, 0.0, 1)},
        ),
    ),
    (
        lambda: _native.linear_reservoir(1.0, [0.1], 10800, [("a", H, 0.5, 0.0, 1)]),
        lambda: baseflow.run_linear_reservoir(
            1.0, series([0.1], 3 * H, "rainfall"), {"a": baseflow.LinearReservoir(H, 0.5, 0.0, 1)}
        ),
    ),
    (
        lambda: _native.clark([1.0], 3600, 1.0, -H, H),
        lambda: rainfall_transform.run_clark_uh(series([1.0], H, "rainfall"), 1.0, -H, H),
    ),
]


@pytest.mark.parametrize("private, public", ERRORS)
def test_errors_are_the_public_ones(private, public):
    with pytest.raises(Exception) as expected:
        public()
    with pytest.raises(type(expected.value), match="^" + re.escape(str(expected.value)) + "$"):
        private()


def test_x_out_of_range_warns_as_the_public_call():
    with pytest.warns(UserWarning, match=r"`x` is outside the recommended range"):
        _native.muskingum([1.0, 2.0], 3600, H, 0.7, 1, 1.0)
