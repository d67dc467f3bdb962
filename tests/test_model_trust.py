"""Data mistakes the layer used to take in silence: each is now one warning or one refusal that says where."""

from __future__ import annotations

import re
import warnings
from datetime import timedelta
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas (no wheel for this interpreter?)")
np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy (no wheel for this interpreter?)")
pytest.importorskip("tomli_w", reason="basinkit_model needs tomli-w")

import basinkit_model as bm  # noqa: E402
from model_basins import CURVE_E, GATE_Q, H, outlets, storm_basin, storm_rain, subbasin  # noqa: E402


def quiet(call):
    """The call's result, failing on any warning."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return call()


def one_warning(call, *words):
    """The call's one BasinWarning, on one line, holding every word."""
    with pytest.warns(bm.BasinWarning) as caught:
        call()
    texts = [str(w.message) for w in caught if w.category is bm.BasinWarning]
    assert len(texts) == 1 and "\n" not in texts[0], texts
    for w in words:
        assert w in texts[0], texts[0]
    return texts[0]


def chain(routing: bm.Muskingum) -> bm.Basin:
    return bm.Basin([subbasin(), bm.Reach("channel", routing)])


# ---------------------------------------------------------------- alignment


def test_a_gauge_between_the_runs_instants_is_refused_not_half_scored():
    run = storm_basin().run(storm_rain(), extend=24 * H)
    sim = run.flows["lake"]
    # Once scored on the 49 of its 193 readings that fell on the hour.
    fine = sim.resample("15min").interpolate()
    with pytest.raises(ValueError) as info:
        run.score(fine, at="lake")
    text = str(info.value)
    for words in ("2024-06-01 00:15:00", "0:15:00", "1:00:00", ".resample('h').mean()"):
        assert words in text
    # A gauge reaching past the window is scored where it can be, with the count said.
    longer = pd.Series(1.0 + np.arange(len(sim) + 8.0), index=pd.date_range(sim.index[0] - 3 * H, periods=len(sim) + 8, freq="h"))
    one_warning(lambda: run.score(longer, at="lake"), "8 of", "3 before, 5 after", "extend")
    assert run.score(longer[3:-5], at="lake").count == len(sim)  # and the same pairs stay when it fits
    # A daily gauge lies on the clock but says little: the count of pairs is said.
    one_warning(lambda: run.score(sim.resample("1D").mean(), at="lake"), "1 day, 0:00:00", "only 3 pairs")


@pytest.mark.parametrize(
    "mangle, words",
    [
        (lambda i: i.delete(5), "a gap after 2024-06-01 04:00:00: 1 instant"),
        (lambda i: i.insert(5, i[5]), "2024-06-01 05:00:00 is a duplicate"),
        (lambda i: i[[0, 1, 3, 2, *range(4, len(i))]], "2024-06-01 02:00:00 is out of order (after 2024-06-01 03:00:00)"),
    ],
    ids=["gap", "duplicate", "unsorted"],
)
def test_index_mistakes_name_the_instant_and_what_is_wrong(mangle, words):
    rain = storm_rain()
    idx = mangle(rain.index)
    bad = pd.Series(np.resize(rain.to_numpy(), len(idx)), index=idx)
    with pytest.raises(ValueError, match="precipitation index is not uniform: ") as info:
        storm_basin().run(bad)
    assert words in str(info.value)
    if "gap" in words:
        return  # sources and gauges may be sparse
    with pytest.raises(ValueError, match=re.escape(f"source 'g': flow needs unique, increasing instants: {words}")):
        bm.Source("g", bad)
    run = storm_basin().run(rain)
    with pytest.raises(ValueError, match=re.escape(f"observed index: {words}")):
        run.score(bad, at="lake")


# ---------------------------------------------------------------- plausibility


def test_rain_beyond_the_world_records_warns_of_millimetres():
    # 6 in given in millimetres: 152 "in" in a day, 45 in one hour; routed to the overtopping of the lake.
    mm = storm_rain(depth=6.0 * 25.4)
    basin = bm.Basin([subbasin(downstream=None)])
    one_warning(lambda: basin.run(mm), "precipitation for 'upper'", "2024-06-01 11:00:00", "about 16.6 in", "millimetres")
    # A long record below the hourly envelope can break it over a day: runs of intervals are checked too.
    drizzle = pd.Series(8.0, index=pd.date_range("2024-06-01", periods=24, freq="h"))
    one_warning(lambda: basin.run(drizzle), "the 8 intervals", "2024-06-01 00:00:00")
    quiet(lambda: basin.run(storm_rain(depth=30.0)))  # a record-class storm is rain all the same
    frame = pd.DataFrame({"upper": mm})
    one_warning(lambda: basin.run(frame), "'upper'")


