"""Linear reservoir baseflow: layer configuration and the layered routing."""

import math
from datetime import timedelta

import pytest

import basinkit
from cases import CTS, HOUR, LR, assert_refused, exact, rain
from reference.arith import ACRE_INCH_HOUR
from reference.baseflow import linear_reservoir

run = basinkit.baseflow.run_linear_reservoir


# ---------------------------------------------------------------- the layer class


def test_construction_and_attributes():
    r = LR(timedelta(hours=2), 0.5, 0.0)
    assert (r.k_duration, r.gw_fraction, r.initial_q, r.num_reservoir) == (
        timedelta(hours=2), 0.5, 0.0, 1)
    r = LR(k_duration=timedelta(seconds=1, microseconds=900000), gw_fraction=1,
           initial_q=-5, num_reservoir=True)
    assert (r.k_duration, r.gw_fraction, r.initial_q, r.num_reservoir) == (
        timedelta(seconds=1), 1.0, -5.0, 1)
    assert LR(timedelta(days=30000), 0.0, 0.0, 3).k_duration == timedelta(seconds=2147483647)
    assert math.isnan(LR(HOUR, math.nan, 0.0).gw_fraction)


@pytest.mark.parametrize("args,exc,message", [
    ((timedelta(microseconds=500000), 2.0, 0.0, 0), ValueError, "k_duration must be > 0"),
    ((timedelta(0), 0.5, 0.0), ValueError, "k_duration must be > 0"),
    ((HOUR, 1.0000001, 0.0, 0), ValueError, "gw_fraction must be between 0 and 1"),
    ((HOUR, -0.0001, 0.0), ValueError, "gw_fraction must be between 0 and 1"),
    ((HOUR, 0.2, 0.0, 0), ValueError, "num_reservoir must be at least 1"),
    ((3600, 0.2, 0.0), TypeError,
     "argument 'k_duration': 'int' object is not an instance of 'timedelta'"),
    # every argument is converted before the duration's sign is looked at
    ((-HOUR, "a", 0.0), TypeError, "argument 'gw_fraction': "),
    ((HOUR, 0.5, 0.0, 2.0), TypeError, "argument 'num_reservoir': "),
], ids=["k-then-fraction", "zero-k", "fraction-then-count", "negative-fraction", "count",
        "k-number", "fraction-before-negative-k", "float-count"])
def test_constructor_refusals(args, exc, message):
    assert_refused(exc, message, LR, *args)


def test_negative_duration_and_count_overflow_have_no_prefix():
    with pytest.raises(ValueError, match="negative") as info:
        LR(timedelta(seconds=-1), 0.5, 0.0)
    assert "argument" not in str(info.value)
    with pytest.raises(OverflowError) as info:
        LR(HOUR, 0.5, 0.0, -1)
    assert "num_reservoir" not in str(info.value)


def test_setters_store_without_validation():
    r = LR(HOUR, 0.5, 1.0)
    r.gw_fraction, r.initial_q, r.num_reservoir = 5.0, -2.0, 0
    assert (r.gw_fraction, r.initial_q, r.num_reservoir) == (5.0, -2.0, 0)
    r.num_reservoir = 2**64 - 1
    assert r.num_reservoir == 2**64 - 1
    with pytest.raises(TypeError, match="^argument 'num_reservoir': "):
        r.num_reservoir = 1.0
    with pytest.raises(TypeError, match="^argument 'gw_fraction': "):
        r.gw_fraction = "0.5"
    for name in ("gw_fraction", "initial_q", "num_reservoir"):
        with pytest.raises(AttributeError, match=exact("property has no deleter")):
            delattr(r, name)
    with pytest.raises(AttributeError):
        r.k_duration = HOUR


def test_class_is_final():
    with pytest.raises(TypeError):
        type("Sub", (LR,), {})


# ---------------------------------------------------------------- routing


def test_matches_reference_and_total_sums_layers():
    values = [0.3, 0.1, 0.0, 0.7, 0.2, 0.0, 0.05]
    layers = {"fast": LR(timedelta(hours=2), 0.25, 1.0, 2),
              "slow": LR(timedelta(days=1), 0.5, 3.0, 4)}
    total, parts = run(250.0, rain(values), layers)
    assert type(total) is CTS and isinstance(parts, dict)
    assert set(parts) == {"fast", "slow"}
    _, (fast, slow) = linear_reservoir(250.0, values, 3600, [
        (timedelta(hours=2), 0.25, 1.0, 2), (timedelta(days=1), 0.5, 3.0, 4)])
    assert parts["fast"].data == fast and parts["slow"].data == slow
    # Two layers: the processing order cannot change the sum.
    assert total.data == [a + b for a, b in zip(fast, slow)]
    for s in [total, *parts.values()]:
        assert (s.kind, s.time_step, len(s.data)) == ("discharge", HOUR, len(values))


