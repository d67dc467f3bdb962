"""What the per-area tests share: short names, series builders, and each
model twice, as a runner over the module and over its plain-Python model in
reference/ (optionally broken), with the hypothesis strategies of its inputs.

A property is written once against a runner so that it runs on the module,
on the faithful model and on the broken ones: a broken model that passes
would show a property that cannot fail.
"""

import functools
import os
import re
from datetime import timedelta
from pathlib import Path

import pytest
from hypothesis import HealthCheck, Phase, settings
from hypothesis import strategies as st

import basinkit
from reference import baseflow, clark, kge, level_pool, loss, muskingum
from reference.level_pool import Constant, Controlled, Uncontrolled

CTS = basinkit.utils.ContinuousTimeSeries
ITS = basinkit.utils.IncrementalTimeSeries
LR = basinkit.baseflow.LinearReservoir
RU = basinkit.reservoir.reservoir_utils
HOUR = timedelta(hours=1)

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent


def exact(message):
    """A pattern for pytest.raises that matches `message` whole."""
    return "^" + re.escape(message) + "$"


def assert_refused(exc, message, call, *args):
    """`call(*args)` raises `exc` with `message`; a message that ends after an
    argument's name ("argument 'x': ") need only start the text."""
    with pytest.raises(exc) as info:
        call(*args)
    text = str(info.value)
    assert text.startswith(message) if message.endswith("': ") else text == message


def rain(values, step=HOUR, kind="rainfall"):
    return ITS(values, step, kind)


def flow(values, step=HOUR, kind="discharge"):
    return CTS(values, step, kind)


def child_env(**extra):
    """The environment for a child interpreter that imports what the tests
    import: tests/ and the repository root (reference/) on its path."""
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(TESTS), str(ROOT)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


# ---------------------------------------------------------------- hypothesis

SETTINGS = settings(max_examples=100, deadline=None, database=None, derandomize=True,
                    suppress_health_check=list(HealthCheck))
# Broken models must be caught within this many examples; a failure found is
# enough, so it is not shrunk (some broken models run very long on shrunk input).
MUTANT_SETTINGS = settings(max_examples=300, deadline=None, database=None, derandomize=True,
                           suppress_health_check=list(HealthCheck), print_blob=False,
                           phases=[Phase.explicit, Phase.reuse, Phase.generate])


def refuted(prop):
    """True when hypothesis finds an input that breaks `prop`."""
    try:
        MUTANT_SETTINGS(prop)()
    except (AssertionError, ExceptionGroup):
        return True
    return False


def mutation_tests(table):
    """The two tests that show each property able to fail. `table` lists
    (property, model factory, bugs): each property passes on the faithful
    model and is refuted on each broken one."""
    faithful = [pytest.param(prop, make(), id=prop.__name__) for prop, make, _ in table]
    broken = [pytest.param(prop, make(bug), id=f"{prop.__name__}-{bug}")
              for prop, make, bugs in table for bug in bugs]

    @pytest.mark.parametrize("prop,model", faithful)
    def faithful_models_pass(prop, model):
        SETTINGS(prop(model))()

    @pytest.mark.parametrize("prop,model", broken)
    def broken_models_are_refuted(prop, model):
        assert refuted(prop(model))

    return faithful_models_pass, broken_models_are_refuted


def nonneg(high):
    # Zero or a normal number: subnormal results would round in ways that
    # have nothing to do with the models.
    return st.one_of(st.just(0.0), st.floats(1e-6, high))


depth = nonneg(5.0)
rate = nonneg(2.0)
discharge = nonneg(1e4)


# ---------------------------------------------------------------- deficit and constant loss


def loss_module(rain_, step, initial, maximum, per_hr, dry):
    r = basinkit.rainfall_loss.run_deficit_and_constant(
        rain(rain_, timedelta(seconds=step)), initial, maximum, per_hr, dry)
    return r.excess.data, r.loss.data, r.deficit.data


def loss_model(bug=None):
    """The deficit-and-constant model in Python, optionally broken."""
    return functools.partial(loss.deficit_and_constant, bug=bug)


loss_inputs = dict(
    rain=st.lists(st.one_of(st.just(0.0), depth), max_size=40),
    step=st.sampled_from([300, 900, 3600, 86400]),
    initial=depth, maximum=depth, per_hr=rate,
    dry=st.sampled_from([timedelta(0), timedelta(hours=3), timedelta(hours=30),
                         timedelta(days=5, microseconds=7)]),
)


# ---------------------------------------------------------------- Muskingum