def test_impossible_values_are_refused_naming_field_and_instant():
    idx = pd.date_range("2024-06-01", periods=60, freq="h")

    def series(at: int, value: float) -> pd.Series:
        s = pd.Series(10.0, index=idx)
        s.iloc[at] = value
        return s

    rain_inf = storm_rain()
    rain_inf.iloc[3] = np.inf
    cases = [
        (lambda: storm_basin().run(rain_inf), "precipitation for 'upper' is infinite (inf) at 2024-06-01 03:00:00"),
        (lambda: bm.Source("g", series(4, np.inf)), "source 'g': flow holds an infinite value (inf) at 2024-06-01 04:00:00"),
        (lambda: bm.Source("g", series(4, -3.0)), "source 'g': flow holds a negative value (-3.0) at 2024-06-01 04:00:00"),
        (lambda: bm.ReleaseSchedule(series(2, -1.0)), "ReleaseSchedule.flow holds a negative value (-1.0) at 2024-06-01 02:00:00"),
        (lambda: bm.Gate(CURVE_E, GATE_Q, maximum_release=-50.0), "Gate.maximum_release must be at least 0.0, got -50.0"),
        (lambda: bm.ReleaseSchedule(series(2, 1.0), maximum_release=-1.0), "ReleaseSchedule.maximum_release must be at least 0.0"),
        (lambda: bm.Spillway([1.0, 2.0], [-5.0, 3.0]), "Spillway.discharges[0] must be at least 0.0, got -5.0"),
        (lambda: bm.Baseflow(H, 0.5, 0.0, reservoirs=10**20), "Baseflow.reservoirs must be at most 10000"),
        (lambda: storm_basin().run(storm_rain(), extend=timedelta(days=999_999_999)), "past the last date pandas can hold"),
    ]
    for call, words in cases:
        with pytest.raises(ValueError) as info:
            call()
        assert words in str(info.value) and "\n" not in str(info.value)


# ---------------------------------------------------------------- stability


@pytest.mark.parametrize(
    "k, x, n, step, fix",
    [
        (10 * H, 0.45, 1, "15min", "sub_reaches = 36 avoids it"),
        (2 * H, 0.3, 3, "15min", "sub_reaches = 5 avoids it"),
        (2 * H, 0.3, 3, "1h", "sub_reaches = 2 avoids it"),
        (H / 2, 0.2, 1, "1h", "no number of sub-reaches avoids it (more make it worse); a step of at most 0:48:00 does"),
        (timedelta(hours=10.5), 0.5, 1, "1h", "no number of sub-reaches avoids it at this step"),
    ],
)
def test_unstable_muskingum_warns_with_the_sub_reaches_that_mend_it(k, x, n, step, fix):
    rain = storm_rain(freq=step)
    with pytest.warns(bm.BasinWarning) as caught:
        run = chain(bm.Muskingum(k, x, n)).run(rain, extend=12 * H)
    [text] = [str(w.message) for w in caught]
    assert text.startswith("reach 'channel': routing.sub_reaches: ") and fix in text
    if k == 10 * H:  # the report's reach, once routed to -185 cfs without a word
        assert run.flows["channel"].min() < -100.0
    if "sub_reaches = " in fix:
        mended = int(fix.split("= ")[1].split()[0])
        assert (quiet(lambda: chain(bm.Muskingum(k, x, mended)).run(rain, extend=12 * H)).flows["channel"] >= 0.0).all()
        if mended > n:  # the smallest that does
            one_warning(lambda: chain(bm.Muskingum(k, x, mended - 1)).run(rain, extend=12 * H), "channel")


# ---------------------------------------------------------------- files and numbers