@pytest.mark.parametrize("a,b,message", [
    (0.6, 0.4000005, None),
    (0.6, 0.41, "Total fraction 1.01 > 1.0"),
    (0.7, 0.4, "Total fraction 1.1 > 1.0"),
])
def test_fraction_check_comes_first(a, b, message):
    # The second layer is unstable: only a passing fraction check reaches it.
    la, lb = LR(timedelta(hours=2), 0.5, 0.0), LR(timedelta(minutes=1), 0.5, 0.0)
    la.gw_fraction, lb.gw_fraction = a, b
    with pytest.raises(ValueError) as info:
        run(10.0, rain([0.1, 0.2]), {"a": la, "b": lb})
    if message is None:
        assert str(info.value).startswith("Stability Error")
    else:
        assert str(info.value) == message


def test_fraction_set_above_one_is_refused_by_the_run():
    layer = LR(HOUR, 0.5, 0.0)
    layer.gw_fraction = 5.0
    with pytest.raises(ValueError, match=exact("Total fraction 5 > 1.0")):
        run(10.0, rain([0.1]), {"only": layer})


def test_stability_boundary():
    values = [0.5, 0.0, 1.25, 0.3]
    _, parts = run(640.0, rain(values), {"deep": LR(HOUR, 0.8, 99.0, 2)})
    # k_per_res = dt / 2: C = 1, the output is each step's inflow.
    assert parts["deep"].data == [(640.0 * ACRE_INCH_HOUR) * ((0.8 * p) / 1.0) for p in values]
    with pytest.raises(ValueError, match=exact(
            "Stability Error: k_per_res (0.3333) < 0.5*dt (0.5000). "
            "Increase k_hr or num_reservoir.")):
        run(640.0, rain(values), {"fast": LR(HOUR, 0.2, 0.0, 3)})


def test_unrouted_layer_through_the_setter():
    values = [0.25, 0.0, 2.0]
    layer = LR(timedelta(minutes=1), 0.3, 7.0)
    layer.num_reservoir = 0
    _, parts = run(12.5, rain(values, timedelta(minutes=30)), {"raw": layer})
    assert parts["raw"].data == [(12.5 * ACRE_INCH_HOUR) * ((0.3 * p) / 0.5) for p in values]


def test_empty_inputs():
    total, parts = run(10.0, rain([0.3, 0.1]), {})
    assert (total.data, parts) == ([0.0, 0.0], {})
    total, parts = run(10.0, rain([]), {"a": LR(HOUR, 0.5, 1.0)})
    assert (total.data, parts["a"].data) == ([], [])


def test_chain_too_long_to_allocate():
    layer = LR(timedelta(seconds=2147483647), 0.5, 0.0)
    layer.num_reservoir = 200_000_000
    with pytest.raises(MemoryError):
        run(1.0, rain([0.3], timedelta(seconds=1)), {"a": layer})
    # The largest count makes the layer unstable before it is too long.
    layer.num_reservoir = 2**64 - 1
    with pytest.raises(ValueError, match="^Stability Error"):
        run(1.0, rain([0.3], timedelta(seconds=1)), {"a": layer})


def test_later_changes_do_not_reach_results():
    layer = LR(HOUR, 0.5, 1.0)
    src = rain([0.2, 0.4])
    total, _ = run(10.0, src, {"a": layer})
    before = total.data
    layer.gw_fraction = 0.0
    assert total.data == before
    assert run(10.0, src, {"a": layer})[0].data != before


@pytest.mark.parametrize("args,message", [
    (("big", rain([1.0]), {}), "argument 'basin_area': "),
    ((1.0, None, {}),
     "argument 'rainfall': 'None' is not an instance of 'IncrementalTimeSeries'"),
    ((1.0, CTS([1.0], HOUR, "rainfall"), {}),
     "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of "
     "'IncrementalTimeSeries'"),
    ((1.0, rain([1.0]), [("a", None)]),
     "argument 'reservoirs': 'list' object is not an instance of 'dict'"),
    ((1.0, rain([1.0]), {1: LR(HOUR, 0.5, 0.0)}),
     "argument 'reservoirs': 'int' object is not an instance of 'str'"),
    ((1.0, rain([1.0]), {"a": 0.5}),
     "argument 'reservoirs': 'float' object is not an instance of 'LinearReservoir'"),
], ids=["area", "rain-none", "rain-continuous", "list", "key", "value"])
def test_argument_errors(args, message):
    assert_refused(TypeError, message, run, *args)


def test_keywords_numpy_and_docstrings():
    np = pytest.importorskip("numpy")
    layers = {"a": LR(HOUR, 0.5, 1.0, np.uint64(2))}
    a = run(rainfall=rain(np.array([0.2, 0.4])), reservoirs=layers, basin_area=np.float64(10))
    assert a[0].data == run(10.0, rain([0.2, 0.4]), layers)[0].data
    assert run.__text_signature__ == "(basin_area, rainfall, reservoirs)"
    assert LR.__text_signature__ == "(k_duration, gw_fraction, initial_q, num_reservoir=1)"
    assert LR.gw_fraction.__doc__ == (
        "Fraction of rainfall loss that contributes to this reservoir's baseflow.\n"
        "Must be in [0.0, 1.0].")
    assert LR.k_duration.__doc__ == "Returns the storage time constant as a Python `timedelta`."
