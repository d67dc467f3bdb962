"""Physical and algebraic properties of the models, checked on generated input.

Each property is written once against a runner (the module, or the plain
Python model of reference/; the runners are in cases.py) so that the same
check is also run against deliberately broken models: a property that cannot
tell a broken model from a good one would be worthless, and those runs prove
each one can fail.
"""

import math

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from cases import (
    SETTINGS, baseflow_case, baseflow_model, baseflow_module, clark_case, clark_model,
    clark_module, kge_model, kge_module, level_pool_model, level_pool_module, loss_inputs,
    loss_model, loss_module, muskingum_model, muskingum_module, mutation_tests, nonneg, routing_case,
)
from reference.arith import ACRE_INCH_HOUR, lookup
from reference.level_pool import Constant, Controlled, Specified, Uncontrolled


# ---------------------------------------------------------------- deficit and constant loss


def excess_plus_loss_is_rainfall(run):
    @given(**loss_inputs)
    def prop(rain, step, initial, maximum, per_hr, dry):
        excess, loss, _ = run(rain, step, initial, maximum, per_hr, dry)
        for p, e, l in zip(rain, excess, loss):
            if p > 0.0:
                assert math.isclose(e + l, p, rel_tol=1e-12, abs_tol=1e-15)
                assert e >= 0.0 and l >= 0.0
            else:
                assert e == 0.0 and l == 0.0
    return prop


def deficit_stays_within_capacity(run):
    @given(**loss_inputs)
    def prop(rain, step, initial, maximum, per_hr, dry):
        _, _, deficit = run(rain, step, initial, maximum, per_hr, dry)
        assert len(deficit) == len(rain)
        for d in deficit:
            assert 0.0 <= d <= maximum
    return prop


test_excess_plus_loss_is_rainfall = SETTINGS(excess_plus_loss_is_rainfall(loss_module))
test_deficit_stays_within_capacity = SETTINGS(deficit_stays_within_capacity(loss_module))


@SETTINGS
@given(**loss_inputs)
def test_loss_model_in_python_agrees_with_the_module(rain, step, initial, maximum, per_hr, dry):
    assert loss_model()(rain, step, initial, maximum, per_hr, dry) == loss_module(
        rain, step, initial, maximum, per_hr, dry)


# ---------------------------------------------------------------- Muskingum


def muskingum_is_linear(run):
    @given(routing_case(), st.integers(-6, 6))
    def prop(case, power):
        step, k, x, sub, base, peak = case
        inflow = [base] + peak + [base]
        scale = 2.0 ** power
        out = run(inflow, step, k, x, sub, base)
        scaled = run([v * scale for v in inflow], step, k, x, sub, base * scale)
        # A power of two scales every product and sum exactly.
        assert scaled == [v * scale for v in out]
    return prop


def muskingum_conserves_volume(run):
    @given(routing_case(x=st.just(0.0)))
    def prop(case):
        step, k, x, sub, base, peak = case
        k_steps = k.total_seconds() / step
        # Long enough a tail that the outflow is back at the base flow.
        inflow = [base] + peak + [base] * int(60 + 40 * k_steps)
        out = run(inflow, step, k, x, sub, base)
        v_in = sum(inflow) - base * len(inflow)
        v_out = sum(out) - base * len(out)
        assert math.isclose(v_out, v_in, rel_tol=1e-6, abs_tol=1e-6 * (1 + sum(peak)))
    return prop


test_muskingum_is_linear = SETTINGS(muskingum_is_linear(muskingum_module))
test_muskingum_conserves_volume_for_x_zero = SETTINGS(
    muskingum_conserves_volume(muskingum_module))


@SETTINGS
@given(routing_case())
def test_muskingum_model_in_python_agrees_with_the_module(case):
    step, k, x, sub, base, peak = case
    inflow = [base] + peak
    assert muskingum_model()(inflow, step, k, x, sub, base) == muskingum_module(
        inflow, step, k, x, sub, base)


# ---------------------------------------------------------------- linear reservoir baseflow


def baseflow_is_linear(run):
    @given(baseflow_case(), nonneg(50.0), st.integers(-6, 6))
    def prop(case, q0, power):
        step, area, k, fraction, n, rain = case
        scale = 2.0 ** power
        out = run(rain, step, area, k, fraction, q0, n)
        scaled = run([p * scale for p in rain], step, area, k, fraction, q0 * scale, n)
        assert scaled == [v * scale for v in out]
    return prop


def baseflow_conserves_volume(run):
    @given(baseflow_case())
    def prop(case):
        step, area, k, fraction, n, rain = case
        k_steps = k.total_seconds() / step
        rain = rain + [0.0] * int(80 + 60 * k_steps)
        out = run(rain, step, area, k, fraction, 0.0, n)
        # All water that enters the chain leaves it: in cfs-steps.
        v_in = sum((area * ACRE_INCH_HOUR) * ((fraction * p) / (step / 3600.0)) for p in rain)
        assert math.isclose(sum(out), v_in, rel_tol=1e-6, abs_tol=1e-9)
    return prop


test_baseflow_is_linear = SETTINGS(baseflow_is_linear(baseflow_module))
test_baseflow_conserves_volume = SETTINGS(baseflow_conserves_volume(baseflow_module))


@SETTINGS
@given(baseflow_case(), nonneg(50.0))
def test_baseflow_model_in_python_agrees_with_the_module(case, q0):
    step, area, k, fraction, n, rain = case
    assert baseflow_model()(rain, step, area, k, fraction, q0, n) == baseflow_module(
        rain, step, area, k, fraction, q0, n)


# ---------------------------------------------------------------- Clark unit hydrograph