@pytest.mark.parametrize(
    "old, new, words",
    [
        ('tc = "PT4H"', 'tc = "P999999999999D"', "element 'upper', key 'transform.tc': 'P999999999999D' is not a duration"),
        ('tc = "PT4H"', "tc = { hours = 1e300 }", "element 'upper', key 'transform.tc'"),
        ('tc = "PT4H"', "tc = { hours = nan }", "element 'upper', key 'transform.tc'"),
        ("reservoirs = 2", "reservoirs = 100000000000000000000", "'upper', key 'baseflow.shallow.reservoirs': must be at most 10000"),
        ("[upper]", "a = " + "[" * 100_000 + "]" * 100_000 + "\n[upper]", "nested too deeply"),
    ],
)
def test_numbers_and_nesting_too_large_become_basin_file_errors(old, new, words):
    text = storm_basin().to_toml()
    assert old in text
    with pytest.raises(bm.BasinFileError, match="^<string>: ") as info:
        bm.loads(text.replace(old, new))
    assert words in str(info.value)


def test_a_column_labelled_0_feeds_subbasin_0():
    basin = bm.Basin([subbasin("0", downstream=None)])
    rain = storm_rain()
    by_int = basin.run(pd.DataFrame({0: rain})).flows
    assert by_int.equals(basin.run(pd.DataFrame({"0": rain})).flows)
    with pytest.raises(ValueError, match="two columns for '0'"):
        basin.run(pd.DataFrame([[0.1, 0.1]], columns=pd.Index([0, "0"], dtype=object), index=rain.index[:1]))


@pytest.mark.parametrize("tz", [None, "UTC", "Europe/Berlin", "America/New_York", "+05:30"])
def test_series_round_trip_through_files_across_dst(tz):
    idx = pd.date_range("2024-10-26 20:00", periods=36, freq="h", tz="UTC")  # Berlin falls back on the 27th
    idx = idx.tz_localize(None) if tz is None else idx.tz_convert(tz)
    ops = bm.ReleaseSchedule(pd.Series(np.linspace(0.0, 50.0, len(idx)), index=idx))
    b = bm.Basin([
        bm.Source("gauge", pd.Series(np.arange(len(idx), dtype=float), index=idx), "lake"),
        bm.Reservoir("lake", CURVE_E, [1000.0 * i + 1.0 for i in range(25)], {"ops": ops}, 101.0),
    ])
    text = b.to_toml()
    again = bm.loads(text)
    assert again == b and str(again.element("gauge").flow.index.tz) == str(idx.tz)
    assert ("timezone = " in text) == (tz in ("Europe/Berlin", "America/New_York"))


def test_instants_a_file_cannot_hold_are_refused_on_save(tmp_path):
    idx = pd.date_range("2024-06-01", periods=3, freq="h") + pd.Timedelta(1)
    b = bm.Basin([bm.Source("gauge", pd.Series(1.0, index=idx), "j"), bm.Junction("j")])
    with pytest.raises(ValueError, match=r"^source 'gauge': instant 2024-06-01 00:00:00.000000001 has nanoseconds"):
        b.save(tmp_path / "b.toml")
    assert not (tmp_path / "b.toml").exists()


@pytest.mark.parametrize("order", [0, 1])
def test_with_values_refuses_a_path_and_a_path_inside_it(order):
    items = [("upper.transform", bm.Clark(H, H)), ("upper.transform.tc", 5 * H)]
    values = dict(items if order == 0 else items[::-1])
    with pytest.raises(ValueError, match="with_values got both 'upper.transform' and 'upper.transform.tc'"):
        storm_basin().with_values(values)


# ---------------------------------------------------------------- accounts


def test_loss_that_leaves_the_model_has_its_own_column():
    layered = subbasin(downstream=None)
    run = bm.Basin([layered, subbasin("bare", downstream=None, baseflow=None)]).run(storm_rain(), extend=24 * H)
    b = run.balance
    # Once booked as storage_change: more than the soil's whole deficit could hold.
    loss = run.element("upper")["loss"].sum() * 6400.0 * 1.00833 * 3600.0 / 43560.0
    share = sum(layer.fraction for layer in (layered.baseflow or {}).values())
    assert b.loc["upper", "deep_percolation"] == pytest.approx((1.0 - share) * loss, rel=1e-9)
    assert b.loc["bare", "deep_percolation"] == pytest.approx(loss, rel=1e-9) and b.loc["bare", "storage_change"] == 0.0
    assert 0.0 < b.loc["upper", "storage_change"] < share * loss  # the layers keep part of what they receive
    assert (b["residual_pct"].abs() < 1e-9).all()


