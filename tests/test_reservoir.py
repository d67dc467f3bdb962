"""Rating curves, outlet classes and level pool routing seen from Python."""

import math
from datetime import timedelta

import pytest

from basinkit import reservoir
from cases import exact, flow as series, level_pool_model
from reference.level_pool import Constant

ru = reservoir.reservoir_utils
route = reservoir.run_level_pool_routing


def rating():
    return ru.ElevationDischarge([100.0, 110.0], [0.0, 200.0])


# --- rating curves -------------------------------------------------------------------------

STORAGE_ERRORS = [
    ([3.0, 2.0, 1.0], [1.0, 2.0], "`elevation` and `storage` must have the same length"),
    ([1.0, 1.0, 2.0], [0.0, 1.0, 2.0], "`elevation` must must be sorted and can't have duplicates"),
    ([2.0, 1.0], [2.0, 1.0], "`elevation` must must be sorted and can't have duplicates"),
    ([1.0, 2.0], [5.0, 5.0], "`storage` must must be sorted and can't have duplicates"),
    ([1.0, 2.0], [math.nan, 5.0], "`storage` must must be sorted and can't have duplicates"),
]
DISCHARGE_ERRORS = [
    ([1.0], [2.0, 3.0], "`elevation` and `discharge` must have the same length"),
    ([1.0], [2.0], "`elevation` and `discharge` each must have at least 2 elements."),
    ([1.0, 1.0, 2.0], [0.0, 1.0, 2.0], "`elevation` must must be sorted and can't have duplicates"),
    ([2.0, 1.0], [3.0, 1.0], "`elevation` must must be sorted and can't have duplicates"),
    ([1.0, 2.0, 3.0], [0.0, 2.0, 1.0], "`discharge` must must be sorted"),
]


@pytest.mark.parametrize(
    "cls,elevation,values,message",
    [(ru.ElevationStorage, *c) for c in STORAGE_ERRORS]
    + [(ru.ElevationDischarge, *c) for c in DISCHARGE_ERRORS],
)
def test_curve_construction_reports_first_failed_check(cls, elevation, values, message):
    with pytest.raises(ValueError, match=exact(message)):
        cls(elevation, values)


@pytest.mark.parametrize("elevation,storage", [([], []), ([1.0], [2.0]), ([math.nan], [math.nan])])
def test_short_storage_curves_are_accepted(elevation, storage):
    curve = ru.ElevationStorage(elevation, storage)
    assert len(curve.storage) == len(storage)


def test_storage_curve_lookups_and_messages():
    curve = ru.ElevationStorage([100.0, 110.0, 120.0], [0.0, 100.0, 300.0])
    assert [curve.get_storage(e) for e in (115.0, 100.0, 120.0)] == [200.0, 0.0, 300.0]
    assert curve.get_elevation(250.0) == 117.5
    assert curve.get_elevation(0.0) == 100.0
    with pytest.raises(ValueError, match=exact(
            "`elevation` 99.5 is outside the range of the elevation-storage curve.")):
        curve.get_storage(99.5)
    with pytest.raises(ValueError, match=exact(
            "`storage` 400 is outside the range of the elevation-storage curve.")):
        curve.get_elevation(400.0)
    assert ru.ElevationDischarge([1.0, 2.0, 3.0], [0.0, 0.0, 5.0]).discharge == [0.0, 0.0, 5.0]


@pytest.mark.parametrize("make,attr", [
    (lambda: ru.ElevationStorage([1.0, 2.0], [3.0, 4.0]), "elevation"),
    (lambda: ru.ElevationStorage([1.0, 2.0], [3.0, 4.0]), "storage"),
    (rating, "elevation"),
    (rating, "discharge"),
])
def test_curve_attributes_are_fresh_copies(make, attr):
    curve = make()
    first = getattr(curve, attr)
    first.append(99.0)
    second = getattr(curve, attr)
    assert second is not first and 99.0 not in second


# --- outlets -------------------------------------------------------------------------------

@pytest.mark.parametrize("given,stored", [
    ((None, None, None), (100.0, None, None)),
    ((90.0, 120.0, 60.0), (100.0, 110.0, 60.0)),
    ((102.0, 108.0, None), (102.0, 108.0, None)),
    ((math.nan, math.nan, None), (100.0, 110.0, None)),
])
def test_controlled_outlet_clamps_its_gates_into_the_curve(given, stored):
    outlet = ru.ControlledDischargeInfo(rating(), *given)
    assert (outlet.minimum_elevation, outlet.maximum_elevation, outlet.maximum_release) == stored
    assert outlet.elevation_discharge.elevation == [100.0, 110.0]


def test_outlet_attributes_and_none_handling():
    constant = ru.ConstantDischargeInfo(50.0, maximum_elevation=None)
    assert (constant.discharge, constant.minimum_elevation, constant.maximum_elevation) == (
        50.0, None, None)
    spill = ru.UnControlledDischargeInfo(rating(), elevation_offset=-5.0)
    assert spill.elevation_offset == -5.0
    assert ru.UnControlledDischargeInfo(rating()).elevation_offset is None
    assert spill.elevation_discharge is not spill.elevation_discharge
    given = series([1.0, 2.0])
    specified = ru.SpecifiedDischargeInfo(given, None, 110.0, maximum_release=3)
    bounds = (specified.minimum_elevation, specified.maximum_elevation, specified.maximum_release)
    assert bounds == (None, 110.0, 3.0)
    copy = specified.discharge
    assert copy is not given and copy.data == [1.0, 2.0] and copy is not specified.discharge


