"""basinkit_model: elements and basins are checked when built; basin files mirror them."""

from __future__ import annotations

from datetime import timedelta
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas (no wheel for this interpreter?)")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy (no wheel for this interpreter?)")
pytest.importorskip("tomli_w", reason="basinkit_model needs tomli-w")

import basinkit_model as bm  # noqa: E402
from model_basins import CURVE_E, CURVE_S, H, outlets, storm_basin, subbasin  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
STORM_TOML = ROOT / "examples" / "data" / "storm.toml"


@pytest.mark.parametrize(
    "build, error, words",
    [
        (lambda: subbasin(area_acres=0.0), ValueError, "subbasin 'upper': area_acres must be greater than 0"),
        (lambda: subbasin(area_acres="big"), TypeError, "subbasin 'upper': area_acres must be a number"),
        (lambda: subbasin(transform=bm.Clark(4 * H, 3.0)), TypeError, "Clark.storage_r must be a timedelta"),
        (lambda: subbasin(transform="clark"), TypeError, "subbasin 'upper': transform must be a Clark"),
        (lambda: bm.DeficitConstant(2.0, 1.5, 0.1, H), ValueError, "initial_deficit 2.0 exceeds max_deficit 1.5"),
        (lambda: bm.Baseflow(H, 1.2, 0.0), ValueError, "Baseflow.fraction must be at most 1.0"),
        (lambda: bm.Baseflow(H, 0.5, 0.0, reservoirs=0), ValueError, "Baseflow.reservoirs must be at least 1"),
        (lambda: bm.Baseflow(H, 0.5, 0.0, reservoirs=2.0), TypeError, "Baseflow.reservoirs must be an int"),
        (
            lambda: subbasin(baseflow={"a": bm.Baseflow(H, 0.6, 0.0), "b": bm.Baseflow(H, 0.5, 0.0)}),
            ValueError,
            "subbasin 'upper': baseflow fractions add up to 1.1",
        ),
        (lambda: bm.Muskingum(H, 0.6), ValueError, "Muskingum.x must be at most 0.5"),
        (lambda: bm.Muskingum(-H, 0.2), ValueError, "Muskingum.k must be at least 0:00:00"),
        (lambda: bm.Reach("r", bm.Muskingum(H, float("nan"))), ValueError, "Muskingum.x must be finite"),
        (lambda: bm.Spillway([1.0, 1.0], [0.0, 1.0]), ValueError, "Spillway.elevations must be strictly rising"),
        (lambda: bm.Gate([1.0, 2.0], [5.0, 1.0]), ValueError, "Gate.discharges must be not falling"),
        (lambda: bm.Gate([1.0, 2.0, 3.0], [0.0, 1.0]), ValueError, "elevations has 3 points but discharges has 2"),
        (lambda: bm.ConstantRelease(5.0, 110.0, 100.0), ValueError, "minimum_elevation 110.0 is above maximum"),
        (
            lambda: bm.Reservoir("lake", CURVE_E, CURVE_S, outlets(), 99.0),
            ValueError,
            "reservoir 'lake': initial_elevation 99.0 is outside the storage curve",
        ),
        (
            lambda: bm.Reservoir("lake", CURVE_E, CURVE_S, {"weir": 5.0}, 106.0),
            TypeError,
            "reservoir 'lake': outlets.weir must be a Spillway",
        ),
        (lambda: bm.Junction("a.b"), ValueError, "junction name must be a non-empty name without dots"),
        (lambda: bm.Junction("j", downstream="j"), ValueError, "junction 'j': downstream names the element itself"),
        (
            lambda: bm.Source("gauge", pd.Series([1.0, float("nan")], index=pd.date_range("2024", periods=2, freq="h"))),
            ValueError,
            "source 'gauge': flow holds NaN",
        ),
        (lambda: bm.Source("gauge", pd.Series([1.0, 2.0])), TypeError, "source 'gauge': flow needs a DatetimeIndex"),
    ],
)
def test_elements_refuse_bad_values_naming_element_and_field(build, error, words):
    with pytest.raises(error, match=None) as info:
        build()
    assert words in str(info.value)