def muskingum_module(inflow, step, k, x, sub, initial):
    return basinkit.reach.run_muskingum_routing(
        flow(inflow, timedelta(seconds=step)), k, x, sub, initial).data


def muskingum_model(bug=None):
    return functools.partial(muskingum.muskingum, bug=bug)


@st.composite
def routing_case(draw, x=st.sampled_from([0.0, 0.1, 0.2, 0.35, 0.5])):
    step = draw(st.sampled_from([60, 600, 3600]))
    sub = draw(st.integers(1, 3))
    # Per-segment K of at least half a step keeps every coefficient >= 0.
    k = timedelta(seconds=step * draw(st.floats(0.5, 6.0)) * sub)
    base = draw(nonneg(100.0))
    peak = draw(st.lists(discharge, min_size=1, max_size=20))
    return step, k, draw(x), sub, base, peak


# ---------------------------------------------------------------- linear reservoir baseflow


def baseflow_module(rain_, step, area, k, fraction, q0, n):
    total, parts = basinkit.baseflow.run_linear_reservoir(
        area, rain(rain_, timedelta(seconds=step)), {"layer": LR(k, fraction, q0, n)})
    assert total.data == parts["layer"].data
    return total.data


def baseflow_model(bug=None):
    def run(rain_, step, area, k, fraction, q0, n):
        return baseflow.linear_reservoir(area, rain_, step, [(k, fraction, q0, n)], bug)[0]

    return run


@st.composite
def baseflow_case(draw):
    step = draw(st.sampled_from([900, 3600, 7200]))
    n = draw(st.integers(1, 4))
    k_hours = draw(st.floats(0.5, 40.0)) * n * step / 3600.0
    return (step, draw(st.floats(1.0, 5000.0)), timedelta(hours=k_hours),
            draw(st.floats(0.05, 1.0)), n, draw(st.lists(depth, min_size=1, max_size=15)))


# ---------------------------------------------------------------- Clark unit hydrograph


def clark_module(rain_, step, area, tc, r):
    return basinkit.rainfall_transform.run_clark_uh(
        rain(rain_, timedelta(seconds=step)), area, tc, r).data


def clark_model(bug=None):
    """The Clark transform in Python, optionally broken (see reference.clark)."""
    return functools.partial(clark.clark, bug=bug)


@st.composite
def clark_case(draw):
    step = draw(st.sampled_from([60, 900, 3600, 86400]))
    tc = timedelta(seconds=step * draw(st.one_of(st.just(0.0), st.floats(0.0, 12.0))))
    # Below, at and above half a step: below it the recession alternates.
    r = timedelta(seconds=step * draw(st.one_of(st.sampled_from([0.0, 0.5]), st.floats(0.05, 0.5),
                                                 st.floats(0.5, 12.0))))
    rain_ = draw(st.lists(st.one_of(st.just(0.0), st.floats(1e-3, 3.0)), min_size=1, max_size=12))
    return rain_, step, draw(st.floats(1.0, 1e4)), tc, r


# ---------------------------------------------------------------- level pool routing


def module_outlet(o):
    if isinstance(o, Constant):
        return RU.ConstantDischargeInfo(o.discharge, minimum_elevation=o.minimum_elevation)
    if isinstance(o, Uncontrolled):
        return RU.UnControlledDischargeInfo(RU.ElevationDischarge(o.elevation, o.discharge),
                                            elevation_offset=o.elevation_offset)
    if isinstance(o, Controlled):
        return RU.ControlledDischargeInfo(RU.ElevationDischarge(o.elevation, o.discharge),
                                          minimum_elevation=o.minimum_elevation,
                                          maximum_release=o.maximum_release)
    return RU.SpecifiedDischargeInfo(flow(o.values, timedelta(seconds=o.time_step)),
                                     maximum_elevation=o.maximum_elevation)


def level_pool_module(inflow, step, initial, elev, stor, outlets):
    made = {name: module_outlet(o) for name, o in outlets.items()}
    r = basinkit.reservoir.run_level_pool_routing(
        flow(inflow, timedelta(seconds=step)), initial, RU.ElevationStorage(elev, stor), made)
    return r.reservoir_storage.data, r.reservoir_elevation.data


def level_pool_model(bug=None):
    def run(inflow, step, initial, elev, stor, outlets):
        return level_pool.level_pool(inflow, step, initial, elev, stor, list(outlets.values()),
                                     bug)[:2]

    return run


# ---------------------------------------------------------------- Kling-Gupta efficiency


def kge_module(sim, obs, use_log):
    return basinkit.metrics.calculate_kge(sim, obs, use_log=use_log)


def kge_model(bug=None):
    return functools.partial(kge.kge, bug=bug)
