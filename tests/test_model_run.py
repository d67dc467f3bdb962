"""basinkit_model runs: one clock, bit-for-bit the hand-written chain, closed volume accounts."""

from __future__ import annotations

import math
from datetime import timedelta

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas (no wheel for this interpreter?)")
np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy (no wheel for this interpreter?)")
pytest.importorskip("tomli_w", reason="basinkit_model needs tomli-w")

import basinkit_model as bm  # noqa: E402
from basinkit import baseflow, metrics, rainfall_loss, rainfall_transform, reach, reservoir, utils  # noqa: E402
from model_basins import (  # noqa: E402
    CURVE_E,
    CURVE_S,
    GATE_Q,
    SPILL_E,
    SPILL_Q,
    H,
    outlets,
    storm_basin,
    storm_rain,
    subbasin,
)

ru = reservoir.reservoir_utils


def bits(values) -> bytes:
    return np.asarray(values, dtype=np.float64).tobytes()


def clark_conserves_volume() -> bool:
    """Whether this build's Clark transform returns all of its excess (it did not always)."""
    rain = utils.IncrementalTimeSeries([1.0, 0.5], H, "rainfall")
    out = rainfall_transform.run_clark_uh(rain, 640.0, 2 * H, H).data
    return out[0] == 0.0 and math.isclose(sum(out), 1.5 * 640.0 * 1.00833, rel_tol=1e-9)


needs_whole_clark = pytest.mark.skipif(
    not clark_conserves_volume(), reason="this build's Clark transform does not conserve volume yet"
)


# ---------------------------------------------------------------- clocks


@pytest.mark.parametrize("freq, tz", [("1h", None), ("1h", "UTC"), ("15min", None), ("15min", "UTC")])
def test_flows_lie_on_one_clock(freq, tz):
    rain = storm_rain(freq=freq, tz=tz)
    dt = pd.Timedelta(freq).to_pytimedelta()
    run = storm_basin().run(rain, extend=dt * 10 - timedelta(seconds=1))  # rounded up to 10 steps
    index = run.flows.index
    assert len(index) == len(rain) + 10 + 1 and index[0] == rain.index[0]
    assert (np.diff(index.asi8) == np.diff(index.asi8)[0]).all() and index[1] - index[0] == dt
    assert str(index.tz) == str(tz) and run.time_step == dt
    upper = run.element("upper")
    # Baseflow starts at its layers' initial discharge; Clark starts from zero.
    assert upper["baseflow:shallow"].iloc[0] == 4.0 and upper["baseflow:deep"].iloc[0] == 8.0
    assert upper["deficit"].iloc[0] == 0.6 and math.isnan(upper["rain"].iloc[-1])
    assert list(upper["rain"].iloc[: len(rain)]) == list(rain)
    lake = run.element("lake")
    # The reservoir stands at its initial elevation at the start of the window.
    assert lake["elevation"].iloc[0] == 106.0 and len(lake) == len(index)


@pytest.mark.parametrize(
    "make, error, words",
    [
        (lambda r: r.reset_index(drop=True), TypeError, "needs a DatetimeIndex"),
        (lambda r: r.drop(r.index[3]), ValueError, "not uniform"),
        (lambda r: r.where(r.index != r.index[2]), ValueError, "is NaN at 2024-06-01 02:00:00"),
        (lambda r: r * -1.0, ValueError, "is negative"),
        (lambda r: pd.DataFrame({"upper": r, "lower": r}), ValueError, "columns for no subbasin: lower"),
        (lambda r: pd.DataFrame({"other": r}), ValueError, "columns for no subbasin: other"),
        (lambda r: pd.Series([0.5], index=pd.DatetimeIndex(["2024-06-01"])), ValueError, "needs two rows or an index"),
        (lambda r: list(r), TypeError, "must be a pandas Series or DataFrame"),
        (lambda r: pd.Series(r.to_numpy(), index=pd.date_range("2024", periods=len(r), freq="500ms")),
         ValueError, "whole number of seconds"),
    ],
)
def test_bad_precipitation_is_refused(make, error, words):
    with pytest.raises(error) as info:
        storm_basin().run(make(storm_rain()))
    assert words in str(info.value)


def test_a_frame_gives_each_subbasin_its_rain():
    rain = storm_rain()
    b = bm.Basin([subbasin("a", "j"), subbasin("b", "j"), bm.Junction("j")])
    both = b.run(pd.DataFrame({"b": rain * 0.5, "a": rain}))
    assert bits(both.flows["a"]) == bits(b.run(rain).flows["a"])
    assert bits(both.flows["b"]) == bits(b.run(rain * 0.5).flows["b"])
    with pytest.raises(ValueError, match="no column for subbasins: b"):
        b.run(pd.DataFrame({"a": rain}))


# ---------------------------------------------------------------- bit for bit


