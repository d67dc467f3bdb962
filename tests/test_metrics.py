"""Kling-Gupta efficiency."""

import math
from datetime import timedelta

import pytest

import basinkit
from cases import exact, kge_model

kge = basinkit.metrics.calculate_kge


@pytest.mark.parametrize("sim,obs,expected", [
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 1.0),
    ([3.0, 2.0, 1.0], [1.0, 2.0, 3.0], -1.0),
    ([2.0, 4.0, 6.0], [1.0, 2.0, 3.0], -0.41421356237309515),
    ([5.0], [5.0], 1.0 - math.sqrt(2.0)),
    ([1.0, 1.0, 1.0], [1.0, 2.0, 3.0], -0.5),
    ([1.0, 2.0, 3.0], [2.0, 2.0, 2.0], -816494.5809283386),
    ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0], -0.7320508075688772),
    # a small negative observed mean becomes +1e-6, so beta = 1
    ([1e-6], [-5e-7], 1.0 - math.sqrt(2.0)),
], ids=["equal", "reversed", "doubled", "single", "constant-sim", "constant-obs", "zeros",
        "negative-mean"])
def test_worked_examples(sim, obs, expected):
    assert kge(sim, obs) == expected == kge_model()(sim, obs)


@pytest.mark.parametrize("use_log", [False, True])
@pytest.mark.parametrize("sim,obs", [
    ([0.5, 2.0, 7.5, 3.25, 0.013, 11.1], [0.4, 2.5, 6.0, 3.0, 0.02, 9.7]),
    ([1e-9, 3.3, 1e5, 0.7], [2e-9, 3.1, 9.9e4, 0.0]),
    ([12.0, 12.0, 12.5], [-3.0, 4.0, 1e-3]),
])
def test_matches_reference(sim, obs, use_log):
    got = kge(sim, obs, use_log)
    want = kge_model()(sim, obs, use_log)
    assert got == want or (math.isnan(got) and math.isnan(want))


def test_log_transform():
    assert kge([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], use_log=True) == 1.0
    assert math.isnan(kge([1.0, -1.0, 2.0], [1.0, 1.5, 2.0], True))
    assert math.isnan(kge([1.0, 1.5, 2.0], [1.0, -1.0, 2.0], True))
    # The inputs are not changed by the transform.
    sim = [0.5, 2.0]
    kge(sim, [1.0, 3.0], True)
    assert sim == [0.5, 2.0]


@pytest.mark.parametrize("sim,obs,message", [
    ([], [], "Observed series is empty."),
    ([1.0, 2.0], [], "Observed series is empty."),
    ([], [1.0, 2.0], "Series length mismatch."),
    ([1.0, 2.0, 3.0], [1.0, 2.0], "Series length mismatch."),
])
def test_refusals(sim, obs, message):
    with pytest.raises(ValueError, match=exact(message)):
        kge(sim, obs)


@pytest.mark.parametrize("args,message", [
    (("123", [1.0]), "argument 'sim': Can't extract `str` to `Vec`"),
    (([1.0], "123"), "argument 'obs': Can't extract `str` to `Vec`"),
    ((5, [1.0]), "argument 'sim': 'int' object is not an instance of 'Sequence'"),
    (({1.0}, [1.0]), "argument 'sim': 'set' object is not an instance of 'Sequence'"),
    (((v for v in [1.0]), [1.0]),
     "argument 'sim': 'generator' object is not an instance of 'Sequence'"),
    (([1.0], [1.0], 1), "argument 'use_log': 'int' object is not an instance of 'bool'"),
    (([1.0], [1.0], None), "argument 'use_log': 'None' is not an instance of 'bool'"),
    # converted in order: a bad sim is reported before a bad flag
    (("abc", [1.0], 1), "argument 'sim': Can't extract `str` to `Vec`"),
], ids=["sim-str", "obs-str", "int", "set", "generator", "flag-int", "flag-none", "order"])
def test_argument_errors(args, message):
    with pytest.raises(TypeError, match=exact(message)):
        kge(*args)


def test_series_objects_are_not_sequences():
    s = basinkit.utils.ContinuousTimeSeries([1.0, 2.0], timedelta(hours=1), "discharge")
    with pytest.raises(TypeError, match=exact(
            "argument 'obs': 'ContinuousTimeSeries' object is not an instance of 'Sequence'")):
        kge([1.0, 2.0], s)
    assert kge(s.data, [1.0, 2.0]) == 1.0


def test_element_errors_are_the_elements_own():
    with pytest.raises(TypeError, match="^argument 'sim': "):
        kge([1.0, "x"], [1.0, 2.0])


def test_sequence_kinds_are_accepted():
    np = pytest.importorskip("numpy")
    want = kge([2.0, 4.0, 6.0], [1.0, 2.0, 3.0])
    assert kge((2, 4, 6), [1, 2, 3]) == want
    assert kge(np.array([2.0, 4.0, 6.0]), np.array([1, 2, 3])) == want
    assert kge(sim=[2.0, 4.0, 6.0], obs=(1.0, 2.0, 3.0), use_log=np.bool_(False)) == want
    assert kge([1.0, 2.0], [1.0, 2.0], True) == kge([1.0, 2.0], [1.0, 2.0], use_log=True)


def test_docstring():
    assert kge.__text_signature__ == "(sim, obs, use_log=False)"
    doc = kge.__doc__.splitlines()
    assert doc[0] == (
        "Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.")
    assert "- **β = mean_sim / mean_obs** — bias ratio." in doc
    assert "  computing statistics." in doc
