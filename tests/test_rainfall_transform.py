"""Clark unit hydrograph: translation to interval ends, reservoir attenuation with
its recession kept, and the convolution with excess rainfall."""

import math
from datetime import timedelta

import pytest

import basinkit
from cases import CTS, HOUR, clark_model, exact, rain
from reference.arith import ACRE_INCH_HOUR

clark = basinkit.rainfall_transform.run_clark_uh


def test_worked_example():
    out = clark(rain([1.0, 0.5]), 640.0, timedelta(hours=2), HOUR)
    assert type(out) is CTS
    assert (out.kind, out.time_step) == ("discharge", HOUR)
    assert len(out.data) == 23
    assert out.data[0] == 0.0
    assert out.data[:6] == pytest.approx(
        [0.0, 107.571442, 304.753268, 316.678581, 159.329006, 53.109669], abs=5e-7)
    assert all(v > 0.0 for v in out.data[1:])
    assert out.data == clark_model()([1.0, 0.5], 3600, 640.0, timedelta(hours=2), HOUR)


@pytest.mark.parametrize("step,tc,r,area", [
    (3600, timedelta(hours=2), HOUR, 640.0),
    (3600, timedelta(hours=2, minutes=30), timedelta(minutes=90), 100.0),
    (3600, timedelta(hours=3), timedelta(0), 50.0),
    (900, timedelta(hours=100), timedelta(hours=2), 1200.0),
    (60, timedelta(seconds=7260, microseconds=500000), timedelta(seconds=30), 3.25),
    (3600, timedelta(0), timedelta(minutes=10), 640.0),
])
def test_whole_hydrograph_matches_the_python_model(step, tc, r, area):
    values = [0.0, 0.4, 1.25, 0.0, -0.0, 0.3, 0.05]
    out = clark(rain(values, timedelta(seconds=step)), area, tc, r).data
    assert out == clark_model()(values, step, area, tc, r)
    # U_0 and n translation ordinates at least: L + n values or more.
    assert len(out) >= len(values) + max(math.ceil(tc.total_seconds() / step), 1)


@pytest.mark.parametrize("tc", [HOUR, timedelta(minutes=30), timedelta(microseconds=1),
                                timedelta(0)])
def test_short_tc_without_storage_delays_rain_by_one_step(tc):
    values = [0.2, 0.0, 1.5, 0.75]
    out = clark(rain(values), 640.0, tc, timedelta(0)).data
    q1 = ((1.0 * 640.0) * ACRE_INCH_HOUR) / (3600.0 / 3600.0)
    assert out == [0.0] + [p * q1 for p in values]


def test_short_tc_with_storage_gives_a_hydrograph():
    out = clark(rain([1.0]), 640.0, HOUR, HOUR).data
    assert out[0] == 0.0 and out[1] > 0.0 and len(out) > 2


@pytest.mark.parametrize("values", [[], [1.0, 2.0, 0.5]])
def test_zero_tc_is_the_limit_of_a_short_one(values):
    step = timedelta(minutes=5)
    out = clark(rain(values, step), 640.0, timedelta(0), HOUR)
    assert (out.time_step, out.kind) == (step, "discharge")
    assert out.data == clark(rain(values, step), 640.0, timedelta(microseconds=1), HOUR).data
    assert len(out.data) > len(values) + 1
    assert (sum(out.data) > 0.0) == bool(values)


def test_sub_second_parts_count():
    a = clark(rain([1.0]), 640.0, timedelta(hours=2), HOUR).data
    b = clark(rain([1.0]), 640.0, timedelta(hours=2, microseconds=1), HOUR).data
    c = clark(rain([1.0]), 640.0, timedelta(hours=2), timedelta(hours=1, microseconds=1)).data
    assert a != b and a != c


def test_huge_tc_is_a_memory_error():
    with pytest.raises(MemoryError):
        clark(rain([1.0], timedelta(seconds=1)), 640.0, timedelta(days=999_999_999), HOUR)


@pytest.mark.parametrize("args,exc,message", [
    ((CTS([1.0], HOUR, "rainfall"), 1.0, HOUR, HOUR), TypeError,
     "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of "
     "'IncrementalTimeSeries'"),
    ((rain([1.0]), 1.0, 7200.0, HOUR), TypeError,
     "argument 'tc': 'float' object is not an instance of 'timedelta'"),
    # the type of storage_r is tested before tc is converted
    ((rain([1.0]), 1.0, -HOUR, 3600), TypeError,
     "argument 'storage_r': 'int' object is not an instance of 'timedelta'"),
], ids=["continuous", "tc-number", "storage-type-before-negative-tc"])
def test_argument_errors(args, exc, message):
    with pytest.raises(exc, match=exact(message)):
        clark(*args)


def test_basin_area_must_convert():
    with pytest.raises(TypeError, match="^argument 'basin_area': "):
        clark(rain([1.0]), "640", HOUR, HOUR)


@pytest.mark.parametrize("tc,r", [(-HOUR, HOUR), (HOUR, timedelta(microseconds=-1)),
                                  (-HOUR, -HOUR)])
def test_negative_durations(tc, r):
    with pytest.raises(ValueError, match="negative") as info:
        clark(rain([1.0]), 640.0, tc, r)
    assert "argument" not in str(info.value)


def test_keywords_numpy_and_docstring():
    np = pytest.importorskip("numpy")
    a = clark(rainfall=rain(np.array([1.0, 0.5])), basin_area=np.float64(640.0),
              tc=timedelta(hours=2), storage_r=HOUR)
    assert a.data == clark(rain([1.0, 0.5]), 640, timedelta(hours=2), HOUR).data
    assert clark.__text_signature__ == "(rainfall, basin_area, tc, storage_r)"
    assert clark.__doc__.startswith(
        "Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n")
