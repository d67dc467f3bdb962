"""Benchmarks: basinkit against numba, NumPy, plain Python, hydroeval and HydroErr.

Run through `python benchmarks/run.py`. Each comparison's fixture first runs
both sides on the benchmark input and asserts that they agree (bit for bit, or
within the stated tolerance for the convolution and the metric libraries); a
disagreement errors every benchmark of that comparison.
"""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

numba = pytest.importorskip("numba")
pytest.importorskip("hydroeval")
pytest.importorskip("HydroErr")

import workloads as w  # noqa: E402

HERE = Path(__file__).resolve().parent

FULL = dict(series=1_000_000, clark=100_000, lp_hours=720, py_hours=48, memory=1_000_000)
QUICK = dict(series=100_000, clark=20_000, lp_hours=72, py_hours=48, memory=200_000)


def sizes(quick):
    return QUICK if quick else FULL


def timed(benchmark, quick, group, side, fn, *args, rounds, steps, unit, baseline=False):
    benchmark.group = group
    benchmark.extra_info.update(side=side, baseline=baseline, steps=steps, unit=unit)
    return benchmark.pedantic(
        fn, args=args, rounds=3 if quick else rounds, iterations=1, warmup_rounds=1
    )


# ------------------------------------------------------------------ level pool


@pytest.fixture(scope="module")
def level_pool(quick, figures):
    case = w.level_pool_case(sizes(quick)["lp_hours"])
    figures["level_pool"] = w.check_level_pool(case, python_too=False)
    return case, case.basinkit_args(), case.numba_args(False), case.numba_args(True)


@pytest.mark.parametrize("side", ["basinkit", "numba (halving search)", "numba (hinted search)"])
def test_level_pool(benchmark, quick, level_pool, side):
    case, bk, halving, hinted = level_pool
    if side == "basinkit":
        fn, args = w.level_pool_basinkit, (case, *bk)
    else:
        fn, args = w.level_pool_numba, (case, hinted if "hinted" in side else halving)
    timed(benchmark, quick, "level pool, 3 outlets", side, fn, *args, rounds=9,
          steps=case.steps, unit="internal step", baseline=side == "basinkit")


@pytest.fixture(scope="module")
def level_pool_short(quick, figures):
    case = w.level_pool_case(sizes(quick)["py_hours"])
    figures["level_pool_short"] = w.check_level_pool(case, python_too=True)
    return case, case.basinkit_args(), case.numba_args(False), case.python_outlets()


@pytest.mark.parametrize("side", ["basinkit", "numba (halving search)", "plain Python"])
def test_level_pool_short(benchmark, quick, level_pool_short, side):
    case, bk, halving, py = level_pool_short
    fn, args = {
        "basinkit": (w.level_pool_basinkit, (case, *bk)),
        "numba (halving search)": (w.level_pool_numba, (case, halving)),
        "plain Python": (w.level_pool_python, (case, py)),
    }[side]
    timed(benchmark, quick, "level pool, 3 outlets, short event", side, fn, *args,
          rounds=3 if side == "plain Python" else 9, steps=case.steps, unit="internal step",
          baseline=side == "basinkit")


# ------------------------------------------------------------------ Muskingum

_muskingum = {}


@pytest.fixture(scope="module", params=[1, 5], ids=lambda n: f"x{n}")
def muskingum(request, quick, figures):
    n = request.param
    if n not in _muskingum:
        case = w.muskingum_case(sizes(quick)["series"], n)
        figures[f"muskingum_x{n}"] = w.check_muskingum(case)
        _muskingum[n] = (case, case.inflow_list)
    return _muskingum[n]