# --- level pool routing --------------------------------------------------------------------

def flat_curve():
    return ru.ElevationStorage([100.0, 110.0], [0.0, 1e9])


def test_worked_example():
    result = route(series([0.0, 10.0, 10.0], timedelta(seconds=2)), 100.0,
                   ru.ElevationStorage([100.0, 110.0], [0.0, 100.0]),
                   {"spill": ru.ConstantDischargeInfo(1.0)})
    assert result.reservoir_storage.data == [0.0, 13.0]
    assert result.reservoir_elevation.data == [100.0, 101.3]
    assert level_pool_model()([0.0, 10.0, 10.0], 2, 100.0, [100.0, 110.0], [0.0, 100.0],
                              {"spill": Constant(1.0)}) == ([0.0, 13.0], [100.0, 101.3])
    assert result.reservoir_total_outflow.data == [1.0, 1.0]
    outflows = result.reservoir_individual_outflows
    assert list(outflows) == ["spill"] and outflows["spill"].data == [1.0, 1.0]
    assert result.reservoir_storage.kind == "volume"
    assert result.reservoir_elevation.kind == "elevation"
    assert outflows["spill"].kind == "discharge"
    assert outflows["spill"].time_step == timedelta(seconds=2)


@pytest.mark.parametrize("n,step,length", [(1, 60, 1), (2, 60, 1), (5, 3, 4), (6, 1, 5)])
def test_result_lengths(n, step, length):
    outlets = {"a": ru.ConstantDischargeInfo(1.0), "b": ru.ConstantDischargeInfo(2.0)}
    result = route(series([5.0] * n, timedelta(seconds=step)), 105.0, flat_curve(), outlets)
    assert len(result.reservoir_storage.data) == length
    assert len(result.reservoir_elevation.data) == length
    total = result.reservoir_total_outflow.data
    outflows = result.reservoir_individual_outflows
    if n == 1:
        assert total == [] and outflows == {}
    else:
        assert total == [3.0] * length
        assert sorted(outflows) == ["a", "b"]
        assert all(len(s.data) == length for s in outflows.values())


def test_single_value_inflow_never_asks_an_outlet():
    failing = ru.SpecifiedDischargeInfo(series([]))
    result = route(series([1.0]), 105.0, flat_curve(), {"s": failing})
    assert result.reservoir_storage.data == [5e8]


def test_empty_outlet_dict_routes_inflow_only():
    curve = ru.ElevationStorage([0.0, 100.0], [0.0, 100.0])
    result = route(series([2.0, 50.0, 6.0, 0.0], timedelta(seconds=1)), 10.0, curve, {})
    assert result.reservoir_storage.data == [10.0, 14.0, 17.0]
    assert result.reservoir_total_outflow.data == [0.0, 0.0, 0.0]
    assert result.reservoir_individual_outflows == {}


def test_storage_clamps_at_zero():
    drain = {"d": ru.ConstantDischargeInfo(1000.0)}
    inflow = series([0.0, 0.0, 0.0], timedelta(seconds=10))
    result = route(inflow, 6.0, ru.ElevationStorage([5.0, 15.0], [0.0, 100.0]), drain)
    assert result.reservoir_storage.data == [10.0, 0.0]
    assert result.reservoir_elevation.data == [6.0, 5.0]
    with pytest.raises(ValueError, match=exact(
            "`storage` 0 is outside the range of the elevation-storage curve.")):
        route(inflow, 6.0, ru.ElevationStorage([5.0, 15.0], [10.0, 110.0]), drain)


@pytest.mark.parametrize("inflow,elevation,outlets,message", [
    (series([0.0, 95.0, 95.0], timedelta(seconds=2)), 5.0, {},
     "`storage` 142.5 is outside the range of the elevation-storage curve."),
    (series([0.0, 0.0]), 4.5, {},
     "`elevation` 4.5 is outside the range of the elevation-storage curve."),
    (series([1.0] * 4), 5.0, {"s": ru.SpecifiedDischargeInfo(series([0.0] * 3))},
     "simulation duration 7201s exceeds the specified discharge series length (7200s)."),
    (series([1.0] * 4), 5.0,
     {"w": ru.UnControlledDischargeInfo(ru.ElevationDischarge([1.0, 2.0], [0.0, 1.0]))},
     "elevation 5 is above the maximum of the elevation-discharge curve (2)."),
])
def test_failures_pass_through_unchanged(inflow, elevation, outlets, message):
    curve = ru.ElevationStorage([5.0, 15.0], [0.0, 100.0] if not outlets else [0.0, 1e6])
    with pytest.raises(ValueError, match=exact(message)):
        route(inflow, elevation, curve, outlets)