def hand_subbasin(rain: list[float], extra: int) -> list[float]:
    """The subbasin of model_basins, written out as basinkit calls."""
    gross = utils.IncrementalTimeSeries(rain + [0.0] * extra, H, "rainfall")
    split = rainfall_loss.run_deficit_and_constant(gross, 0.6, 1.5, 0.12, timedelta(hours=36))
    direct = rainfall_transform.run_clark_uh(split.excess, 6400.0, 4 * H, 3 * H).data
    layers = {
        "shallow": baseflow.LinearReservoir(18 * H, 0.35, 4.0, 2),
        "deep": baseflow.LinearReservoir(timedelta(days=6), 0.25, 8.0),
    }
    total, _ = baseflow.run_linear_reservoir(6400.0, split.loss, layers)
    base = [4.0 + 8.0] + total.data  # initial discharge at the start, then interval ends
    return [direct[k] + base[k] for k in range(len(rain) + extra + 1)]


def test_subbasin_is_the_hand_chain():
    rain = storm_rain()
    run = storm_basin().run(rain, extend=30 * H)
    assert bits(run.flows["upper"]) == bits(hand_subbasin(list(rain), 30))


def test_reach_is_the_hand_chain():
    run = storm_basin().run(storm_rain(), extend=30 * H)
    inflow = list(run.flows["upper"])
    routed = reach.run_muskingum_routing(utils.ContinuousTimeSeries(inflow, H, "discharge"), 2 * H, 0.2, 3, inflow[0])
    assert bits(run.flows["channel"]) == bits(routed.data)


def test_reservoir_is_the_hand_chain():
    run = storm_basin().run(storm_rain(), extend=30 * H)
    inflow = list(run.flows["channel"])
    hand_outlets = {
        "spillway": ru.UnControlledDischargeInfo(ru.ElevationDischarge(SPILL_E, SPILL_Q)),
        "gated_outlet": ru.ControlledDischargeInfo(ru.ElevationDischarge(CURVE_E, GATE_Q), maximum_release=350.0),
        "environmental_release": ru.ConstantDischargeInfo(25.0, minimum_elevation=101.0),
    }
    # Level pool routing from time 0: the first inflow value repeated in front.
    pool = reservoir.run_level_pool_routing(
        utils.ContinuousTimeSeries([inflow[0]] + inflow, H, "discharge"), 106.0,
        ru.ElevationStorage(CURVE_E, CURVE_S), hand_outlets,
    )
    assert bits(run.flows["lake"]) == bits(pool.reservoir_total_outflow.data)
    lake = run.element("lake")
    assert bits(lake["elevation"]) == bits(pool.reservoir_elevation.data)
    assert bits(lake["outlet:spillway"]) == bits(pool.reservoir_individual_outflows["spillway"].data)


def test_junction_and_source_are_the_hand_chain():
    rain = storm_rain()
    gauge = pd.Series(np.linspace(5.0, 40.0, 30), index=pd.date_range("2024-06-01", periods=30, freq="h"))
    b = bm.Basin([subbasin("a", "j"), bm.Source("gauge", gauge, "j"), subbasin("b", "j"), bm.Junction("j")])
    run = b.run(rain, extend=5 * H)
    sub = hand_subbasin(list(rain), 5)
    obs = list(gauge.iloc[:30])
    assert bits(run.flows["gauge"]) == bits(obs)
    assert bits(run.flows["j"]) == bits([(sub[k] + obs[k]) + sub[k] for k in range(30)])


def test_a_source_must_cover_the_window():
    gauge = pd.Series([1.0, 2.0], index=pd.date_range("2024-06-01", periods=2, freq="h"))
    b = bm.Basin([subbasin("a", "j"), bm.Source("gauge", gauge, "j"), bm.Junction("j")])
    with pytest.raises(bm.RunError, match="source 'gauge': flow has no value at 2024-06-01 02:00:00") as info:
        b.run(storm_rain())
    assert info.value.element == "gauge"


# ---------------------------------------------------------------- volume accounts


def schedule_basin(freq: str) -> tuple[bm.Basin, pd.Series]:
    rain = storm_rain(freq=freq, depth=9.0)
    idx = pd.date_range(rain.index[0], periods=len(rain) + 41, freq=freq)
    ops = bm.ReleaseSchedule(pd.Series(np.linspace(40.0, 140.0, len(idx)), index=idx), minimum_elevation=100.5)
    lake = bm.Reservoir("lake", CURVE_E, CURVE_S, {**outlets(), "ops": ops}, 106.0)
    b = bm.Basin([subbasin(downstream="channel"), bm.Reach("channel", bm.Muskingum(2 * H, 0.3, 3), "lake"), lake])
    return b, rain