@pytest.mark.parametrize("source", ["NumPy", "list"])
@pytest.mark.parametrize("side", ["basinkit", "numba", "basinkit (series prebuilt)"])
def test_muskingum(benchmark, quick, muskingum, source, side):
    case, values = muskingum
    group = f"Muskingum, {case.sub_reaches} sub-reach{'es' if case.sub_reaches > 1 else ''}, {source} in/out"
    if side == "basinkit (series prebuilt)":
        if source == "list":
            pytest.skip("one prebuilt row per reach")
        series = w.CTS(case.inflow, case.step, "discharge")
        route = w.basinkit.reach.run_muskingum_routing

        def fn():
            return np.asarray(route(series, case.k, case.x, case.sub_reaches, case.initial))

        args = ()
    elif source == "NumPy":
        fn = w.muskingum_basinkit_np if side == "basinkit" else w.muskingum_numba_np
        args = (case,)
    else:
        fn = w.muskingum_basinkit_list if side == "basinkit" else w.muskingum_numba_list
        args = (case, values)
    timed(benchmark, quick, group, side, fn, *args, rounds=15, steps=case.inflow.size,
          unit="value", baseline=side == "basinkit")


# ------------------------------------------------------------------ baseflow


@pytest.fixture(scope="module")
def baseflow(quick, figures):
    case = w.baseflow_case(sizes(quick)["series"])
    figures["baseflow"] = w.check_baseflow(case)
    return case, case.rain.tolist(), case.reservoirs(), case.layer_arrays()


@pytest.mark.parametrize("source", ["NumPy", "list"])
@pytest.mark.parametrize("side", ["basinkit", "numba", "basinkit (series prebuilt)"])
def test_baseflow(benchmark, quick, baseflow, source, side):
    case, values, reservoirs, arrays = baseflow
    group = f"baseflow, 3 layers x 3 reservoirs, {source} in/out"
    if side == "basinkit (series prebuilt)":
        if source == "list":
            pytest.skip("one prebuilt row")
        series = w.ITS(case.rain, case.step, "rainfall")
        run = w.basinkit.baseflow.run_linear_reservoir

        def fn():
            total, parts = run(case.basin_area, series, reservoirs)
            return np.asarray(total), {k: np.asarray(v) for k, v in parts.items()}

        args = ()
    elif source == "NumPy":
        fn, args = (
            (w.baseflow_basinkit_np, (case, reservoirs))
            if side == "basinkit"
            else (w.baseflow_numba_np, (case, arrays))
        )
    else:
        fn, args = (
            (w.baseflow_basinkit_list, (case, values, reservoirs))
            if side == "basinkit"
            else (w.baseflow_numba_list, (case, values, arrays))
        )
    timed(benchmark, quick, group, side, fn, *args, rounds=15, steps=case.rain.size,
          unit="value", baseline=side == "basinkit")


# ------------------------------------------------------------------ Clark

_clark = {}


@pytest.fixture(scope="module", params=[0.0, 0.6], ids=["wet", "dry60"])
def clark(request, quick, figures):
    dry = request.param
    if dry not in _clark:
        case = w.clark_case(sizes(quick)["clark"], dry)
        figures[f"clark_dry{int(dry * 100)}"] = w.check_clark(case)
        _clark[dry] = case
    return _clark[dry]


@pytest.mark.parametrize("side", ["basinkit", "NumPy np.convolve", "basinkit (series prebuilt)"])
def test_clark(benchmark, quick, clark, side):
    dry = int(round(float(np.mean(clark.rain == 0.0)) * 100))
    group = f"Clark UH, tc 50 steps, {dry}% dry steps, NumPy in/out"
    if side == "basinkit (series prebuilt)":
        series = w.ITS(clark.rain, clark.step, "rainfall")
        run = w.basinkit.rainfall_transform.run_clark_uh

        def fn():
            return np.asarray(run(series, clark.basin_area, clark.tc, clark.storage_r))

        args = ()
    else:
        fn = w.clark_basinkit_np if side == "basinkit" else w.clark_numpy
        args = (clark,)
    timed(benchmark, quick, group, side, fn, *args, rounds=15, steps=clark.rain.size,
          unit="rainfall value", baseline=side == "basinkit")


# ------------------------------------------------------------------ KGE


