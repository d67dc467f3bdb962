"""Muskingum-Cunge and lag reaches: published example, reference models, channel sections, accounts."""

from __future__ import annotations

import random
import tomllib
import warnings
from datetime import timedelta
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas")
np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy")

import basinkit_model as bm  # noqa: E402
from basinkit_model import methods  # noqa: E402
from basinkit_model._routing_methods import manning_flow  # noqa: E402
from model_basins import H, storm_rain, subbasin  # noqa: E402
from reference import lag as ref_lag  # noqa: E402
from reference import muskingum_cunge as ref_mc  # noqa: E402

PUBLISHED = Path(__file__).parent / "data" / "published"
ROUTING_FILES = sorted(p for p in PUBLISHED.glob("*.toml") if tomllib.loads(p.read_text()).get("method") in {"muskingum_cunge", "lag"})


def triangle(inp) -> list[float]:
    q0, qp, tp, tb = inp["baseflow"], inp["peak_flow"], inp["time_to_peak_h"], inp["time_base_h"]
    return [
        q0 + (qp - q0) * t / tp if t <= tp else q0 + (qp - q0) * (tb - t) / (tb - tp) if t <= tb else q0
        for t in range(inp["hours"])
    ]


@pytest.mark.parametrize("path", ROUTING_FILES, ids=lambda p: p.stem)
def test_published_examples(path):
    case = tomllib.loads(path.read_text())
    assert case["source"] and case["example"] and case["page"]
    inp, pub, tol = case["inputs"], case["published"], case["tolerance"]
    inflow = triangle(inp)
    out = methods.muskingum_cunge(
        inflow, timedelta(seconds=inp["time_step_s"]), inp["length"], inp["slope"], inp["reference_flow"], inp["reference_area"],
        inp["top_width"], inp["beta"], inp["sub_reaches"],
    )
    assert abs(out.max() - pub["peak_outflow"]) <= tol["peak_outflow"]
    assert int(out.argmax()) * inp["time_step_s"] == pub["time_of_peak_h"] * 3600
    # The same reach as a basin element gives the same outflow.
    idx = pd.date_range("2024-01-01", periods=len(inflow), freq="h")
    reach = bm.MuskingumCunge(
        inp["length"], inp["slope"], inp["reference_flow"], inp["reference_area"], inp["top_width"], inp["beta"],
        inp["sub_reaches"],
    )
    basin = bm.Basin([bm.Source("in", pd.Series(inflow, index=idx), "reach"), bm.Reach("reach", reach)])
    run = basin.run(pd.Series(0.0, index=idx[:-1]))
    assert np.array_equal(run.flows["reach"].to_numpy(), out)


def _random_reach(rng: random.Random) -> dict:
    return dict(
        length=rng.uniform(500.0, 60000.0), slope=rng.uniform(1e-4, 0.02), reference_flow=rng.uniform(5.0, 5000.0),
        reference_area=rng.uniform(5.0, 3000.0), top_width=rng.uniform(5.0, 500.0), beta=rng.uniform(1.0, 5 / 3),
        sub_reaches=rng.randint(1, 12),
    )


@pytest.mark.parametrize("seed", range(12))
def test_native_matches_the_reference_models_bit_for_bit(seed):
    rng = random.Random(seed)
    n = rng.randint(1, 200)
    inflow = [rng.uniform(0.0, 900.0) for _ in range(n)]
    dt = rng.choice([60, 600, 900, 3600])
    p = _random_reach(rng)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a negative X is routed as it is
        native = methods.muskingum_cunge(inflow, timedelta(seconds=dt), **p)
    assert native.tobytes() == np.array(ref_mc.muskingum_cunge(inflow, dt, *p.values()), dtype=np.float64).tobytes()
    c = methods.muskingum_cunge_constants(**p)
    assert tuple(c) == ref_mc.constants(*p.values())
    by = timedelta(seconds=rng.choice([0, dt, 3 * dt]) + rng.randint(0, dt - 1), microseconds=rng.randint(0, 999999))
    assert methods.lag(inflow, timedelta(seconds=dt), by).tobytes() == np.array(
        ref_lag.lag(inflow, dt, by.total_seconds()), dtype=np.float64
    ).tobytes()