@pytest.mark.parametrize("freq", ["1h", "15min"])
def test_routing_accounts_close_to_rounding(freq):
    b, rain = schedule_basin(freq)
    balance = b.run(rain, extend=pd.Timedelta(freq) * 40).balance
    assert list(balance.columns) == [
        "inflow", "outflow", "storage_change", "deep_percolation", "beyond_window", "residual", "residual_pct"
    ]
    assert balance.loc["lake", "outflow"] > 100.0 and balance.loc["lake", "storage_change"] != 0.0
    for name in ("channel", "lake"):
        assert abs(balance.loc[name, "residual_pct"]) < 1e-9, balance


@needs_whole_clark
@pytest.mark.parametrize("extend", [0, 6, 200])
@pytest.mark.parametrize(
    "tc, r", [(4 * H, 3 * H), (0 * H, timedelta(minutes=10)), (timedelta(minutes=150), 0 * H)], ids=["slow", "r-small", "r-zero"]
)
def test_subbasin_account_closes_to_rounding(extend, tc, r):
    basin = storm_basin().with_values({"upper.transform.tc": tc, "upper.transform.storage_r": r})
    run = basin.run(storm_rain(), extend=extend * H)
    balance = run.balance
    assert abs(balance.loc["upper", "residual_pct"]) < 1e-9, balance
    # A short window leaves runoff beyond it; a long one leaves none worth counting.
    beyond = balance.loc["upper", "beyond_window"]
    if extend == 0 and r == 3 * H:
        assert beyond > 1.0
    if extend == 200:
        assert beyond < 1e-6


def test_the_account_sees_a_lost_drop():
    b, rain = schedule_basin("h")
    run = b.run(rain, extend=10 * H)
    for name in ("channel", "lake"):
        run._results[name].outflow[5] *= 1.0 + 1e-6
    run._results["lake"].storage[-1] *= 1.0 + 1e-6
    balance = run.balance
    assert abs(balance.loc["channel", "residual_pct"]) > 1e-8
    assert abs(balance.loc["lake", "residual_pct"]) > 1e-8


def test_a_junction_passes_its_inflows_on():
    rain = storm_rain()
    b = bm.Basin([subbasin("a", "j", baseflow=None), subbasin("b", "j"), bm.Junction("j")])
    balance = b.run(rain, extend=3 * H).balance
    assert balance.loc["j", "inflow"] == pytest.approx(balance.loc[["a", "b"], "outflow"].sum(), rel=1e-12)
    assert abs(balance.loc["j", "residual"]) < 1e-9


# ---------------------------------------------------------------- scores


def test_score_against_the_run_itself_is_perfect():
    run = storm_basin().run(storm_rain(), extend=20 * H)
    s = run.score(run.flows["lake"], at="lake")
    assert (s.kge, s.r, s.beta, s.gamma, s.nse, s.rmse) == pytest.approx((1.0, 1.0, 1.0, 1.0, 1.0, 0.0))
    assert s.count == len(run.flows) and s.skipped == 0


def test_score_aligns_on_common_instants_and_skips_nan():
    run = storm_basin().run(storm_rain(), extend=20 * H)
    sim = run.flows["lake"]
    # A gauge that starts earlier, ends later and misses two readings.
    idx = pd.date_range(sim.index[0] - 5 * H, periods=len(sim) + 10, freq="h")
    obs = pd.Series(np.linspace(200.0, 600.0, len(idx)), index=idx)
    obs.iloc[[7, 9]] = np.nan
    s = run.score(obs, at="lake")
    kept = obs.reindex(sim.index).dropna()
    assert s.count == len(sim) - 2 and s.skipped == 2
    assert s.kge == metrics.calculate_kge(list(sim[kept.index]), list(kept))
    assert 1.0 - math.sqrt((s.r - 1) ** 2 + (s.beta - 1) ** 2 + (s.gamma - 1) ** 2) == pytest.approx(s.kge, abs=1e-12)


@pytest.mark.parametrize(
    "obs, at, words",
    [
        (pd.Series([1.0], index=pd.date_range("2030-01-01", periods=1)), "lake", "no value on the instants"),
        (pd.Series([1.0], index=pd.date_range("2024-06-01", periods=1, tz="UTC")), "lake", "time zone"),
        (pd.Series([1.0], index=pd.date_range("2024-06-01", periods=1)), "nowhere", "no element named 'nowhere'"),
    ],
)
def test_score_refuses_what_it_cannot_align(obs, at, words):
    run = storm_basin().run(storm_rain())
    with pytest.raises((ValueError, KeyError)) as info:
        run.score(obs, at=at)
    assert words in str(info.value)


def test_an_overtopped_reservoir_names_itself():
    b = storm_basin()
    with pytest.raises(bm.RunError, match="reservoir 'lake': ") as info:
        b.run(storm_rain(depth=40.0), extend=10 * H)
    assert info.value.element == "lake"