def test_settings_are_normalised_and_pandas_durations_accepted():
    clark = bm.Clark(pd.Timedelta(hours=2), timedelta(minutes=90))
    assert type(clark.tc) is timedelta and clark.tc == 2 * H
    assert bm.Gate((1, 2), (0, 3)).elevations == (1.0, 2.0)


def _basin(*elements):
    return bm.Basin(list(elements))


@pytest.mark.parametrize(
    "elements, words",
    [
        ([subbasin(downstream=None), subbasin(downstream=None)], "two elements are named 'upper'"),
        ([subbasin(downstream="nowhere")], "subbasin 'upper': downstream names 'nowhere', which is not an element"),
        (
            [subbasin("a", "b"), subbasin("b", None)],
            "subbasin 'a': downstream names subbasin 'b', which takes no inflow",
        ),
        ([bm.Junction("j")], "junction 'j': no element flows into it"),
        (
            [
                subbasin("s", "j1"),
                bm.Junction("j1", "r1"),
                bm.Reach("r1", bm.Muskingum(H, 0.2), "j2"),
                bm.Junction("j2", "j1"),
            ],
            "cycle: j1 -> r1 -> j2 -> j1",
        ),
        ([], "needs at least one element"),
    ],
)
def test_basin_refuses_broken_links(elements, words):
    with pytest.raises(ValueError) as info:
        _basin(*elements)
    assert words in str(info.value)


def test_basin_orders_elements_upstream_first():
    b = _basin(
        bm.Junction("out"),
        bm.Reach("r", bm.Muskingum(H, 0.2), "out"),
        subbasin("a", "r"),
        subbasin("b", "out"),
    )
    order = b.order()
    assert order.index("a") < order.index("r") < order.index("out") and order.index("b") < order.index("out")
    assert b.outlets == ("out",) and b.upstream("out") == ("r", "b")


@pytest.mark.parametrize(
    "path, value",
    [("upper.transform.tc", 6 * H), ("channel.routing.x", 0.3), ("upper.baseflow.deep.fraction", 0.1),
     ("lake.outlets.gated_outlet.maximum_release", 300.0), ("lake.initial_elevation", 107.5)],
)
def test_parameter_paths_read_and_replace(path, value):
    b = storm_basin()
    changed = b.with_values({path: value})
    assert changed.get(path) == value and b.get(path) != value
    assert changed != b and changed.with_values({path: b.get(path)}) == b


@pytest.mark.parametrize(
    "path, words",
    [("nowhere.routing.k", "no element named 'nowhere'"), ("channel.routing.kk", "channel.routing has no 'kk'"),
     ("upper.baseflow.middle.k", "upper.baseflow has no 'middle'"), ("upper", "must look like")],
)
def test_unknown_parameter_paths_are_named(path, words):
    with pytest.raises(ValueError, match=None) as info:
        storm_basin().get(path)
    assert words in str(info.value)


# ---------------------------------------------------------------- basin files


def full_basin():
    """Every kind of element and outlet, with a time zone on the series."""
    idx = pd.date_range("2024-06-01", periods=4, freq="h", tz="UTC")
    sched = bm.ReleaseSchedule(pd.Series([10.0, 20.0, 20.0, 5.0], index=idx), maximum_release=15.0)
    return _basin(
        subbasin("upper", "join", baseflow=None, transform=bm.Clark(timedelta(hours=2, microseconds=5), 0 * H)),
        bm.Source("gauge", pd.Series([3.0, 4.0, 5.0, 6.0], index=idx), downstream="join"),
        bm.Junction("join", downstream="reach"),
        bm.Reach("reach", bm.Muskingum(timedelta(minutes=90), 0.1, 2, initial_outflow=4.5), downstream="lake"),
        bm.Reservoir(
            "lake", CURVE_E, CURVE_S,
            {**outlets(), "ops": sched, "weir": bm.Spillway([120.0, 130.0], [0.0, 900.0], offset=-1.5)},
            106.0,
        ),
    )


@pytest.mark.parametrize("make", [storm_basin, full_basin])
def test_basin_files_round_trip(tmp_path, make):
    b = make()
    b.save(tmp_path / "b.toml")
    again = bm.load(tmp_path / "b.toml")
    assert again == b
    assert again.to_toml() == b.to_toml()