def test_a_value_that_is_no_outlet():
    variants = [("Uncontrolled", "UnControlledDischargeInfo"),
                ("Controlled", "ControlledDischargeInfo"),
                ("Specified", "SpecifiedDischargeInfo"),
                ("Constant", "ConstantDischargeInfo")]
    message = ("argument 'discharge_info': failed to extract enum DischargeInfo "
               "('Uncontrolled | Controlled | Specified | Constant')")
    for variant, cls in variants:
        message += (f"\n- variant {variant} ({variant}): TypeError: failed to extract field "
                    f"DischargeInfo::{variant}.0, caused by TypeError: "
                    f"'int' object is not an instance of '{cls}'")
    with pytest.raises(TypeError) as info:
        route(series([1.0, 1.0]), 105.0, flat_curve(), {"a": 5})
    assert str(info.value) == message


def test_specified_release_is_capped_by_maximum_release():
    released = series([5.0, 1.0, 5.0])
    outlets = {
        "capped": ru.SpecifiedDischargeInfo(released, maximum_release=2.0),
        "nan_cap": ru.SpecifiedDischargeInfo(released, maximum_release=math.nan),
        "gated": ru.SpecifiedDischargeInfo(released, minimum_elevation=200.0, maximum_release=2.0),
    }
    result = route(series([0.0, 0.0, 0.0]), 105.0, flat_curve(), outlets)
    flows = {name: s.data for name, s in result.reservoir_individual_outflows.items()}
    assert flows == {"capped": [1.0, 2.0], "nan_cap": [1.0, 5.0], "gated": [0.0, 0.0]}


# --- level pool against the reference, bit for bit -----------------------------------------
# The loop reads ratings near the last step's segment, multiplies by a segment's exact
# reciprocal where its width is a power of two, and starts the summed release from the first
# outlet's value where that is never -0.0. Each case leads it through one of the ways back to
# the full lookup: widths of every kind, -0.0 ordinates, segments narrower than a step's rise,
# outlets out of their kinds' order, a schedule.

from reference.level_pool import Controlled, Specified, Uncontrolled, level_pool as reference_pool

POOL_ELEV = [100.0, 100.5, 101.0, 103.0, 103.3, 104.0, 104.001, 104.002, 108.0]
POOL_STOR = [0.0, 4.0e4, 9.0e4, 3.0e5, 3.5e5, 4.7e5, 4.7002e5, 4.7004e5, 1.2e6]


def pool_outlets(kind):
    widths = [100.0, 100.5, 101.5, 102.0, 102.3, 103.0, 103.0001, 103.0002, 104.0, 106.0, 108.5]
    flows = [0.0, 1.0, 2.0, 4.0, 5.0, 7.0, 7.0, 7.5, 9.0, 20.0, 40.0]
    signed = [-0.0, -0.0, 0.5, 1.0]
    gate = Controlled(widths, flows, minimum_elevation=100.8, maximum_release=6.0)
    spill = Uncontrolled([100.0, 101.0, 102.0, 104.0, 108.5], [0.0, 0.25, 3.0, 9.0, 30.0])
    return {
        "mixed widths": [spill, gate, Constant(0.5, minimum_elevation=100.2)],
        "-0.0 first": [Uncontrolled([100.0, 100.5, 101.0, 108.5], signed), gate],
        "-0.0 gate first": [Controlled([100.0, 100.5, 101.0, 108.5], signed, maximum_release=-0.0),
                            Constant(-0.0)],
        "constant first": [Constant(0.25, minimum_elevation=101.0), spill, gate],
        "shifted": [Uncontrolled(widths, flows, elevation_offset=-0.5), spill],
        "with schedule": [spill, Specified([0.0, 2.0, 1.0, 3.0] * 12, 900), gate],
    }[kind]


@pytest.mark.parametrize("kind", ["mixed widths", "-0.0 first", "-0.0 gate first",
                                  "constant first", "shifted", "with schedule"])
def test_level_pool_matches_the_reference_bit_for_bit(kind):
    from cases import module_outlet

    outlets = pool_outlets(kind)
    # A rise through every segment, the narrow ones within a step, and a fall.
    inflow = [0.0, 16.0, 120.0, 48.0, 12.0, 0.0, 0.0, 0.0, 0.0]
    step = 3600
    want = reference_pool(inflow, step, 100.7, POOL_ELEV, POOL_STOR, outlets)
    made = {f"o{k}": module_outlet(o) for k, o in enumerate(outlets)}
    got = route(series(inflow, timedelta(seconds=step)), 100.7,
                ru.ElevationStorage(POOL_ELEV, POOL_STOR), made)
    parts = got.reservoir_individual_outflows
    pairs = [(got.reservoir_storage.data, want[0]), (got.reservoir_elevation.data, want[1]),
             (got.reservoir_total_outflow.data, want[2])]
    pairs += [(parts[f"o{k}"].data, want[3][k]) for k in range(len(outlets))]
    for ours, theirs in pairs:
        assert [v.hex() for v in ours] == [v.hex() for v in theirs]
    # The run must rise through the narrow segments, or it tests little.
    assert max(want[1]) > 104.002

