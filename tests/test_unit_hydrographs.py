"""NRCS, Snyder and user unit hydrographs: the native cores against the reference model, and in a basin."""

from __future__ import annotations

import random
from datetime import timedelta

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas (no wheel for this interpreter?)")
np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy (no wheel for this interpreter?)")

import basinkit_model as bm  # noqa: E402
from basinkit_model import _native, methods  # noqa: E402
from basinkit_model._transform_methods import nrcs_shape, unit_volume  # noqa: E402
from model_basins import H, storm_rain, subbasin  # noqa: E402
from reference import unit_hydrograph as ref  # noqa: E402


def _excess(rng: random.Random) -> list[float]:
    return [rng.choice([0.0, -0.0, rng.uniform(0.0, 0.6), rng.uniform(0.0, 1e-3)]) for _ in range(rng.randint(1, 40))]


@pytest.mark.parametrize("seed", range(12))
def test_native_equals_the_reference_to_the_bit(seed):
    rng = random.Random(seed)
    dt = rng.choice([60, 300, 900, 3600])
    area = rng.uniform(1.0, 50_000.0)
    lag = timedelta(seconds=rng.choice([0, rng.randint(1, 40_000)]), microseconds=rng.randint(0, 999_999))
    excess = _excess(rng)
    prf = rng.choice([484.0, rng.uniform(150.0, 900.0)])
    tabulated, m = nrcs_shape(prf)
    if not tabulated:
        assert m == ref.gamma_shape(640.0 * 1.00833 / prf)
    got = np.frombuffer(_native.nrcs_uh(excess, dt, unit_volume(area), lag, tabulated, m))
    want = ref.nrcs(excess, dt, unit_volume(area), lag, tabulated, m)
    assert got.tobytes() == np.array(want).tobytes()
    ordinates = [0.0] + [rng.uniform(0.0, 500.0) for _ in range(rng.randint(1, 30))]
    got = np.frombuffer(_native.user_uh(excess, dt, ordinates, unit_volume(area), True))
    assert got.tobytes() == np.array(ref.user(excess, dt, ordinates, unit_volume(area), True)).tobytes()
    tp, cp = timedelta(hours=rng.uniform(2.0, 30.0)), rng.uniform(0.4, 0.9)
    got = np.frombuffer(_native.snyder_uh(excess, dt, unit_volume(area), area / 640.0, tp, cp, 640.0, 770.0, 440.0))
    assert got.tobytes() == np.array(ref.snyder(excess, dt, unit_volume(area), area / 640.0, tp, cp)).tobytes()


@pytest.mark.parametrize("prf", [484.0, 300.0, 600.0])
def test_nrcs_holds_the_excess_and_peaks_near_tp(prf):
    excess = np.array([0.0, 0.3, 1.1, 0.0, 0.45])
    for step, lag in [(timedelta(minutes=5), 2 * H), (H, 30 * timedelta(minutes=1)), (H, 8 * H)]:
        q = methods.nrcs_unit_hydrograph(excess, step, 640.0, lag, prf)
        dt = step.total_seconds()
        assert q[0] == 0.0 and q[-1] == 0.0 and q.min() >= 0.0
        assert dt * q.sum() == pytest.approx(excess.sum() * unit_volume(640.0), rel=1e-13)
        # One pulse: the unit hydrograph itself, peaking within a step of Tp = dt / 2 + lag.
        u = methods.nrcs_unit_hydrograph([1.0], step, 640.0, lag, prf)
        tp = dt / 2 + lag.total_seconds()
        assert abs(int(np.argmax(u)) * dt - tp) <= dt
    # A larger factor: a sharper, higher peak of the same volume.
    minute = timedelta(minutes=1)
    peaks = [methods.nrcs_unit_hydrograph([1.0], minute, 640.0, H, f).max() for f in (300.0, 484.0, 600.0)]
    assert peaks[0] < peaks[1] < peaks[2]