def test_bundled_storm_file_is_the_storm_basin():
    b = bm.load(STORM_TOML)
    assert b.names == ("upper", "channel", "lake") and b.outlets == ("lake",)
    assert b.element("upper") == storm_basin().element("upper")
    assert b.element("channel") == storm_basin().element("channel")
    lake = b.element("lake")
    assert lake.initial_elevation == 106.0 and set(lake.outlets) == {"spillway", "gated_outlet", "environmental_release"}
    # Curves were written to whole ft3 and 0.1 cfs.
    assert lake.storages == pytest.approx(CURVE_S, abs=0.5)


@pytest.mark.parametrize(
    "text, expected",
    [("PT3H", 3 * H), ("P1DT30M", timedelta(days=1, minutes=30)), ("PT0.5S", timedelta(seconds=0.5)),
     ("P2W", timedelta(weeks=2)), ("{ hours = 3, minutes = 15 }", timedelta(hours=3, minutes=15))],
)
def test_durations_in_files(text, expected):
    value = text if text.startswith("{") else f'"{text}"'
    toml = f'[j]\nkind = "junction"\n[s]\nkind = "subbasin"\narea_acres = 1.0\ndownstream = "j"\n' \
           f'[s.loss]\ninitial_deficit = 0.0\nmax_deficit = 0.0\nrate_in_per_hr = 0.0\ntime_to_dry = "PT1H"\n' \
           f'[s.transform]\ntc = {value}\nstorage_r = "PT0S"\n'
    assert bm.loads(toml).get("s.transform.tc") == expected


GOOD = STORM_TOML.read_text() if STORM_TOML.exists() else ""


@pytest.mark.parametrize(
    "old, new, words",
    [
        ('tc = { hours = 4 }', 'tc = "4h"', "element 'upper', key 'transform.tc': '4h' is not an ISO-8601"),
        ('tc = { hours = 4 }', 'tc = { hour = 4 }', "key 'transform.tc': unknown duration unit 'hour'"),
        ("x = 0.2", 'x = "0.2"', "element 'channel', key 'routing.x': needs a number"),
        ("x = 0.2", "x = 0.2\nwidth = 3.0", "element 'channel', key 'routing.width': is not a known key here"),
        ('kind = "reach"', 'kind = "canal"', "element 'channel', key 'kind': unknown element kind 'canal'"),
        ('kind = "spillway"', 'kind = "weir"', "element 'lake', key 'outlets.spillway.kind': unknown outlet kind"),
        ("initial_elevation = 106.0    # ft\n", "", "element 'lake', key 'initial_elevation': is missing"),
        ("x = 0.2", "x = 0.9", "element 'channel', key 'routing.x': must be at most 0.5, got 0.9"),
        ("k = \"P6D\"", "k = \"PT0S\"", "element 'upper', key 'baseflow.deep.k': must be at least 0:00:01"),
        ("initial_elevation = 106.0", "initial_elevation = 99.0", "reservoir 'lake': initial_elevation 99.0 is outside"),
        ('downstream = "lake"', 'downstream = "upper"', "downstream names subbasin 'upper'"),
        ("sub_reaches = 3", "sub_reaches = 3 3", "Expected newline"),
    ],
)
def test_file_errors_name_file_element_and_key(tmp_path, old, new, words):
    assert old in GOOD
    path = tmp_path / "broken.toml"
    path.write_text(GOOD.replace(old, new, 1))
    with pytest.raises(bm.BasinFileError) as info:
        bm.load(path)
    message = str(info.value)
    assert message.startswith(str(path)) and words in message


def test_fields_checked_together_change_together():
    b = storm_basin().with_values({"upper.loss.initial_deficit": 2.0, "upper.loss.max_deficit": 3.0})
    assert (b.get("upper.loss.initial_deficit"), b.get("upper.loss.max_deficit")) == (2.0, 3.0)
    with pytest.raises(ValueError, match="initial_deficit 2.0 exceeds max_deficit 1.5"):
        storm_basin().with_values({"upper.loss.initial_deficit": 2.0})
