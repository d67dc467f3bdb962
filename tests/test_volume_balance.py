"""Every model holds its water: volume balances with known answers.

Each balance is written once against a runner (cases.py), so that it is run
on the module and on the plain Python models of reference/, faithful and
deliberately broken: the broken ones show that each balance can fail.
"""

import math
from datetime import timedelta

import pytest
from hypothesis import given
from hypothesis import strategies as st

import basinkit
from cases import (
    LR, SETTINGS, baseflow_model, clark_case, clark_model, clark_module, depth, level_pool_model,
    level_pool_module, loss_model, loss_module, muskingum_model, muskingum_module,
    mutation_tests, nonneg, rain as rain_series, rate, routing_case,
)
from reference.arith import ACRE_INCH_HOUR
from reference.level_pool import Constant


# ---------------------------------------------------------------- deficit and constant loss


def loss_balances_the_event(run):
    """Every rainy step splits into excess and loss; without drying the soil
    keeps exactly the loss beyond the constant rate."""
    @given(st.lists(st.one_of(st.just(0.0), depth), min_size=1, max_size=40),
           st.sampled_from([300, 900, 3600, 86400]), depth, depth, rate)
    def prop(rain, step, initial, maximum, per_hr):
        excess, loss, deficit = run(rain, step, initial, maximum, per_hr, timedelta(0))
        cap = per_hr * (step / 3600.0)
        filled = 0.0
        for p, e, l in zip(rain, excess, loss):
            if p > 0.0:
                assert math.isclose(e + l, p, rel_tol=1e-12, abs_tol=1e-15)
                filled += l - min(p, cap)
            else:
                assert e == 0.0 and l == 0.0
        assert math.isclose(min(initial, maximum) - filled, deficit[-1], rel_tol=1e-12,
                            abs_tol=1e-12 * (1.0 + maximum))
    return prop


test_loss_balances_the_event = SETTINGS(loss_balances_the_event(loss_module))


# ---------------------------------------------------------------- Clark unit hydrograph


def clark_returns_its_excess(run):
    """One inch of excess over A acres leaves as A x 1.00833 cfs-hours."""
    @given(clark_case())
    def prop(case):
        rain, step, area, tc, r = case
        out = run(rain, step, area, tc, r)
        assert len(out) >= len(rain) + 1 and out[0] == 0.0
        want = sum(rain) * area * ACRE_INCH_HOUR / (step / 3600.0)
        assert math.isclose(sum(out), want, rel_tol=1e-9)
    return prop


test_clark_returns_its_excess = SETTINGS(clark_returns_its_excess(clark_module))


@pytest.mark.parametrize("step", [60, 3600, 86400])
@pytest.mark.parametrize("r_steps", [0.0, 0.02, 0.1, 0.25, 0.5, 0.75, 1.0, 3.0, 40.0])
def test_clark_volume_over_a_grid(step, r_steps):
    dt = timedelta(seconds=step)
    rain = [0.3, 0.0, 1.1, 0.6, 0.0, 0.02]
    for tc_steps in [0.0, 1e-9, 0.4, 1.0, 2.5, 7.0, 30.0]:
        tc = timedelta(seconds=step * tc_steps)
        out = clark_module(rain, step, 640.0, tc, dt * r_steps)
        # sum(q) reaches the area times 1.00833 per hour of step.
        q_sum = 640.0 * ACRE_INCH_HOUR / (step / 3600.0)
        assert math.isclose(sum(out), sum(rain) * q_sum, rel_tol=1e-9), tc_steps
        one_inch = clark_module([1.0], step, 640.0, tc, dt * r_steps)
        assert math.isclose(sum(one_inch) * step / 3600.0, 640.0 * ACRE_INCH_HOUR, rel_tol=1e-9)


# ---------------------------------------------------------------- linear reservoir baseflow


def baseflow_module(rain, step, area, layers):
    total, parts = basinkit.baseflow.run_linear_reservoir(
        area, rain_series(rain, timedelta(seconds=step)),
        {name: LR(k, fraction, 0.0, n) for name, (k, fraction, n) in layers.items()})
    return total.data, {name: s.data for name, s in parts.items()}


def baseflow_layers_model(bug=None):
    one = baseflow_model(bug)

    def run(rain, step, area, layers):
        parts = {name: one(rain, step, area, k, fraction, 0.0, n)
                 for name, (k, fraction, n) in layers.items()}
        return [sum(v) for v in zip(*parts.values())], parts

    return run