@pytest.fixture(scope="module")
def kge(quick, figures):
    case = w.kge_case(sizes(quick)["series"])
    figures["kge"] = w.check_kge(case)
    figures["kge_definition_differences"] = w.kge_definition_differences()
    return case


def _peer_from_list(peer):
    def fn(sim, obs):
        return peer(np.asarray(sim, dtype=np.float64), np.asarray(obs, dtype=np.float64))

    return fn


@pytest.mark.parametrize("source", ["NumPy", "list"])
@pytest.mark.parametrize("side", ["basinkit", "hydroeval", "HydroErr"])
def test_kge(benchmark, quick, kge, source, side):
    peer = {"basinkit": w.kge_basinkit, "hydroeval": w.kge_hydroeval, "HydroErr": w.kge_hydroerr}[side]
    if source == "NumPy":
        args = (kge.sim, kge.obs)
    else:
        args = (kge.sim_list, kge.obs_list)
        if side != "basinkit":
            peer = _peer_from_list(peer)  # the peers take arrays: np.asarray first
    timed(benchmark, quick, f"KGE, {source} input", side, peer, *args, rounds=15,
          steps=kge.obs.size, unit="value pair", baseline=side == "basinkit")


# ------------------------------------------------------------------ conversion


@pytest.fixture(scope="module")
def conversion(quick, figures):
    n = sizes(quick)["series"]
    figures["conversion"] = w.check_conversion(n)
    arr = w.hydrograph(n, 6)
    values = arr.tolist()
    return arr, values, tuple(values), w.CTS(arr, w.timedelta(hours=1), "discharge")


IN_SIDES = {
    "basinkit from NumPy": lambda arr, lst, tup: w.CTS(arr, w.timedelta(hours=1), "discharge"),
    "basinkit from list": lambda arr, lst, tup: w.CTS(lst, w.timedelta(hours=1), "discharge"),
    "basinkit from tuple": lambda arr, lst, tup: w.CTS(tup, w.timedelta(hours=1), "discharge"),
    "np.array(list) (reference)": lambda arr, lst, tup: np.array(lst, dtype=np.float64),
}
OUT_SIDES = {
    "np.asarray(series)": lambda s, arr: np.asarray(s),
    "series.data": lambda s, arr: s.data,
    "ndarray.tolist() (reference)": lambda s, arr: arr.tolist(),
}


@pytest.mark.parametrize("side", list(IN_SIDES))
def test_conversion_in(benchmark, quick, conversion, side):
    arr, values, tup, _ = conversion
    timed(benchmark, quick, "conversion in, 1 series", side, IN_SIDES[side], arr, values, tup,
          rounds=15, steps=arr.size, unit="value", baseline=side == "basinkit from NumPy")


@pytest.mark.parametrize("side", list(OUT_SIDES))
def test_conversion_out(benchmark, quick, conversion, side):
    arr, _, _, series = conversion
    timed(benchmark, quick, "conversion out, 1 series", side, OUT_SIDES[side], series, arr,
          rounds=15, steps=arr.size, unit="value", baseline=side == "np.asarray(series)")


# ------------------------------------------------------------------ memory

SLACK_BYTES = 8 * 2**20


def test_level_pool_memory(quick, figures):
    """Peak RSS of one routing call, measured in a fresh process."""
    n = sizes(quick)["memory"]
    out = subprocess.run(
        [sys.executable, str(HERE / "memory_probe.py"), str(n)],
        check=True, capture_output=True, text=True,
    )
    m = json.loads(out.stdout)
    expected = m["expected_call_bytes"]
    m["slack_bytes"] = SLACK_BYTES
    m["bound_bytes"] = expected + SLACK_BYTES
    figures["level_pool_memory"] = m
    assert m["records"] == n - 1
    assert m["call_peak_bytes"] <= expected + SLACK_BYTES, (
        f"routing {n} values raised peak RSS by {m['call_peak_bytes']} bytes; expected "
        f"{expected} (private inflow copy + records) + {SLACK_BYTES} slack"
    )