def test_one_sub_reach_is_one_muskingum_pass_and_negative_x_warns():
    inflow = np.array([10.0, 80.0, 240.0, 160.0, 90.0, 40.0, 20.0, 10.0])
    p = dict(length=9000.0, slope=0.002, reference_flow=240.0, reference_area=80.0, top_width=40.0, beta=1.5)
    c = methods.muskingum_cunge_constants(**p)
    assert c.k == 9000.0 / (1.5 * 240.0 / 80.0) and 0.0 < c.x < 0.5
    # sub_reaches=1 is one pass with K = length / c: the Muskingum reach with that K agrees.
    muskingum = bm.Muskingum(timedelta(seconds=c.k), c.x)
    basin = lambda r: bm.Basin([bm.Source("in", _on_clock(inflow), "r"), bm.Reach("r", r)])  # noqa: E731
    rain = pd.Series(0.0, index=_on_clock(inflow).index[:-1])
    a = basin(bm.MuskingumCunge(**p)).run(rain).flows["r"].to_numpy()
    b = basin(muskingum).run(rain).flows["r"].to_numpy()
    assert np.allclose(a, b, rtol=1e-12)
    # Short sub-reaches give X < 0: routed with a warning that says what to change.
    short = bm.MuskingumCunge(**p, sub_reaches=20)
    assert short.constants().x < 0.0
    with pytest.warns(RuntimeWarning, match="fewer sub_reaches"):
        basin(short).run(rain)


def _on_clock(values) -> pd.Series:
    return pd.Series(values, index=pd.date_range("2024-01-01", periods=len(values), freq="h"))


@pytest.mark.parametrize(
    "bottom, side, beta",
    [(0.0, 2.0, 4.0 / 3.0), (0.0, 0.5, 4.0 / 3.0), (1e6, 0.0, 5.0 / 3.0), (30.0, 2.0, None), (12.0, 0.0, None)],
)
def test_channel_sections_follow_manning(bottom, side, beta):
    flow, slope, n = 850.0, 0.0015, 0.035
    s = methods.channel_section(flow, slope, n, bottom, side)
    assert manning_flow(bottom, side, s.depth, slope, n, 1.49) == pytest.approx(flow, rel=1e-12)
    # beta is (dQ/dA) / (Q/A): check against a central difference of Manning's curve.
    h = s.depth * 1e-6
    up, down = manning_flow(bottom, side, s.depth + h, slope, n, 1.49), manning_flow(bottom, side, s.depth - h, slope, n, 1.49)
    da = s.top_width * 2 * h
    assert (up - down) / da / (flow / s.area) == pytest.approx(s.beta, rel=1e-6)
    if beta is not None:  # a triangle's 4/3 and a wide rectangle's 5/3
        assert s.beta == pytest.approx(beta, rel=1e-5)
    reach = bm.MuskingumCunge.from_channel(5000.0, slope, n, bottom, side, flow, sub_reaches=2)
    assert (reach.reference_area, reach.top_width, reach.beta) == (s.area, s.top_width, s.beta)
    with pytest.raises(ValueError, match="bottom_width or a side_slope"):
        methods.channel_section(flow, slope, n, 0.0, 0.0)


@pytest.mark.parametrize(
    "routing",
    [
        bm.MuskingumCunge(30000.0, 0.001, 900.0, 400.0, 120.0, 1.6, 3),
        bm.MuskingumCunge.from_channel(20000.0, 0.002, 0.04, 25.0, 2.0, 600.0),
        bm.Lag(timedelta(hours=2, minutes=20)),
        bm.Lag(timedelta(hours=3)),
        bm.Lag(timedelta(0)),
    ],
    ids=["mc", "mc_channel", "lag_fraction", "lag_whole", "lag_zero"],
)
def test_reaches_close_the_balance_and_round_trip(routing, tmp_path):
    basin = bm.Basin([subbasin(), bm.Reach("channel", routing)])
    run = basin.run(storm_rain(), extend=36 * H)
    assert abs(run.balance.loc["channel", "residual_pct"]) < 1e-9
    basin.save(tmp_path / "b.toml")
    assert bm.load(tmp_path / "b.toml") == basin
    inflow, outflow = run.flows["upper"].to_numpy(), run.flows["channel"].to_numpy()
    if isinstance(routing, bm.Lag):
        # Whole steps are the inflow shifted, the start steady at its first value.
        steps = routing.lag / H
        if steps == int(steps):
            m = int(steps)
            assert np.array_equal(outflow, np.concatenate([np.full(m, inflow[0]), inflow[: len(inflow) - m]]))
    else:
        assert outflow.max() < inflow.max() and outflow.argmax() > inflow.argmax()


def test_calibration_recovers_a_lag():
    basin = bm.Basin([subbasin(), bm.Reach("channel", bm.Lag(timedelta(hours=5)))])
    rain = storm_rain()
    observed = basin.run(rain, extend=24 * H).flows["channel"]
    fit = bm.calibrate(
        basin.with_values({"channel.routing.lag": timedelta(hours=1)}), rain, observed, "channel",
        {"channel.routing.lag": (timedelta(0), timedelta(hours=10))}, seed=2, maxiter=15, popsize=6,
        extend=24 * H, objective="rmse",
    )
    assert abs(fit.values["channel.routing.lag"] - timedelta(hours=5)) < timedelta(minutes=5)