@st.composite
def layers_case(draw):
    step = draw(st.sampled_from([900, 3600, 7200]))
    count = draw(st.integers(1, 3))
    layers = {}
    for i in range(count):
        n = draw(st.integers(1, 6))
        k = timedelta(hours=draw(st.floats(0.5, 8.0)) * n * step / 3600.0)
        layers[f"layer{i}"] = (k, draw(st.floats(0.05, 1.0 / count)), n)
    rain = draw(st.lists(depth, min_size=1, max_size=15))
    return step, draw(st.floats(1.0, 5000.0)), rain, layers


def baseflow_layers_return_their_share(run):
    """After enough dry steps each layer has released F x sum(P) x area x
    1.00833 cfs-hours, whatever the number of reservoirs in its chain."""
    @given(layers_case())
    def prop(case):
        step, area, rain, layers = case
        longest = max(k.total_seconds() for k, _, _ in layers.values()) / step
        rain = rain + [0.0] * int(80 + 60 * longest)
        total, parts = run(rain, step, area, layers)
        hours = step / 3600.0
        want = 0.0
        for name, (_, fraction, _) in layers.items():
            share = fraction * sum(rain) * area * ACRE_INCH_HOUR
            assert math.isclose(sum(parts[name]) * hours, share, rel_tol=1e-6, abs_tol=1e-12)
            want += share
        assert math.isclose(sum(total) * hours, want, rel_tol=1e-6, abs_tol=1e-12)
    return prop


test_baseflow_layers_return_their_share = SETTINGS(baseflow_layers_return_their_share(
    baseflow_module))


# ---------------------------------------------------------------- Muskingum routing


def muskingum_passes_its_inflow(run):
    """A hydrograph that returns to its initial flow leaves the reach whole,
    for every weighting factor from 0 to 0.5."""
    @given(routing_case())
    def prop(case):
        step, k, x, sub, base, peak = case
        inflow = [base] + peak + [base] * int(60 + 40 * k.total_seconds() / step)
        out = run(inflow, step, k, x, sub, base)
        assert len(out) == len(inflow)
        assert math.isclose(sum(out), sum(inflow), rel_tol=1e-9)
    return prop


test_muskingum_passes_its_inflow = SETTINGS(muskingum_passes_its_inflow(muskingum_module))


# ---------------------------------------------------------------- level pool routing


@st.composite
def steady_release_case(draw):
    step = draw(st.sampled_from([1, 2, 7, 60, 600]))
    q = draw(st.lists(nonneg(50.0), min_size=2, max_size=8))
    releases = draw(st.lists(st.floats(0.0, 30.0), max_size=3))
    return step, q, releases, draw(st.floats(0.0, 1e4))


def level_pool_balances_from_time_zero(run):
    """With the first inflow value repeated in front the reservoir takes in the
    whole hydrograph: storage change = inflow volume - constant releases over
    (n - 1) steps. The one-second trapezoids are exact for the linear inflow;
    the curve is wide enough that the storage never clamps."""
    @given(steady_release_case())
    def prop(case):
        step, q, releases, margin = case
        span = (len(q) - 1) * step
        start = sum(releases) * span + margin + 1.0
        top = start + max(q) * span + margin + 1.0
        outlets = {f"o{i}": Constant(r) for i, r in enumerate(releases)}
        storage, _ = run([q[0]] + q, step, 100.0 * (start / top), [0.0, 100.0], [0.0, top],
                         outlets)
        assert len(storage) == len(q)
        inflow = sum((a + b) / 2 * step for a, b in zip(q, q[1:]))
        released = sum(releases) * span
        scale = storage[0] + inflow + released
        assert abs((storage[-1] - storage[0]) - (inflow - released)) <= 1e-9 * scale
    return prop


test_level_pool_balances_from_time_zero = SETTINGS(level_pool_balances_from_time_zero(
    level_pool_module))


# ---------------------------------------------------------------- the balances can fail


test_faithful_python_models_balance, test_balance_catches_a_broken_model = mutation_tests([
    (loss_balances_the_event, loss_model, ["loss_without_fill", "excess_ignores_constant_loss",
                                           "uncapped_recovery"]),
    (clark_returns_its_excess, clark_model, ["point_values", "stops_at_negative"]),
    (baseflow_layers_return_their_share, baseflow_layers_model, ["leaky", "floor"]),
    (muskingum_passes_its_inflow, muskingum_model, ["unbalanced", "threshold"]),
    (level_pool_balances_from_time_zero, level_pool_model, ["right_rectangle",
                                                            "advances_at_the_first_instant"]),
])
