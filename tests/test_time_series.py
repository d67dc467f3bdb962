"""The two series classes: construction, attributes, durations and disaggregation."""

import math
from datetime import timedelta

import pytest
from hypothesis import given, settings, strategies as st

from cases import CTS, HOUR, ITS, exact

BOTH = pytest.mark.parametrize("cls", [CTS, ITS], ids=["continuous", "incremental"])
KINDS = ["discharge", "rainfall", "elevation", "volume"]
KIND_LIST = '["discharge", "rainfall", "elevation", "volume"]'


def kind_message(given_kind):
    return f"kind must be one of {KIND_LIST}; got '{given_kind}'"


# ---------------------------------------------------------------- construction


@BOTH
@pytest.mark.parametrize("kind", KINDS)
def test_every_valid_kind_builds(cls, kind):
    s = cls([1.0, 2.0], HOUR, kind)
    assert type(s) is cls
    assert s.kind == kind
    assert s.data == [1.0, 2.0]
    assert s.time_step == HOUR


@BOTH
def test_keyword_construction(cls):
    s = cls(kind="volume", time_step=timedelta(minutes=5), data=(1, 2))
    assert (s.data, s.time_step, s.kind) == ([1.0, 2.0], timedelta(seconds=300), "volume")


@BOTH
@pytest.mark.parametrize("kind", ["Discharge", "", " discharge", "discharge ", "rain",
                                  "DISCHARGE", "volume\n", "débit", "it's"])
def test_kind_outside_the_four_tags(cls, kind):
    with pytest.raises(ValueError, match=exact(kind_message(kind))):
        cls([1.0], HOUR, kind)


