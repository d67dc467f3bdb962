"""Deficit-and-constant loss: the split of gross rainfall and its result class."""

import math
import re
from datetime import timedelta

import pytest

import basinkit
from cases import CTS, HOUR, ITS, exact, loss_model, rain
from reference.arith import seconds

run = basinkit.rainfall_loss.run_deficit_and_constant
Result = basinkit.rainfall_loss.DeficitConstantResult


def test_worked_example():
    res = run(rain([1.0, 0.0]), 0.5, 1.0, 0.1, timedelta(hours=10))
    k = 1.0 - math.exp(-0.1)
    assert res.excess.data[0] == pytest.approx(0.3524187, abs=5e-8)
    assert res.loss.data[0] == pytest.approx(0.6475813, abs=5e-8)
    assert res.deficit.data == [0.0, k]
    assert res.excess.data[1] == 0.0 and res.loss.data[1] == 0.0
    assert k == pytest.approx(0.0951626, abs=5e-8)
    assert loss_model()([1.0, 0.0], 3600, 0.5, 1.0, 0.1, timedelta(hours=10)) == (
        res.excess.data, res.loss.data, res.deficit.data)


@pytest.mark.parametrize("step,initial,d_max,rate,dry", [
    (3600, 0.5, 1.0, 0.1, timedelta(hours=10)),
    (900, 0.0, 2.5, 0.35, timedelta(days=2, microseconds=250)),
    (300, 3.0, 1.2, 0.0, timedelta(0)),
    (7200, 0.1, 0.1, 1.5, timedelta(minutes=90)),
])
def test_matches_stepwise_reference(step, initial, d_max, rate, dry):
    values = [0.0, 0.21, 1.37, 0.05, 0.0, 0.0, 0.9, -0.3, 2.2, 0.013, 0.0, 0.44]
    res = run(rain(values, timedelta(seconds=step)), initial, d_max, rate, dry)
    excess, loss, deficit = loss_model()(values, step, initial, d_max, rate, dry)
    assert (res.excess.data, res.loss.data, res.deficit.data) == (excess, loss, deficit)
    for p, e, lo in zip(values, res.excess.data, res.loss.data):
        assert e >= 0.0
        if p > 0.0:
            assert e + lo == pytest.approx(p, rel=1e-15, abs=1e-15)


def test_result_series_shape():
    src = rain([0.3, 0.0, 0.8], timedelta(minutes=15), kind="volume")
    res = run(src, 0.2, 1.0, 0.2, HOUR)
    assert type(res) is Result
    for name in ("excess", "loss", "deficit"):
        s = getattr(res, name)
        assert type(s) is ITS
        assert (s.kind, s.time_step, len(s.data)) == ("rainfall", timedelta(minutes=15), 3)
    # The caller's series is untouched.
    assert (src.data, src.kind) == ([0.3, 0.0, 0.8], "volume")


def test_attributes_are_fresh_read_only_copies():
    res = run(rain([1.0, 0.2]), 0.0, 1.0, 0.1, HOUR)
    first, second = res.excess, res.excess
    assert first is not second and first.data == second.data
    with pytest.raises(AttributeError):
        res.excess = first
    with pytest.raises(TypeError):
        Result()


def test_sub_second_drying_time_counts():
    # From an empty store the first deficit is the recovery fraction itself.
    a = run(rain([0.0]), 0.0, 1.0, 0.0, timedelta(hours=10))
    b = run(rain([0.0]), 0.0, 1.0, 0.0, timedelta(hours=10, microseconds=1))
    assert a.deficit.data == [1.0 - math.exp(-0.1)]
    longer = seconds(timedelta(hours=10, microseconds=1))
    assert b.deficit.data == [1.0 - math.exp(1.0 / (longer / -3600.0))]
    assert a.deficit.data != b.deficit.data


def test_empty_rainfall():
    res = run(rain([], timedelta(minutes=5)), 0.5, 1.0, 0.1, HOUR)
    for s in (res.excess, res.loss, res.deficit):
        assert (s.data, s.kind, s.time_step) == ([], "rainfall", timedelta(minutes=5))
    # The drying time is still converted.
    with pytest.raises(ValueError, match="negative"):
        run(rain([]), 0.5, 1.0, 0.1, -HOUR)


def test_numpy_values_convert():
    np = pytest.importorskip("numpy")
    a = run(rain(np.array([0.5, 1.5])), np.float64(0.2), np.float32(1.0), 1, HOUR)
    b = run(rain([0.5, 1.5]), 0.2, 1.0, 1.0, HOUR)
    assert a.excess.data == b.excess.data


@pytest.mark.parametrize("args,exc,message", [
    ((CTS([1.0], HOUR, "rainfall"), 0.5, 1.0, 0.1, HOUR), TypeError,
     "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of "
     "'IncrementalTimeSeries'"),
    ((None, "x", 1.0, 0.1, 5), TypeError,
     "argument 'rainfall': 'None' is not an instance of 'IncrementalTimeSeries'"),
    ((rain([1.0]), 0.5, 1.0, 0.1, 36000), TypeError,
     "argument 'time_to_dry': 'int' object is not an instance of 'timedelta'"),
], ids=["continuous", "none-first", "number-duration"])
def test_argument_errors(args, exc, message):
    with pytest.raises(exc, match=exact(message)):
        run(*args)


@pytest.mark.parametrize("position,name", [
    (1, "initial_deficit"), (2, "max_deficit"), (3, "constant_loss_per_hr")])
def test_float_arguments_are_named(position, name):
    args = [rain([1.0]), 0.5, 1.0, 0.1, 5]  # the bad duration comes later
    args[position] = "1.5"
    with pytest.raises(TypeError, match="^" + re.escape(f"argument '{name}': ")):
        run(*args)


def test_negative_drying_time_has_no_prefix():
    with pytest.raises(ValueError) as info:
        run(rain([1.0]), 0.5, 1.0, 0.1, timedelta(microseconds=-1))
    assert "argument" not in str(info.value) and "negative" in str(info.value).lower()


def test_keywords_and_binding_errors():
    kw = dict(rainfall=rain([1.0]), initial_deficit=0.5, max_deficit=1.0,
              constant_loss_per_hr=0.1, time_to_dry=HOUR)
    assert run(**kw).excess.data == run(*kw.values()).excess.data
    del kw["time_to_dry"]
    with pytest.raises(TypeError, match=exact(
            "run_deficit_and_constant() missing 1 required positional argument: "
            "'time_to_dry'")):
        run(**kw)


def test_docstrings():
    assert run.__text_signature__ == (
        "(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)")
    assert run.__doc__.startswith(
        "Separates gross rainfall into excess runoff and infiltration losses using the\n"
        "deficit-and-constant model.\n")
    assert Result.__doc__ == "Results from the deficit-and-constant rainfall loss model."
    assert Result.excess.__doc__ == (
        "Excess rainfall that becomes surface runoff (inches per time step).")
    assert Result.loss.__doc__ == (
        "Total infiltrated depth per time step (constant loss + deficit fill, inches).")
    assert Result.deficit.__doc__ == (
        "Running soil moisture deficit at the end of each time step (inches).")
