"""The event loss methods (curve number, initial and constant, Green-Ampt): the native code
against the plain-Python models, their properties, their published examples and their
volume accounts in a basin."""

from __future__ import annotations

import math
import tomllib
from datetime import timedelta
from pathlib import Path

import pytest

np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas")

import basinkit_model as bm  # noqa: E402
from basinkit_model import methods  # noqa: E402
from basinkit_model._clock import CFS_PER_ACRE_INCH  # noqa: E402
from model_basins import H, storm_rain, subbasin  # noqa: E402
from reference.curve_number import curve_number as ref_curve_number  # noqa: E402
from reference.green_ampt import green_ampt as ref_green_ampt  # noqa: E402
from reference.initial_constant import initial_constant as ref_initial_constant  # noqa: E402

PUBLISHED = Path(__file__).parent / "data" / "published"
SEEDS = range(6)


def _rain(rng, n=None):
    """Bursts of rain with dry spells, and a NaN and a negative value that count as no rain.

    Half the records are longer than the block the native loop takes at a time.
    """
    n = n or int(rng.integers(1, 200) if rng.random() < 0.5 else rng.integers(257, 1100))
    rain = rng.gamma(0.6, 0.3, n) * (rng.random(n) < 0.7)
    if n > 3:
        rain[int(rng.integers(0, n))] = math.nan
        rain[int(rng.integers(0, n))] = -0.2
    return rain


def _params(name, rng):
    """(native call, reference call) with random parameters, the same for both."""
    imp = float(rng.choice([0.0, rng.uniform(0.0, 100.0), 100.0]))
    step = int(rng.choice([60, 900, 3600, 86400]))
    if name == "curve_number":
        args = (float(rng.uniform(30.0, 100.0)), float(rng.uniform(0.0, 0.3)), imp)
        unit = float(rng.choice([1.0, 25.4]))
        return (lambda r: methods.curve_number(r, *args, depth_unit="in" if unit == 1.0 else "mm"),
                lambda r: ref_curve_number(r, *args, unit))
    if name == "initial_constant":
        args = (float(rng.uniform(0.0, 2.0)), float(rng.uniform(0.0, 1.0)), imp)
        return (lambda r: methods.initial_constant(r, timedelta(seconds=step), *args),
                lambda r: ref_initial_constant(r, step, *args))
    sat = float(rng.uniform(0.3, 0.5))
    args = (float(rng.uniform(0.0, sat)), sat, float(rng.choice([0.0, rng.uniform(0.5, 12.0)])),
            float(rng.uniform(0.01, 1.5)), imp)
    return (lambda r: methods.green_ampt(r, timedelta(seconds=step), *args),
            lambda r: ref_green_ampt(r, step, *args))


NAMES = ["curve_number", "initial_constant", "green_ampt"]


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("name", NAMES)
def test_native_matches_the_reference_bit_for_bit_and_conserves_rain(name, seed):
    rng = np.random.default_rng(seed)
    native, reference = _params(name, rng)
    rain = _rain(rng)
    got = native(rain)
    want = reference(rain.tolist())
    for column, expected in zip(got, want):
        assert column.tobytes() == np.asarray(expected, dtype=np.float64).tobytes()
    gross = np.where(rain > 0.0, rain, 0.0)
    assert (got.excess >= 0.0).all() and (got.loss >= 0.0).all()
    assert np.allclose(got.excess + got.loss, gross, rtol=0.0, atol=1e-14)