# ---------------------------------------------------------------- failures with a place


def lake_basin(method: str, top: int = 25, spill: int = 15, offset: float | None = None) -> bm.Basin:
    """The storm chain with its curve to step `top` and its spillway rating to point `spill`."""
    e = [100.0 + 1.25 * i for i in range(top)]
    s = [43560.0 * (12.0 * i + 1.9 * i * i) for i in range(top)]
    spill_e = [124.0 + 0.5 * i for i in range(spill)]
    lake_outlets = {
        **outlets(),
        "spillway": bm.Spillway(spill_e, [450.0 * (x - 124.0) ** 1.5 for x in spill_e], offset),
        "gated_outlet": bm.Gate(e, [90.0 * (x - 100.0) ** 0.5 for x in e], maximum_release=350.0),
    }
    return bm.Basin([
        subbasin(), bm.Reach("channel", bm.Muskingum(2 * H, 0.2, 3), "lake"), bm.Reservoir("lake", e, s, lake_outlets, 106.0, method=method)
    ])


@pytest.mark.parametrize("method", ["level_pool", "storage_indication"])
def test_an_overtopped_pool_says_when_and_how_high(method):
    rain = storm_rain(depth=40.0)
    # Once: "`storage` 60217406.6 is outside the range of the elevation-storage curve", no time, no top.
    with pytest.raises(bm.RunError) as info:
        lake_basin(method).run(rain, extend=10 * H)
    text = str(info.value)
    found = re.fullmatch(
        r"reservoir 'lake': overtopped at (\S+ \S+): storage (\S+) ft\^3 above the top of its curve "
        r"\(60217344\.0 ft\^3 at 130 ft\) \(`storage` \S+ is outside the range of the elevation-storage curve\)",
        text,
    )
    assert found, text
    when, value = pd.Timestamp(found[1]), float(found[2])
    assert value > 60217344.0
    # With a taller curve the same storm runs: the pool first stands above the old top at that instant.
    pool = lake_basin(method, top=40, spill=40).run(rain, extend=10 * H).element("lake")["storage"]
    first = pool.index[int((pool.to_numpy() > 60217344.0).argmax())]
    if method == "storage_indication":
        assert when == first
    else:  # level pool fails in the one-second step that crosses it
        assert first - H < when <= first


@pytest.mark.parametrize("method", ["level_pool", "storage_indication"])
@pytest.mark.parametrize("offset", [None, 1.0])
def test_a_rating_too_short_names_its_outlet(method, offset):
    with pytest.raises(bm.RunError) as info:
        lake_basin(method, spill=5, offset=offset).run(storm_rain(depth=9.0), extend=10 * H)
    text = str(info.value)
    assert text.startswith("reservoir 'lake': outlet 'spillway': the pool reached ")
    assert "beyond its end: its rating runs 124 to 126 ft" in text and ("read at the pool + 1 ft" in text) == (offset is not None)
    reached = float(re.search(r"reached (\S+) ft", text)[1])
    assert reached + (offset or 0.0) >= 126.0 and "\n" not in text


def test_the_bundled_storm_lake_starts_at_rest():
    # Once it started at 106 ft releasing 245 cfs against 12 cfs of base inflow: volume out > volume in.
    basin = bm.load(Path(__file__).resolve().parent.parent / "examples" / "data" / "storm.toml")
    dry = basin.run(storm_rain(depth=0.0)[:6]).element("lake")  # six dry hours
    assert dry["outflow"].iloc[0] == pytest.approx(dry["inflow"].iloc[0], abs=0.5)
    assert abs(dry["storage"].iloc[-1] / dry["storage"].iloc[0] - 1.0) < 0.01
    storm = basin.run(storm_rain(), extend=72 * H).balance.loc["lake"]
    assert storm["outflow"] <= storm["inflow"] and storm["storage_change"] >= 0.0


def test_a_dry_spell_has_a_finite_account():
    # Once -inf %: no rain in, baseflow still leaving, the residual divided by zero inflow.
    b = storm_basin().run(storm_rain(depth=0.0)).balance
    assert b.loc["upper", "inflow"] == 0.0 and b.loc["upper", "outflow"] > 0.0
    assert np.isfinite(b["residual_pct"]).all() and (b["residual_pct"].abs() < 1e-9).all()
