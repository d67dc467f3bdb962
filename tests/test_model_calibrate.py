"""basinkit_model.calibrate: known parameters come back; workers do not change the result."""

from __future__ import annotations

import concurrent.futures
import importlib.util
from datetime import timedelta

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas (no wheel for this interpreter?)")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy (no wheel for this interpreter?)")
pytest.importorskip("tomli_w", reason="basinkit_model needs tomli-w")

import basinkit_model as bm  # noqa: E402
from model_basins import CURVE_E, CURVE_S, H, outlets  # noqa: E402

TRUE = {"upper.transform.tc": 5 * H, "upper.transform.storage_r": 3 * H, "reach1.routing.k": 3 * H}
BOUNDS = {
    "upper.transform.tc": (1 * H, 10 * H),
    "upper.transform.storage_r": (1 * H, 8 * H),
    "reach1.routing.k": (1 * H, 6 * H),
}
# RMSE separates the Clark tc from the reach K, which delay the flood alike, better than KGE.
SMALL = dict(seed=3, maxiter=30, popsize=6, tol=1e-8, extend=30 * H, objective="rmse")


def basin(tc=2 * H, r=2 * H, k=2 * H) -> bm.Basin:
    return bm.Basin(
        [
            bm.Subbasin("upper", 2000.0, bm.DeficitConstant(0.3, 1.0, 0.1, timedelta(hours=24)), bm.Clark(tc, r), None, "reach1"),
            bm.Reach("reach1", bm.Muskingum(k, 0.2, 2)),
        ]
    )


# Two bursts: the second one's shape pins down the routing.
RAIN = pd.Series(
    [0.1, 0.5, 1.2, 0.7, 0.3, 0.1, 0.0, 0.0, 0.0, 0.8, 0.2, 0.0, 0.0, 0.4],
    index=pd.date_range("2024-01-01", periods=14, freq="h", tz="UTC"),
)
OBSERVED = basin(**{"tc": 5 * H, "r": 3 * H, "k": 3 * H}).run(RAIN, extend=30 * H).flows["reach1"]


@pytest.fixture(scope="module")
def serial():
    return bm.calibrate(basin(), RAIN, OBSERVED, "reach1", BOUNDS, **SMALL)


def test_calibration_recovers_known_parameters(serial):
    for path, value in TRUE.items():
        got = serial.values[path]
        assert isinstance(got, timedelta)
        assert abs(got / value - 1.0) < 0.02, (path, got)
    assert serial.score < 0.5 and serial.components.rmse == serial.score and serial.components.kge > 0.999
    assert serial.basin.get("upper.transform.tc") == serial.values["upper.transform.tc"]
    assert serial.failed == 0 and serial.evaluations == len(serial.history)
    assert list(serial.history.columns[:3]) == list(BOUNDS)
    assert serial.history["loss"].min() == pytest.approx(serial.score)


@pytest.mark.parametrize(
    "workers",
    [
        pytest.param(lambda: concurrent.futures.ThreadPoolExecutor(3), id="thread-pool"),
        pytest.param(lambda: 2, id="two-local-workers"),
    ],
)
def test_same_seed_same_result_on_any_number_of_workers(serial, workers):
    pool = workers()
    try:
        other = bm.calibrate(basin(), RAIN, OBSERVED, "reach1", BOUNDS, workers=pool, **SMALL)
    finally:
        if hasattr(pool, "shutdown"):
            pool.shutdown()
    assert other.values == serial.values and other.score == serial.score
    assert other.history.equals(serial.history)


@pytest.mark.skipif(
    importlib.util.find_spec("distributed") is None, reason="dask[distributed] is not installed"
)
def test_a_dask_client_gives_the_same_result(serial):
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            other = bm.calibrate(basin(), RAIN, OBSERVED, "reach1", BOUNDS, workers=client, **SMALL)
    assert other.values == serial.values and other.history.equals(serial.history)


@pytest.mark.parametrize(
    "parameters, error, words",
    [
        ({"reach9.routing.k": (H, 2 * H)}, ValueError, "no element named 'reach9'"),
        ({"reach1.routing.kay": (H, 2 * H)}, ValueError, "reach1.routing has no 'kay'"),
        ({"reach1.routing.sub_reaches": (1, 3)}, ValueError, "holds int, not a number or a duration"),
        ({"reach1.routing.k": (3 * H, 2 * H)}, ValueError, "bounds out of order"),
        ({"reach1.routing.x": (0.3, 0.1)}, ValueError, "bounds out of order"),
        ({"reach1.routing.k": (1.0, 2.0)}, TypeError, "must be a timedelta"),
        ({}, ValueError, "non-empty dict"),
    ],
)
def test_bad_parameters_are_refused_before_any_run(parameters, error, words):
    calls = []
    with pytest.raises(error) as info:
        bm.calibrate(basin(), RAIN, OBSERVED, "reach1", parameters, progress=lambda *a: calls.append(a), **SMALL)
    assert words in str(info.value) and calls == []


def test_failing_sets_score_worst_and_are_counted():
    lake = bm.Reservoir("lake", CURVE_E, CURVE_S, outlets(), 106.0)
    b = bm.Basin([*basin().elements[:1], bm.Reach("reach1", bm.Muskingum(2 * H, 0.2, 2), "lake"), lake])
    rain = RAIN * 2.0
    observed = b.with_values({"upper.area_acres": 6000.0}).run(rain, extend=10 * H).flows["lake"]
    # Large areas overtop the reservoir.
    result = bm.calibrate(
        b, rain, observed, "lake", {"upper.area_acres": (2000.0, 30000.0)},
        seed=1, maxiter=5, popsize=10, extend=10 * H,
    )
    failed = result.history[result.history["error"].notna()]
    assert result.failed == len(failed) > 0
    assert failed["loss"].eq(float("inf")).all() and failed["error"].str.contains("reservoir 'lake'").all()
    assert failed["upper.area_acres"].min() > 6000.0
    assert abs(result.values["upper.area_acres"] / 6000.0 - 1.0) < 0.05


def test_a_callable_objective_is_minimised():
    def peak_error(sim, obs):
        return abs(sim.max() - obs.max())

    result = bm.calibrate(
        basin(), RAIN, OBSERVED, "reach1", {"reach1.routing.k": (1 * H, 6 * H)},
        objective=peak_error, seed=2, maxiter=15, popsize=10, extend=30 * H,
    )
    assert result.score == result.history["loss"].min() < 1.0