@pytest.mark.parametrize("seed", range(8))
def test_green_ampt_matches_the_reference_whatever_the_pattern_of_ponding(seed):
    # Back-to-back ponded steps, drizzle between bursts, steps that pond part-way,
    # seconds to days, no suction: the native loop runs these in different orders.
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(200, 1300))
    rain = [rng.gamma(0.6, 0.3, n) * (rng.random(n) < 0.7),
            rng.gamma(0.3, 0.05, n) * (rng.random(n) < 0.5),
            np.repeat(rng.gamma(1.0, 0.2, n // 10 + 1), 10)[:n],
            rng.uniform(0.0, 2.0, n) ** 3 * (rng.random(n) < 0.3)][seed % 4]
    step = int(rng.choice([1, 60, 900, 3600, 86400]))
    args = (0.05, 0.45, float(rng.choice([0.0, 1e-9, rng.uniform(0.01, 30.0)])),
            float(rng.choice([rng.uniform(0.001, 2.0), 50.0])), 0.0)
    got = methods.green_ampt(rain, timedelta(seconds=step), *args)
    for column, expected in zip(got, ref_green_ampt(rain.tolist(), step, *args)):
        assert column.tobytes() == np.asarray(expected, dtype=np.float64).tobytes()


def test_more_storage_less_excess_and_the_impervious_share_runs_off():
    rain = _rain(np.random.default_rng(7), 120)
    gross = np.nansum(np.where(rain > 0.0, rain, 0.0))
    step = timedelta(minutes=15)
    runs = {
        "curve_number": lambda v, imp=0.0: methods.curve_number(rain, 100.0 - v, 0.2, imp),
        "initial_constant": lambda v, imp=0.0: methods.initial_constant(rain, step, v, 0.4, imp),
        "green_ampt": lambda v, imp=0.0: methods.green_ampt(rain, step, 0.1, 0.45, 4.0, 0.05 + v / 10.0, imp),
    }
    for name, run in runs.items():
        totals = [run(v).excess.sum() for v in (2.0, 5.0, 20.0, 40.0)]
        assert all(a >= b for a, b in zip(totals, totals[1:])), name
        assert totals[0] > totals[-1], name
        # Impervious area adds its rain, share for share.
        mixed = run(20.0, 30.0).excess.sum()
        assert mixed == pytest.approx(0.3 * gross + 0.7 * totals[2], rel=1e-12), name
        assert run(20.0, 100.0).excess.sum() == pytest.approx(gross, rel=1e-12), name


def test_curve_number_in_millimetres_is_the_inch_run_converted():
    rain = np.where(np.isnan(r := _rain(np.random.default_rng(3), 150)), 0.0, r)
    inches = methods.curve_number(rain, 72.0, 0.2, 15.0)
    mm = methods.curve_number(rain * 25.4, 72.0, 0.2, 15.0, depth_unit="mm")
    assert np.allclose(mm.excess, inches.excess * 25.4, rtol=1e-12, atol=1e-12)


def test_green_ampt_under_constant_rain_does_not_depend_on_the_step():
    # Ponding is found within the step, so steady rain gives the same infiltration on any clock.
    args = (0.1458, 0.486, 16.68, 0.65)
    ends = [methods.green_ampt(np.full(n, 4.0 * 3.0 / n), timedelta(hours=3) / n, *args).state[-1] for n in (1, 9, 180)]
    assert ends[0] == pytest.approx(ends[1], rel=1e-12) and ends[0] == pytest.approx(ends[2], rel=1e-12)


def test_single_calls_refuse_bad_input():
    with pytest.raises(ValueError, match="cn must be in"):
        methods.curve_number([1.0], 0.0)
    with pytest.raises(ValueError, match="depth_unit"):
        methods.curve_number([1.0], 80.0, depth_unit="ft")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="whole number of seconds"):
        methods.initial_constant([1.0], timedelta(seconds=1.5), 0.1, 0.1)
    with pytest.raises(ValueError, match="contents"):
        methods.green_ampt([1.0], H, 0.5, 0.4, 1.0, 0.1)
    with pytest.raises(ValueError, match="one-dimensional"):
        methods.curve_number([[1.0]], 80.0)


# ---------------------------------------------------------------- published examples


def _examples(name):
    return [pytest.param(e, id=f"{name}:{e['example'].split(':')[0]}")
            for e in tomllib.loads((PUBLISHED / f"{name}.toml").read_text())["example"]]


@pytest.mark.parametrize("example", _examples("curve_number"))
def test_published_curve_number(example):
    i = example["inputs"]
    runoff = methods.curve_number(i["rain_in"], i["cn"], i["initial_abstraction_ratio"]).excess.sum()
    assert abs(runoff - example["published"]["runoff_in"]) <= example["tolerance"]["runoff_in"]


@pytest.mark.parametrize("example", _examples("initial_constant"))
def test_published_initial_constant(example):
    i, tol = example["inputs"], example["tolerance"]
    out = methods.initial_constant(i["rain_in"], H, i["initial_loss"], i["rate_per_hr"])
    np.testing.assert_allclose(out.excess, example["published_excess_in"], rtol=0.0, atol=tol["excess_in"])
    # On to the storm hydrograph: each subarea through its own unit hydrograph, then the sum.
    loss = bm.InitialConstant(i["initial_loss"], i["rate_per_hr"])
    areas = [bm.Subbasin(f"sub{k}", sum(o) / CFS_PER_ACRE_INCH, loss, bm.UserUnitHydrograph(tuple(o), H), downstream="A")
             for k, o in enumerate(example["ordinates"], 1)]
    rain = pd.Series(i["rain_in"], index=pd.date_range("2024-01-01", periods=len(i["rain_in"]), freq="h"))
    run = bm.Basin([*areas, bm.Junction("A")]).run(rain, extend=12 * H)
    for name, want in zip(("sub1", "sub2", "A"), example["published_cfs"]):
        got = run.element(name)["outflow"].to_numpy()
        assert np.abs(got[: len(want)] - want).max() <= tol["cfs"] and not got[len(want):].any(), name


@pytest.mark.parametrize("example", _examples("green_ampt"))
def test_published_green_ampt(example):
    i, published, tol = example["inputs"], example["published"], example["tolerance"]
    soil = (i["initial_content"], i["saturated_content"], i["suction"], i["conductivity"])
    sd = i["suction"] * (i["saturated_content"] - i["initial_content"])
    if example["kind"] == "ponded":
        # Water ponded from the start: rain far above any infiltration capacity.
        out = methods.green_ampt([1e7 * i["hours"]], timedelta(hours=i["hours"]), *soil)
        f = out.state[-1]
        assert abs(f - published["cumulative_cm"]) <= tol["cumulative_cm"]
        assert abs(i["conductivity"] * (sd / f + 1.0) - published["rate_cm_per_h"]) <= tol["rate_cm_per_h"]
        return
    # Steady rain on one-second steps: ponding starts in the first step with excess.
    rate = i["intensity"]
    steps = int(3600 * 2 * max(published.get("ponding_h", 0.5), published.get("at_h", 0.0))) + 10
    out = methods.green_ampt(np.full(steps, rate / 3600.0), timedelta(seconds=1), *soil)
    first = int(np.argmax(out.excess > 0.0))
    assert out.excess[first] > 0.0
    if "ponding_h" in published:
        assert abs(first / 3600.0 - published["ponding_h"]) <= tol["ponding_h"]
    for key in ("cumulative_at_ponding_cm", "cumulative_at_ponding_in"):
        if key in published:
            assert abs(out.state[first - 1] - published[key]) <= tol[key]
    if "at_h" in published:
        at = round(published["at_h"] * 3600) - 1
        assert abs(out.state[at] - published["cumulative_cm"]) <= tol["cumulative_cm"]


# ---------------------------------------------------------------- in a basin

LOSSES = [
    bm.CurveNumber(78.0, impervious_pct=12.0),
    bm.InitialConstant(0.4, 0.08, impervious_pct=5.0),
    bm.GreenAmpt(0.12, 0.43, 4.3, 0.04, impervious_pct=10.0),
]


@pytest.mark.parametrize("loss", LOSSES, ids=lambda m: m.tag)
def test_in_a_basin_the_account_closes_and_the_state_is_reported(loss):
    basin = bm.Basin([subbasin(loss=loss, downstream=None)])
    assert bm.loads(basin.to_toml()) == basin
    run = basin.run(storm_rain(), extend=72 * H)
    upper = run.element("upper")
    state = {"curve_number": "cumulative_rain", "initial_constant": "initial_loss_left", "green_ampt": "infiltrated"}
    assert state[loss.tag] in upper.columns
    rain = storm_rain().to_numpy()
    excess = upper["excess"].to_numpy()[: len(rain)]
    assert excess.sum() > 0.0 and excess.sum() < rain.sum()
    assert abs(run.balance.loc["upper", "residual_pct"]) < 1e-9


def test_calibration_recovers_a_curve_number():
    basin = bm.Basin([subbasin(loss=bm.CurveNumber(81.0), baseflow={}, downstream=None)])
    observed = basin.run(storm_rain(), extend=48 * H).flows["upper"]
    fit = bm.calibrate(
        basin.with_values({"upper.loss.cn": 60.0}), storm_rain(), observed, "upper", {"upper.loss.cn": (50.0, 95.0)},
        seed=1, maxiter=10, popsize=5, extend=48 * H, objective="rmse",
    )
    assert abs(fit.values["upper.loss.cn"] - 81.0) < 0.1


@pytest.mark.parametrize("imp", [-0.0, 0.0, 35.0, 100.0])
@pytest.mark.parametrize("name", NAMES)
def test_signed_zeros_infinities_and_nan_rain_follow_the_reference_bit_for_bit(name, imp):
    # The selects of the native loops are branch-free masks: their edge cases are the reference's.
    rain = np.array([0.0, -0.0, 0.3, math.nan, -0.0, 5e-324, 1.2, -math.inf, 0.0, 2.5, math.inf, 0.4, -0.0, 0.1])
    native, reference = {
        "curve_number": (lambda r: methods.curve_number(r, 71.0, 0.05, imp), lambda r: ref_curve_number(r, 71.0, 0.05, imp, 1.0)),
        "initial_constant": (lambda r: methods.initial_constant(r, timedelta(seconds=900), 0.2, 0.3, imp),
                             lambda r: ref_initial_constant(r, 900, 0.2, 0.3, imp)),
        "green_ampt": (lambda r: methods.green_ampt(r, timedelta(seconds=900), 0.1, 0.4, 4.0, 0.3, imp),
                       lambda r: ref_green_ampt(r, 900, 0.1, 0.4, 4.0, 0.3, imp)),
    }[name]
    for cut in (len(rain) - 4, len(rain)):  # without and with the infinite rain
        got, want = native(rain[:cut]), reference(rain[:cut].tolist())
        for column, expected in zip(got, want):
            assert column.tobytes() == np.asarray(expected, dtype=np.float64).tobytes()


def test_results_are_writable_arrays_of_their_own_that_outlive_the_call():
    # The native side hands over blocks of its buffer cache: a block must stay with its array
    # until NumPy lets go, and a later call must never get a block that is still in use.
    rain = np.random.default_rng(9).gamma(0.6, 0.3, 300_000)  # above the cache's block size
    excess = methods.curve_number(rain, 80.0).excess  # its loss and state are freed here
    kept = excess.copy()
    again = methods.curve_number(rain, 60.0)
    excess[:] += 1.0
    assert excess.flags.writeable and again.excess.flags.writeable
    assert not np.shares_memory(excess, again.excess)
    assert (excess == kept + 1.0).all()
    assert again.excess.tobytes() == methods.curve_number(rain, 60.0).excess.tobytes()