@SETTINGS
@given(clark_case())
def test_clark_model_in_python_agrees_with_the_module(case):
    want, got = clark_model()(*case), clark_module(*case)
    # Bit for bit: equal values and equal signs of zero.
    assert got == want
    assert [math.copysign(1.0, v) for v in got] == [math.copysign(1.0, v) for v in want]


# ---------------------------------------------------------------- level pool routing


@st.composite
def reservoir_case(draw):
    step = draw(st.sampled_from([1, 2, 5, 30]))
    n = draw(st.integers(2, 8))
    inflow = draw(st.lists(nonneg(5.0), min_size=n, max_size=n))
    base = draw(st.floats(90.0, 110.0))
    rises = draw(st.lists(st.floats(0.5, 5.0), min_size=2, max_size=5))
    elev = [base]
    for r in rises:
        elev.append(elev[-1] + r)
    gains = draw(st.lists(st.floats(50.0, 1000.0), min_size=len(rises), max_size=len(rises)))
    stor = [draw(st.sampled_from([0.0, 0.0, 10.0]))]
    for g in gains:
        stor.append(stor[-1] + g)
    initial = draw(st.floats(elev[0], elev[-1]))
    inside = st.one_of(st.none(), st.floats(elev[0] - 1.0, elev[-1]))
    outlets = {}
    for i in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["constant", "spill", "gate", "specified"]))
        if kind == "constant":
            outlets[f"c{i}"] = Constant(draw(st.floats(0.0, 30.0)), minimum_elevation=draw(inside))
        elif kind == "specified":
            every = draw(st.sampled_from([1, 3, 7]))
            # Long enough to answer for the whole run.
            count = (n - 1) * step // every + 2
            values = draw(st.lists(nonneg(20.0), min_size=count, max_size=count))
            outlets[f"p{i}"] = Specified(values, every, maximum_elevation=draw(inside))
        else:
            # Rating curves reach above the storage curve, so no outlet fails.
            top = elev[-1] + draw(st.floats(0.0, 10.0))
            rating = ([elev[0], (elev[0] + top) / 2, top],
                      [0.0, draw(st.floats(0.0, 10.0)), 40.0])
            if kind == "spill":
                offset = draw(st.one_of(st.none(), st.floats(-2.0, 0.0)))
                outlets[f"u{i}"] = Uncontrolled(*rating, elevation_offset=offset)
            else:
                cap = draw(st.one_of(st.none(), st.floats(0.0, 30.0)))
                outlets[f"g{i}"] = Controlled(*rating, minimum_elevation=draw(inside),
                                              maximum_release=cap)
    return inflow, step, initial, elev, stor, outlets


def level_pool_stays_on_the_curve(run):
    @given(reservoir_case())
    def prop(case):
        inflow, step, initial, elev, stor, outlets = case
        try:
            storage, elevation = run(*case)
        except ValueError:
            # Documented refusals: storage above the curve, or drained to 0.0
            # on a curve whose lowest storage is above 0.0. Neither can happen
            # when the curve starts at 0.0 and all inflow would fit.
            s0 = lookup(elev, stor, initial)
            fits = s0 + max(inflow) * (len(inflow) - 1) * step <= stor[-1]
            assert not (stor[0] == 0.0 and fits), "refused a run that stays on the curve"
            return
        assert len(storage) == len(elevation) == len(inflow) - 1
        for s, e in zip(storage[1:], elevation[1:]):
            assert 0.0 <= s <= stor[-1]
            assert elev[0] <= e <= elev[-1]
    return prop


test_level_pool_stays_on_the_curve = SETTINGS(level_pool_stays_on_the_curve(level_pool_module))


@SETTINGS
@given(reservoir_case())
def test_level_pool_model_in_python_agrees_with_the_module(case):
    try:
        want = level_pool_model()(*case)
    except ValueError:
        with pytest.raises(ValueError):
            level_pool_module(*case)
        return
    storage, elevation = level_pool_module(*case)
    if len(case[-1]) <= 1:
        assert (storage, elevation) == want
    else:
        # Outlets are summed in an unspecified order: equal up to that rounding.
        assert storage == pytest.approx(want[0], rel=1e-9, abs=1e-9)
        assert elevation == pytest.approx(want[1], rel=1e-9, abs=1e-9)


# ---------------------------------------------------------------- Kling-Gupta efficiency


series = st.lists(st.floats(0.0, 1e6), min_size=2, max_size=60)


def kge_of_a_series_with_itself_is_one(run):
    @given(series, st.booleans())
    def prop(values, use_log):
        transformed = [math.log(v + 1e-6) for v in values] if use_log else values
        mean = sum(transformed) / len(transformed)
        spread = math.sqrt(sum((v - mean) ** 2 for v in transformed) / len(transformed))
        assume(spread > 1e-3 and abs(mean) > 1e-3)
        assert run(values, list(values), use_log) == 1.0
    return prop


test_kge_of_a_series_with_itself_is_one = SETTINGS(kge_of_a_series_with_itself_is_one(
    kge_module))


# ---------------------------------------------------------------- the properties can fail


test_faithful_python_models_pass, test_property_catches_a_broken_model = mutation_tests([
    (excess_plus_loss_is_rainfall, loss_model, ["loss_without_fill",
                                                "excess_ignores_constant_loss"]),
    (deficit_stays_within_capacity, loss_model, ["uncapped_recovery", "overfill"]),
    (muskingum_is_linear, muskingum_model, ["threshold"]),
    (muskingum_conserves_volume, muskingum_model, ["unbalanced"]),
    (baseflow_is_linear, baseflow_model, ["floor"]),
    (baseflow_conserves_volume, baseflow_model, ["leaky"]),
    (level_pool_stays_on_the_curve, level_pool_model, ["no_floor", "spill_over_top"]),
    (kge_of_a_series_with_itself_is_one, kge_model, ["sample_std"]),
])