def test_snyder_keeps_its_peak_time_and_volume():
    excess = np.array([0.2, 0.0, 0.9])
    for step, tp, cp in [(H, 6 * H, 0.6), (timedelta(minutes=10), 3 * H, 0.8), (2 * H, 20 * H, 0.5)]:
        q = methods.snyder_unit_hydrograph(excess, step, 6400.0, tp, cp)
        dt = step.total_seconds()
        assert q[0] == 0.0 and q[-1] == 0.0
        assert dt * q.sum() == pytest.approx(excess.sum() * unit_volume(6400.0), rel=1e-13)
        t, poly = ref.snyder_polygon(int(dt), unit_volume(6400.0), 10.0, tp, cp)
        u = methods.snyder_unit_hydrograph([1.0], step, 6400.0, tp, cp)
        # Read every step, the polygon's corner at the peak is cut by up to a step's fall.
        assert abs(int(np.argmax(u)) * dt - t[3]) <= dt
        assert u.max() == pytest.approx(poly[3], rel=0.05 if dt >= 3600 else 0.01)
    # A larger Cp: a higher peak; a longer lag: a later one.
    cases = [(6 * H, 0.5), (6 * H, 0.7), (9 * H, 0.5)]
    u = {args: methods.snyder_unit_hydrograph([1.0], H, 6400.0, *args) for args in cases}
    assert u[(6 * H, 0.5)].max() < u[(6 * H, 0.7)].max()
    assert np.argmax(u[(9 * H, 0.5)]) > np.argmax(u[(6 * H, 0.5)])
    with pytest.raises(ValueError, match="before the excess"):
        methods.snyder_unit_hydrograph([1.0], H, 6400.0, H, 0.1)


def test_user_unit_hydrograph_is_checked_at_its_volume():
    step = H
    # 100 acres, 1 in: ordinates summing to 100.833 cfs over hourly steps.
    good = (0.0, 30.0, 50.0, 20.833)
    q = methods.user_unit_hydrograph([1.0, 0.5], step, 100.0, good)
    assert list(q[:3]) == pytest.approx([0.0, 30.0, 65.0], rel=1e-5) and len(q) == 6
    with pytest.raises(ValueError, match="more than 1 % away from 1"):
        methods.user_unit_hydrograph([1.0], step, 100.0, (0.0, 30.0, 50.0, 22.0))
    scaled = methods.user_unit_hydrograph([1.0], step, 100.0, (0.0, 60.0, 100.0, 44.0), normalise=True)
    assert 3600.0 * scaled.sum() == pytest.approx(unit_volume(100.0), rel=1e-14)
    with pytest.raises(ValueError, match=r"ordinates\[0\] must be 0"):
        bm.UserUnitHydrograph((5.0, 1.0), H)


@pytest.mark.parametrize(
    "transform",
    [
        bm.NrcsUnitHydrograph(3 * H),
        bm.NrcsUnitHydrograph(5 * H, peak_rate_factor=300.0),
        bm.UserUnitHydrograph((0.0, 1000.0, 2500.0, 1800.0, 900.0, 253.3), H, normalise=True),
        bm.Snyder(6 * H, 0.6),
    ],
    ids=["nrcs", "nrcs-gamma", "user", "snyder"],
)
def test_a_basin_runs_balances_and_calibrates(transform):
    basin = bm.Basin([subbasin(downstream=None, transform=transform)])
    again = bm.loads(basin.to_toml())
    assert again == basin
    rain = storm_rain()
    run = basin.run(rain, extend=96 * H)
    assert abs(run.balance.loc["upper", "residual_pct"]) < 1e-9
    upper = run.element("upper")
    assert upper["outflow"].max() > 0.0
    if isinstance(transform, (bm.NrcsUnitHydrograph, bm.Snyder)):
        observed = run.flows["upper"]
        fit = bm.calibrate(
            basin.with_values({"upper.transform.lag": 4 * H}), rain, observed, "upper",
            {"upper.transform.lag": (2 * H, 8 * H)}, seed=2, maxiter=6, popsize=4, extend=96 * H, objective="rmse",
        )
        assert abs(fit.values["upper.transform.lag"] - transform.lag) <= timedelta(minutes=20)


def test_a_user_unit_hydrograph_off_volume_or_step_fails_the_run():
    rain = storm_rain()
    off = bm.Basin([subbasin(downstream=None, transform=bm.UserUnitHydrograph((0.0, 1000.0, 500.0), H))])
    with pytest.raises(bm.RunError, match="upper.*more than 1 % away"):
        off.run(rain)
    step = bm.UserUnitHydrograph((0.0, 1000.0, 500.0), 2 * H, normalise=True)
    with pytest.raises(bm.RunError, match="step"):
        bm.Basin([subbasin(downstream=None, transform=step)]).run(rain)
