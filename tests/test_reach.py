"""Muskingum routing through a reach of equal sub-reaches, and its x warning."""

import math
import warnings
from datetime import timedelta

import pytest

import basinkit
from cases import CTS, HOUR, ITS, assert_refused, exact, flow as series, muskingum_model

route = basinkit.reach.run_muskingum_routing
X_WARNING = "`x` is outside the recommended range [0.0, 0.5]."
HYDROGRAPH = [100.0, 200.0, 300.0, 200.0, 100.0]


@pytest.fixture
def no_warnings():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield caught
    assert caught == []


@pytest.mark.parametrize("sub_reaches,expected", [
    (1, [100.0, 104.761905, 154.875283, 219.220387, 205.305917]),
    (2, [100.0, 105.325444, 137.960856, 201.260460, 227.554250]),
])
def test_worked_examples(no_warnings, sub_reaches, expected):
    out = route(series(HYDROGRAPH), timedelta(hours=2), 0.2, sub_reaches, 100.0)
    assert type(out) is CTS
    assert out.data == pytest.approx(expected, abs=5e-7)
    assert out.data == muskingum_model()(HYDROGRAPH, 3600, timedelta(hours=2), 0.2, sub_reaches,
                                         100.0)


@pytest.mark.parametrize("step,k,x,sub_reaches,initial", [
    (900, timedelta(minutes=47, microseconds=3), 0.137, 1, 2.5),
    (60, timedelta(seconds=10), 0.45, 3, 0.0),
    (3600, timedelta(0), 0.3, 2, 7.0),          # zero storage: C2 = -1
    (300, timedelta(hours=5), -0.2, 4, 11.0),    # outside the range, still routed
    (86400, timedelta(days=3), 0.5, 7, 1e-3),
])
def test_matches_passwise_reference(step, k, x, sub_reaches, initial):
    values = [3.7, 118.21, 0.013, 77.7, 1e-3, 5123.9, 0.7, 33.3, 0.0, 12.0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = route(series(values, timedelta(seconds=step)), k, x, sub_reaches, initial)
    assert out.data == muskingum_model()(values, step, k, x, sub_reaches, initial)
    assert out.data[0] == initial


@pytest.mark.parametrize("sub_reaches", [1, 2, 5, True])
def test_single_value(no_warnings, sub_reaches):
    out = route(series([7.0], timedelta(minutes=1), "volume"), HOUR, 0.2, sub_reaches, -3.0)
    assert (out.data, out.kind, out.time_step) == ([-3.0], "discharge", timedelta(minutes=1))


@pytest.mark.parametrize("kind", ["rainfall", "elevation", "volume"])
def test_result_is_discharge_at_the_inflow_step(no_warnings, kind):
    src = series(HYDROGRAPH, timedelta(minutes=10), kind)
    out = route(src, HOUR, 0.1, 2, 50.0)
    assert (out.kind, out.time_step, len(out.data)) == ("discharge", timedelta(minutes=10), 5)
    assert (src.data, src.kind) == (HYDROGRAPH, kind)


@pytest.mark.parametrize("x", [0.0, -0.0, 0.5, 0.25])
def test_x_inside_the_range_does_not_warn(no_warnings, x):
    route(series(HYDROGRAPH), HOUR, x, 1, 100.0)


@pytest.mark.parametrize("x", [0.6, -0.1, math.nan, 0.5000000000000001, math.inf])
def test_x_outside_the_range_warns_once_and_routes(x):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = route(series(HYDROGRAPH), HOUR, x, 1, 100.0)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, X_WARNING)]
    assert len(out.data) == 5 and out.data[0] == 100.0


def test_warning_as_error_stops_the_call():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=exact(X_WARNING)):
            route(series(HYDROGRAPH), HOUR, 0.7, 1, 100.0)


def test_warning_comes_before_the_duration_is_converted():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            route(series(HYDROGRAPH), -HOUR, 0.7, 1, 100.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="negative") as info:
            route(series(HYDROGRAPH), -HOUR, 0.7, 1, 100.0)
    assert "argument" not in str(info.value)
    assert [str(w.message) for w in caught] == [X_WARNING]


def test_conversion_errors_come_before_the_warning():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(TypeError, match="^argument 'initial_outflow': "):
            route(series(HYDROGRAPH), HOUR, 0.7, 1, None)


@pytest.mark.parametrize("inflow,sub_reaches,message", [
    ([], 1, "`inflow` must contain at least one value."),
    (HYDROGRAPH, 0, "`sub_reaches` must be >= 1."),
    (HYDROGRAPH, -3, "`sub_reaches` must be >= 1."),
])
def test_refused_values(no_warnings, inflow, sub_reaches, message):
    with pytest.raises(ValueError, match=exact(message)):
        route(series(inflow), HOUR, 0.2, sub_reaches, 1.0)


@pytest.mark.parametrize("args,exc,message", [
    ((ITS(HYDROGRAPH, HOUR, "discharge"), HOUR, 0.2, 1, 1.0), TypeError,
     "argument 'inflow': 'IncrementalTimeSeries' object is not an instance of "
     "'ContinuousTimeSeries'"),
    ((series(HYDROGRAPH), 3600, "x", 1, 1.0), TypeError,
     "argument 'k': 'int' object is not an instance of 'timedelta'"),
    ((series(HYDROGRAPH), HOUR, 0.2, 2.0, 1.0), TypeError, "argument 'sub_reaches': "),
    ((series(HYDROGRAPH), HOUR, 0.2, 1, None), TypeError, "argument 'initial_outflow': "),
], ids=["incremental", "k-number", "float-count", "none-initial"])
def test_argument_errors(args, exc, message):
    assert_refused(exc, message, route, *args)


def test_sub_reaches_beyond_64_bits_overflows():
    with pytest.raises(OverflowError) as info:
        route(series(HYDROGRAPH), HOUR, 0.2, 2**63, 1.0)
    assert "sub_reaches" not in str(info.value)


def test_all_arguments_are_required():
    with pytest.raises(TypeError, match=exact(
            "run_muskingum_routing() missing 1 required positional argument: "
            "'initial_outflow'")):
        route(series(HYDROGRAPH), HOUR, 0.2, 1)


def test_keywords_and_numpy_values():
    np = pytest.importorskip("numpy")
    a = route(inflow=series(np.array(HYDROGRAPH)), k=timedelta(hours=2), x=np.float64(0.2),
              sub_reaches=np.int64(2), initial_outflow=np.float32(100.0))
    b = route(series(HYDROGRAPH), timedelta(hours=2), 0.2, 2, 100.0)
    assert a.data == b.data


def test_docstring():
    assert route.__text_signature__ == "(inflow, k, x, sub_reaches, initial_outflow)"
    assert route.__doc__.startswith(
        "Routes an inflow hydrograph through a channel reach using the Muskingum method.\n")
    assert route.__module__ == "reach"
