"""Design storms: mass-curve patterns and alternating-block storms, ready for Basin.run."""

from __future__ import annotations

import random
from datetime import timedelta

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas")
np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy")

import basinkit_model as bm  # noqa: E402
from basinkit_model import storms  # noqa: E402
from model_basins import H, subbasin  # noqa: E402

M = timedelta(minutes=1)


def test_pattern_discretises_the_interpolated_mass_curve():
    curve = {timedelta(0): 0.0, 6 * H: 0.1, 9 * H: 0.5, 12 * H: 0.9, 24 * H: 1.0}
    rain = storms.pattern(3.0, curve, "2024-05-01", 90 * M, 30 * H)
    assert len(rain) == 20 and rain.index[1] - rain.index[0] == 90 * M
    assert rain.sum() == pytest.approx(3.0, rel=1e-14) and (rain.iloc[-4:] == 0.0).all()
    # Interval 4 (6:00-7:30) lies on the 0.1 -> 0.5 segment: 1.5 h of its 3 h.
    assert rain.iloc[4] == pytest.approx(3.0 * 0.4 * 0.5, rel=1e-14)
    # Interval 3 (4:30-6:00): a quarter of the first segment.
    assert rain.iloc[3] == pytest.approx(3.0 * 0.1 * 0.25, rel=1e-14)
    # A shorter storm keeps the curve's start; sequences of pairs work alike.
    short = storms.pattern(3.0, list(curve.items()), "2024-05-01", 90 * M, 9 * H)
    assert np.array_equal(short.to_numpy(), rain.iloc[:6].to_numpy())
    table = pd.Series(list(curve.values()), index=pd.to_timedelta(list(curve)))
    assert np.array_equal(storms.pattern(3.0, table, "2024-05-01", 90 * M, 30 * H).to_numpy(), rain.to_numpy())
    for bad in ({timedelta(0): 0.0, H: 0.6, 2 * H: 0.5, 3 * H: 1.0}, {H: 0.0, 2 * H: 1.0}, {timedelta(0): 0.0, H: 0.9}):
        with pytest.raises(ValueError, match="cumulative"):
            storms.pattern(1.0, bad, "2024-05-01", H, 3 * H)
    with pytest.raises(ValueError, match="whole number"):
        storms.pattern(1.0, curve, "2024-05-01", 7 * M, H)


def _concave_table(rng: random.Random, step: timedelta) -> dict[timedelta, float]:
    """A depth-duration table of falling intensity, listed at random multiples of the step."""
    steps = sorted(rng.sample(range(1, 49), rng.randint(1, 8)))
    a, b = rng.uniform(0.5, 4.0), rng.uniform(0.2, 0.8)
    return {s * step: a * s**b for s in steps}


def _wettest(rain: np.ndarray, k: int) -> float:
    return max(float(rain[i : i + k].sum()) for i in range(len(rain) - k + 1))


@pytest.mark.parametrize("seed", range(15))
def test_balanced_storm_holds_every_listed_depth(seed):
    rng = random.Random(seed)
    step = rng.choice([5 * M, 15 * M, H])
    table = _concave_table(rng, step)
    peak = rng.choice([0.0, 0.25, 0.5, 0.7, 1.0])
    rain = storms.balanced(table, "2024-07-01 06:00", step, peak)
    values = rain.to_numpy()
    n = max(table) // step
    assert len(values) == n and rain.index[0] == pd.Timestamp("2024-07-01 06:00")
    for duration, depth in table.items():
        assert _wettest(values, duration // step) == pytest.approx(depth, rel=1e-12)
    # The largest block sits at the peak position, and the blocks fall away from it on both sides.
    top = next(k for k in range(n) if k <= peak * n <= k + 1 and values[k] == values.max())
    assert (np.diff(values[: top + 1]) >= -1e-15).all() and (np.diff(values[top:]) <= 1e-15).all()


def test_balanced_refuses_tables_no_storm_can_hold():
    with pytest.raises(ValueError, match="more per step"):
        storms.balanced({H: 1.0, 2 * H: 3.0}, "2024-07-01", H)
    with pytest.raises(ValueError, match="must not fall"):
        storms.balanced({H: 1.0, 2 * H: 0.5}, "2024-07-01", H)
    with pytest.raises(ValueError, match="whole number"):
        storms.balanced({90 * M: 1.0}, "2024-07-01", H)


def test_storms_run_a_basin():
    table = {H: 1.2, 2 * H: 1.6, 6 * H: 2.3, 24 * H: 3.5}
    for rain in (
        storms.balanced(table, "2024-07-01", H),
        storms.pattern(3.5, {timedelta(0): 0.0, 12 * H: 0.7, 24 * H: 1.0}, "2024-07-01", H, 24 * H),
    ):
        run = bm.Basin([subbasin(downstream=None)]).run(rain, extend=24 * H)
        assert run.element("upper")["rain"].iloc[:24].sum() == pytest.approx(3.5, rel=1e-12)
        assert abs(run.balance.loc["upper", "residual_pct"]) < 1e-9