@BOTH
@pytest.mark.parametrize("args,exc,message", [
    # data is converted first
    (("abc", 5, 7), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    ((5, -HOUR, "x"), TypeError,
     "argument 'data': 'int' object is not an instance of 'Sequence'"),
    # then the time_step type, before kind is looked at
    (([1.0], 60, 7), TypeError,
     "argument 'time_step': 'int' object is not an instance of 'timedelta'"),
    (([1.0], 60, "Discharge"), TypeError,
     "argument 'time_step': 'int' object is not an instance of 'timedelta'"),
    # then the kind type
    (([1.0], -HOUR, 7), TypeError, "argument 'kind': 'int' object is not an instance of 'str'"),
    (([1.0], timedelta(0), None), TypeError,
     "argument 'kind': 'None' is not an instance of 'str'"),
    # then the kind value, before the duration's sign and size
    (([1.0], -HOUR, "Discharge"), ValueError, kind_message("Discharge")),
    (([1.0], timedelta(0), "Discharge"), ValueError, kind_message("Discharge")),
    # then the duration: negative before too small
    (([1.0], timedelta(0), "discharge"), ValueError, "time_step must be > 0"),
], ids=["data-str", "data-int", "step-int", "step-before-kind", "kind-type", "kind-none",
        "kind-before-negative", "kind-before-zero", "zero"])
def test_constructor_check_order(cls, args, exc, message):
    with pytest.raises(exc, match=exact(message)) as info:
        cls(*args)
    assert type(info.value) is exc


@BOTH
def test_negative_step_reported_after_kind(cls):
    with pytest.raises(ValueError) as info:
        cls([1.0], timedelta(microseconds=-1), "rainfall")
    message = str(info.value)
    assert "argument" not in message and "time_step must be > 0" not in message
    assert "negative" in message.lower()


@BOTH
@pytest.mark.parametrize("delta,seconds", [
    (timedelta(seconds=90, microseconds=500000), 90),
    (timedelta(seconds=1, microseconds=999999), 1),
    (timedelta(seconds=1), 1),
    (timedelta(minutes=15), 900),
    (timedelta(days=1), 86400),
    (timedelta(days=3, seconds=5, microseconds=1), 3 * 86400 + 5),
    (timedelta(seconds=2147483647), 2147483647),
    (timedelta(seconds=2147483648), 2147483647),
    (timedelta(days=999999999, seconds=86399, microseconds=999999), 2147483647),
])
def test_time_step_truncated_and_saturated(cls, delta, seconds):
    s = cls([1.0], delta, "discharge")
    assert s.time_step == timedelta(seconds=seconds)
    assert s.time_step.microseconds == 0


@BOTH
@pytest.mark.parametrize("delta", [timedelta(0), timedelta(microseconds=999999),
                                   timedelta(microseconds=1)])
def test_time_step_below_one_second(cls, delta):
    with pytest.raises(ValueError, match=exact("time_step must be > 0")):
        cls([1.0], delta, "discharge")


def test_one_day_step():
    s = CTS([1.0, 2.0, 3.0], timedelta(days=1), "discharge")
    assert s.total_duration() == 172800
    step = s.time_step
    assert type(step) is timedelta
    assert (step.days, step.seconds, step.microseconds) == (1, 0, 0)
    assert step == timedelta(days=1)


@BOTH
def test_empty_data_is_accepted(cls):
    assert cls([], HOUR, "volume").data == []


@BOTH
def test_subclass_constructor_gives_subclass_instances(cls):
    sub = type("Sub", (cls,), {"tag": "mine"})
    s = sub([1.0], HOUR, "discharge")
    assert type(s) is sub and s.tag == "mine"
    assert s.data == [1.0]


@BOTH
def test_values_are_kept_bit_for_bit(cls):
    values = [0.1 + 0.2, -0.0, math.inf, 5e-324, -1.7976931348623157e308]
    out = cls(values, HOUR, "discharge").data
    assert [math.copysign(1, v) for v in out] == [math.copysign(1, v) for v in values]
    assert out == values
    assert math.isnan(cls([math.nan], HOUR, "discharge").data[0])


# ---------------------------------------------------------------- attributes


@BOTH
def test_data_is_a_fresh_list_each_read(cls):
    s = cls([1.0, 2.0], HOUR, "discharge")
    first, second = s.data, s.data
    assert type(first) is list and first == second and first is not second
    first.append(3.0)
    first[0] = -1.0
    assert s.data == [1.0, 2.0]
    assert all(type(v) is float for v in cls([1, True], HOUR, "discharge").data)


@BOTH
@pytest.mark.parametrize("attr,value", [("data", [9.0]), ("time_step", HOUR),
                                        ("kind", "volume")])
def test_attributes_are_read_only(cls, attr, value):
    s = cls([1.0], timedelta(seconds=60), "rainfall")
    with pytest.raises(AttributeError):
        setattr(s, attr, value)
    with pytest.raises(AttributeError):
        delattr(s, attr)
    assert (s.data, s.time_step, s.kind) == ([1.0], timedelta(seconds=60), "rainfall")


@BOTH
@pytest.mark.parametrize("attr", ["data", "time_step", "kind"])
def test_attribute_docstrings_are_empty(cls, attr):
    assert getattr(cls, attr).__doc__ == ""


@BOTH
def test_kind_is_a_str(cls):
    k = cls([1.0], HOUR, type("S", (str,), {})("elevation")).kind
    assert type(k) is str and k == "elevation"


# ---------------------------------------------------------------- total_duration


@pytest.mark.parametrize("cls,n,step,expected", [
    (CTS, 3, 60, 120),
    (CTS, 1, 60, 0),
    (ITS, 3, 60, 180),
    (ITS, 1, 3600, 3600),
    (ITS, 0, 3600, 0),
    (CTS, 3, 2147483647, 2 * 2147483647),  # no 32-bit overflow
    (ITS, 3, 2147483647, 3 * 2147483647),
])
def test_total_duration(cls, n, step, expected):
    s = cls([1.0] * n, timedelta(seconds=step), "discharge")
    d = s.total_duration()
    assert type(d) is int and d == expected


def test_empty_continuous_total_duration_is_an_int():
    assert type(CTS([], HOUR, "discharge").total_duration()) is int


@BOTH
def test_total_duration_takes_no_arguments(cls):
    with pytest.raises(TypeError):
        cls([1.0], HOUR, "discharge").total_duration(1)


# ---------------------------------------------------------------- disaggregate


def test_disaggregate_examples():
    s = ITS([3.0, 6.0], HOUR, "rainfall")
    half = s.disaggregate(1800)
    assert (half.data, half.time_step, half.kind) == ([1.5, 1.5, 3.0, 3.0],
                                                      timedelta(seconds=1800), "rainfall")
    same = s.disaggregate(target_step=3600)
    assert same.data == [3.0, 6.0] and same.time_step == HOUR
    assert s.data == [3.0, 6.0] and s.time_step == HOUR


@pytest.mark.parametrize("step,target,message", [
    (3600, 7200, "Original time_step (3600) must be a multiple of target_step (7200)."),
    (3600, 1000, "Original time_step (3600) must be a multiple of target_step (1000)."),
    (3600, 29, "target_step must be >= 30 seconds."),
    (3600, -3600, "target_step must be >= 30 seconds."),
    (20, 30, "Original time_step (20) must be a multiple of target_step (30)."),
    (2147483647, 2147483646,
     "Original time_step (2147483647) must be a multiple of target_step (2147483646)."),
])
def test_disaggregate_refusals(step, target, message):
    with pytest.raises(ValueError, match=exact(message)):
        ITS([1.0], timedelta(seconds=step), "rainfall").disaggregate(target)


@pytest.mark.parametrize("step,target,n", [(30, 30, 1), (60, 30, 2), (86400, 30, 2880),
                                           (2147483647, 2147483647, 1)])
def test_disaggregate_smallest_and_largest_targets(step, target, n):
    out = ITS([6.0, 0.0], timedelta(seconds=step), "volume").disaggregate(target)
    assert len(out.data) == 2 * n
    assert out.time_step == timedelta(seconds=target)
    assert math.isclose(sum(out.data[:n]), 6.0, rel_tol=1e-12)
    assert out.data[n:] == [0.0] * n


def test_disaggregate_target_beyond_32_bits():
    s = ITS([1.0], HOUR, "rainfall")
    with pytest.raises(OverflowError) as info:
        s.disaggregate(2**31)
    assert "argument" not in str(info.value)


def test_disaggregate_empty_series():
    out = ITS([], HOUR, "volume").disaggregate(60)
    assert out.data == [] and out.time_step == timedelta(seconds=60) and out.kind == "volume"


def test_disaggregate_piece_is_factor_times_value():
    # factor = target / step, computed once; every piece is factor * v.
    out = ITS([0.7, -2.0, math.inf], timedelta(seconds=180), "rainfall").disaggregate(60)
    factor = 60 / 180
    assert out.data == [factor * 0.7] * 3 + [factor * -2.0] * 3 + [math.inf] * 3
    nan_out = ITS([math.nan], timedelta(seconds=60), "rainfall").disaggregate(30)
    assert len(nan_out.data) == 2 and all(math.isnan(v) for v in nan_out.data)


def test_disaggregate_returns_the_base_class_from_a_subclass():
    sub = type("Sub", (ITS,), {})
    out = sub([2.0], HOUR, "rainfall").disaggregate(1200)
    assert type(out) is ITS
    assert out.data == [(1200 / 3600) * 2.0] * 3
    assert out.time_step == timedelta(seconds=1200)


def test_disaggregate_is_only_on_incremental_series():
    assert not hasattr(CTS, "disaggregate")
    with pytest.raises(TypeError):
        ITS.disaggregate(CTS([1.0], HOUR, "rainfall"), 60)


# No deadline: speed is measured in benchmarks/, and a loaded or sanitized
# run must not fail on time.
@settings(deadline=None)
@given(values=st.lists(st.floats(min_value=0.0, max_value=1e6), max_size=20),
       target=st.sampled_from([30, 60, 120, 300, 600, 900, 1200, 1800, 3600]),
       hours=st.integers(min_value=1, max_value=48))
def test_disaggregate_preserves_depth(values, target, hours):
    step = 3600 * hours
    n = step // target
    out = ITS(values, timedelta(seconds=step), "rainfall").disaggregate(target)
    assert len(out.data) == n * len(values)
    assert out.time_step == timedelta(seconds=target)
    for i, v in enumerate(values):
        pieces = out.data[i * n:(i + 1) * n]
        assert len(set(pieces)) <= 1
        assert math.isclose(sum(pieces), v, rel_tol=1e-9, abs_tol=1e-300)
    assert out.total_duration() == ITS(values, timedelta(seconds=step),
                                       "rainfall").total_duration()


# ---------------------------------------------------------------- docstrings


CTS_DOC = ("A uniformly-spaced time series where each value represents a quantity at a\n"
           "discrete point in time (e.g. discharge, elevation, storage).\n"
           "\n"
           "Total duration spans first to last point: `time_step * (len(data) - 1)`.\n"
           "Supports linear interpolation between points.")
ITS_DOC = ("A uniformly-spaced time series where each value represents a quantity\n"
           "accumulated over one time step interval (e.g. rainfall depth, volume added).\n"
           "\n"
           "Total duration spans all intervals: `time_step * len(data)`.\n"
           "Supports disaggregation to a finer time step.")


@pytest.mark.parametrize("obj,signature,doc", [
    (CTS, "(data, time_step, kind)", CTS_DOC),
    (ITS, "(data, time_step, kind)", ITS_DOC),
    (CTS.total_duration, "($self)", "Total duration from first to last data point (seconds)."),
    (ITS.total_duration, "($self)",
     "Total duration spanning all time step intervals (seconds)."),
    (ITS.disaggregate, "($self, target_step)",
     "Disaggregates to a finer `target_step` (seconds) by uniformly\n"
     "distributing each bucket's value. Total depth is preserved."),
], ids=["continuous", "incremental", "continuous.total_duration",
        "incremental.total_duration", "disaggregate"])
def test_docstrings(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc
