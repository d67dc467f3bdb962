"""Clark unit hydrograph: translation to interval ends, reservoir attenuation with
its recession kept, and the convolution with excess rainfall."""

import math
import re
from datetime import timedelta

import pytest

import basinkit

ITS = basinkit.utils.IncrementalTimeSeries
CTS = basinkit.utils.ContinuousTimeSeries
clark = basinkit.rainfall_transform.run_clark_uh
HOUR = timedelta(hours=1)


def exact(message):
    return "^" + re.escape(message) + "$"


def rain(values, step=HOUR):
    return ITS(values, step, "rainfall")


def seconds(delta):
    return (delta.microseconds * 1000) / 1e9 + (delta.days * 86400 + delta.seconds)


def translation(step_s, tc_s, area):
    """Translation ordinates q_1..q_n from the time-area curve; n >= 1."""
    dt = float(step_s)
    q, prev = [], 0.0
    for j in range(1, max(math.ceil(tc_s / dt), 1) + 1):
        t = min((dt * j) / tc_s, 1.0) if tc_s > 0.0 else 1.0
        a = t ** 1.5 * 1.414 if t < 0.5 else (1.0 - t) ** 1.5 * -1.414 + 1.0
        q.append((((a - prev) * area) * 1.00833) / (dt / 3600.0))
        prev = a
    return q


def truncated(values, step_s, tc_s, r_s, area):
    """The hydrograph with the unit hydrograph cut after U_n: the translation
    ordinates enter at the ends of their intervals, from zero at time 0."""
    dt = float(step_s)
    two_k = r_s + r_s
    twok1mx = two_k * 1.0
    den = dt + twok1mx
    c0, c1, c2 = (dt - two_k * 0.0) / den, (dt + two_k * 0.0) / den, (twok1mx - dt) / den
    inflow = [0.0] + translation(step_s, tc_s, area)
    uh = [0.0]
    for i in range(1, len(inflow)):
        uh.append(c2 * uh[i - 1] + (c1 * inflow[i - 1] + c0 * inflow[i]))
    out = [0.0] * (len(values) + len(uh) - 1)
    for i, p in enumerate(values):
        if p != 0.0:
            for m, u in enumerate(uh):
                out[i + m] = out[i + m] + p * u
    return out


def test_worked_example():
    out = clark(rain([1.0, 0.5]), 640.0, timedelta(hours=2), HOUR)
    assert type(out) is CTS
    assert (out.kind, out.time_step) == ("discharge", HOUR)
    assert len(out.data) == 23
    assert out.data[0] == 0.0
    assert out.data[:6] == pytest.approx(
        [0.0, 107.571442, 304.753268, 316.678581, 159.329006, 53.109669], abs=5e-7)
    assert all(v > 0.0 for v in out.data[1:])


@pytest.mark.parametrize("step,tc,r,area", [
    (3600, timedelta(hours=2), HOUR, 640.0),
    (3600, timedelta(hours=2, minutes=30), timedelta(minutes=90), 100.0),
    (3600, timedelta(hours=3), timedelta(0), 50.0),
    (900, timedelta(hours=100), timedelta(hours=2), 1200.0),
    (60, timedelta(seconds=7260, microseconds=500000), timedelta(seconds=30), 3.25),
    (3600, timedelta(0), timedelta(minutes=10), 640.0),
])
def test_first_values_match_the_truncated_hydrograph(step, tc, r, area):
    values = [0.0, 0.4, 1.25, 0.0, -0.0, 0.3, 0.05]
    out = clark(rain(values, timedelta(seconds=step)), area, tc, r).data
    ref = truncated(values, step, seconds(tc), seconds(r), area)
    n = max(math.ceil(seconds(tc) / step), 1)
    assert len(out) >= len(ref)
    assert out[:n + 1] == ref[:n + 1]


@pytest.mark.parametrize("tc", [HOUR, timedelta(minutes=30), timedelta(microseconds=1),
                                timedelta(0)])
def test_short_tc_without_storage_delays_rain_by_one_step(tc):
    values = [0.2, 0.0, 1.5, 0.75]
    out = clark(rain(values), 640.0, tc, timedelta(0)).data
    q1 = ((1.0 * 640.0) * 1.00833) / (3600.0 / 3600.0)
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
