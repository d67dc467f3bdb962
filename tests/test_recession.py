"""Recession baseflow: the reference model, the total's recession after the threshold, the account."""

from __future__ import annotations

import random
from datetime import timedelta

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas")
np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy")

import basinkit_model as bm  # noqa: E402
from basinkit_model import methods  # noqa: E402
from model_basins import H, storm_rain, subbasin  # noqa: E402
from reference import recession as ref  # noqa: E402


@pytest.mark.parametrize("seed", range(12))
def test_native_matches_the_reference_bit_for_bit(seed):
    rng = random.Random(seed)
    n = rng.randint(1, 150)
    peak_at = rng.randint(0, n - 1)
    direct = [rng.uniform(0.0, 5.0) + 500.0 * np.exp(-abs(i - peak_at) / rng.uniform(1.0, 20.0)) for i in range(n)]
    if seed % 2:  # a second flood, often higher, after the total has fallen below the threshold
        second, height = rng.randint(peak_at, n - 1), rng.uniform(100.0, 1500.0)
        direct = [q + height * np.exp(-abs(i - second) / 3.0) for i, q in enumerate(direct)]
    dt = rng.choice([300, 3600, 43200])
    k = rng.uniform(0.3, 1.0)
    form = dict(ratio_to_peak=rng.uniform(0.01, 1.0)) if rng.random() < 0.5 else dict(threshold_q=rng.uniform(0, 400))
    q0 = rng.uniform(0.0, 50.0)
    base, crossing = methods.recession(direct, timedelta(seconds=dt), q0, k, **form)
    expected, c = ref.recession(direct, dt, q0, k, form.get("ratio_to_peak"), form.get("threshold_q"))
    assert base.tobytes() == np.array(expected, dtype=np.float64).tobytes() and crossing == c


@pytest.mark.parametrize("form", [dict(ratio_to_peak=0.3), dict(threshold_q=60.0)], ids=["ratio", "flow"])
def test_total_recedes_after_the_threshold_and_the_balance_closes(form, tmp_path):
    layer = bm.Recession(12.0, 0.6, **form)
    basin = bm.Basin([subbasin(downstream=None, baseflow={"recession": layer})])
    run = basin.run(storm_rain(), extend=72 * H)
    assert abs(run.balance.loc["upper", "residual_pct"]) < 1e-9
    total = run.flows["upper"].to_numpy()
    base = run.element("upper")["baseflow:recession"].to_numpy()
    kd = 0.6 ** (3600.0 / 86400.0)
    assert base[0] == 12.0 and base[1] == 12.0 * kd
    peak = int(total.argmax())
    threshold = form.get("threshold_q", 0.3 * total[peak])
    c = peak + 1 + int(np.argmax(total[peak + 1 :] < threshold))
    assert total[c - 1] >= threshold > total[c]
    assert np.allclose(total[c + 1 :] / total[c:-1], kd, rtol=1e-12)
    # What it adds is groundwater given up (storage falls by it); the loss leaves the model.
    added = 3600.0 * (0.5 * base[0] + base[1:-1].sum() + 0.5 * base[-1]) / 43560.0
    loss = run.element("upper")["loss"].iloc[:-1].sum() * 6400.0 * 1.00833 * 3600.0 / 43560.0
    assert run.balance.loc["upper", "storage_change"] == pytest.approx(-added, rel=1e-12)
    assert run.balance.loc["upper", "deep_percolation"] == pytest.approx(loss, rel=1e-12)
    basin.save(tmp_path / "b.toml")
    assert bm.load(tmp_path / "b.toml") == basin


def test_exactly_one_threshold_and_no_other_layer():
    with pytest.raises(ValueError, match="exactly one of ratio_to_peak and threshold_q"):
        bm.Recession(5.0, 0.8)
    with pytest.raises(ValueError, match="exactly one of ratio_to_peak and threshold_q"):
        bm.Recession(5.0, 0.8, ratio_to_peak=0.2, threshold_q=10.0)
    with pytest.raises(ValueError):
        bm.Recession(5.0, 1.2, ratio_to_peak=0.2)
    mixed = {"r": bm.Recession(5.0, 0.8, threshold_q=10.0), "b": bm.Baseflow(timedelta(days=2), 0.2, 1.0)}
    with pytest.raises(TypeError, match="only baseflow layer"):
        bm.Basin([subbasin(downstream=None, baseflow=mixed)]).run(storm_rain())
