"""Inputs, the calls on both sides of each comparison, and the agreement checks.

Shared by the benchmark suite (bench_suite.py) and its agreement test
(test_agreement.py). The plain-Python side of each comparison is the
reference model of tests/reference. Every `check_*` function runs both sides on
the same input and raises AssertionError when they disagree; it returns a dict
of figures (largest difference and so on) for the report.
"""

import math
from dataclasses import dataclass, field
from datetime import timedelta

import numpy as np
import reference_path  # noqa: F401
from reference import clark as reference_clark
from reference import level_pool as reference_level_pool
from reference.arith import seconds

import basinkit

CTS = basinkit.utils.ContinuousTimeSeries
ITS = basinkit.utils.IncrementalTimeSeries


def bits(values):
    return np.ascontiguousarray(np.asarray(values, dtype=np.float64)).view(np.uint64)


def assert_same_bits(ours, theirs, what):
    a, b = bits(ours), bits(theirs)
    assert a.shape == b.shape, f"{what}: {a.shape[0]} values against {b.shape[0]}"
    diff = np.flatnonzero(a != b)
    if diff.size:
        i = int(diff[0])
        raise AssertionError(
            f"{what}: {diff.size} of {a.size} values differ in their bits; first at {i}: "
            f"{float(np.asarray(ours)[i])!r} against {float(np.asarray(theirs)[i])!r}"
        )


def no_fma():
    from numba_peers import assert_no_fma

    return f"no fused multiply-add in {assert_no_fma()} compiled numba signatures"


def _rng(seed):
    return np.random.default_rng(seed)


# ------------------------------------------------------------------ inputs


def hydrograph(n, seed=1):
    """A discharge series (cfs): base flow, a few flood waves, a little noise."""
    rng = _rng(seed)
    t = np.arange(n, dtype=np.float64)
    q = 150.0 + 20.0 * np.sin(t / 97.0)
    for _ in range(max(1, n // 20_000)):
        peak = rng.uniform(0, n)
        width = rng.uniform(30, 300)
        q += rng.uniform(500, 5000) * np.exp(-0.5 * ((t - peak) / width) ** 2)
    q += rng.normal(0.0, 2.0, n)
    return np.abs(q)


def rainfall(n, dry_fraction=0.0, seed=2):
    """Depths (inches per step); `dry_fraction` of the steps are exactly 0.0."""
    rng = _rng(seed)
    depth = rng.gamma(0.6, 0.05, n)
    if dry_fraction:
        depth[rng.random(n) < dry_fraction] = 0.0
    return depth


# ------------------------------------------------------------------ Muskingum


@dataclass
class MuskingumCase:
    inflow: np.ndarray
    sub_reaches: int
    step: timedelta = timedelta(hours=1)
    k: timedelta = timedelta(hours=6)
    x: float = 0.2

    @property
    def initial(self):
        return float(self.inflow[0])

    @property
    def inflow_list(self):
        return self.inflow.tolist()


def muskingum_case(n, sub_reaches, seed=1):
    return MuskingumCase(hydrograph(n, seed), sub_reaches)


def muskingum_basinkit_np(c: MuskingumCase):
    s = CTS(c.inflow, c.step, "discharge")
    out = basinkit.reach.run_muskingum_routing(s, c.k, c.x, c.sub_reaches, c.initial)
    return np.asarray(out)


def muskingum_basinkit_list(c: MuskingumCase, values):
    s = CTS(values, c.step, "discharge")
    return basinkit.reach.run_muskingum_routing(s, c.k, c.x, c.sub_reaches, values[0]).data


def muskingum_numba_np(c: MuskingumCase):
    from numba_peers import muskingum_reach

    return muskingum_reach(
        c.inflow, seconds(c.step), seconds(c.k), c.x, c.sub_reaches, c.initial
    )


def muskingum_numba_list(c: MuskingumCase, values):
    from numba_peers import muskingum_reach

    arr = np.array(values, dtype=np.float64)
    return muskingum_reach(arr, seconds(c.step), seconds(c.k), c.x, c.sub_reaches, values[0]).tolist()


def check_muskingum(c: MuskingumCase):
    ours = muskingum_basinkit_np(c)
    assert_same_bits(ours, muskingum_numba_np(c), f"Muskingum x{c.sub_reaches}, NumPy input")
    values = c.inflow_list
    assert_same_bits(
        muskingum_basinkit_list(c, values),
        muskingum_numba_list(c, values),
        f"Muskingum x{c.sub_reaches}, list input",
    )
    assert_same_bits(ours, muskingum_basinkit_list(c, values), "Muskingum NumPy vs list input")
    return {"values": int(ours.size), "agreement": "bit-identical", "fma_free": no_fma()}


# ------------------------------------------------------------------ baseflow


@dataclass
class BaseflowCase:
    rain: np.ndarray
    basin_area: float = 2560.0
    step: timedelta = timedelta(hours=1)
    # (name, k, fraction, initial discharge, reservoirs)
    layers: tuple = (
        ("fast", timedelta(hours=12), 0.25, 5.0, 3),
        ("medium", timedelta(days=4), 0.35, 20.0, 3),
        ("slow", timedelta(days=30), 0.30, 60.0, 3),
    )

    def reservoirs(self):
        lr = basinkit.baseflow.LinearReservoir
        return {name: lr(k, f, q0, n) for name, k, f, q0, n in self.layers}

    def layer_arrays(self):
        return (
            np.array([int(seconds(k)) for _, k, _, _, _ in self.layers], dtype=np.int64),
            np.array([f for _, _, f, _, _ in self.layers], dtype=np.float64),
            np.array([q0 for _, _, _, q0, _ in self.layers], dtype=np.float64),
            np.array([n for _, _, _, _, n in self.layers], dtype=np.int64),
        )


def baseflow_case(n, seed=3):
    return BaseflowCase(rainfall(n, 0.5, seed))


def baseflow_basinkit_np(c: BaseflowCase, reservoirs):
    s = ITS(c.rain, c.step, "rainfall")
    total, parts = basinkit.baseflow.run_linear_reservoir(c.basin_area, s, reservoirs)
    return np.asarray(total), {k: np.asarray(v) for k, v in parts.items()}


def baseflow_basinkit_list(c: BaseflowCase, values, reservoirs):
    s = ITS(values, c.step, "rainfall")
    total, parts = basinkit.baseflow.run_linear_reservoir(c.basin_area, s, reservoirs)
    return total.data, {k: v.data for k, v in parts.items()}


def baseflow_numba_np(c: BaseflowCase, arrays):
    from numba_peers import linear_reservoir

    total, comps = linear_reservoir(c.basin_area, c.rain, seconds(c.step), *arrays)
    return total, {name: comps[i] for i, (name, *_) in enumerate(c.layers)}


def baseflow_numba_list(c: BaseflowCase, values, arrays):
    from numba_peers import linear_reservoir

    arr = np.array(values, dtype=np.float64)
    total, comps = linear_reservoir(c.basin_area, arr, seconds(c.step), *arrays)
    return total.tolist(), {name: comps[i].tolist() for i, (name, *_) in enumerate(c.layers)}


def check_baseflow(c: BaseflowCase):
    reservoirs, arrays = c.reservoirs(), c.layer_arrays()
    values = c.rain.tolist()
    for label, ours, theirs in (
        ("NumPy", baseflow_basinkit_np(c, reservoirs), baseflow_numba_np(c, arrays)),
        (
            "list",
            baseflow_basinkit_list(c, values, reservoirs),
            baseflow_numba_list(c, values, arrays),
        ),
    ):
        assert set(ours[1]) == set(theirs[1]), f"baseflow layers: {set(ours[1])}"
        for name in theirs[1]:
            assert_same_bits(ours[1][name], theirs[1][name], f"baseflow layer {name}, {label}")
        # The total sums layers in processing order (the dict's order here).
        assert_same_bits(ours[0], theirs[0], f"baseflow total, {label} input")
    return {"values": int(c.rain.size), "agreement": "bit-identical", "fma_free": no_fma()}


# ------------------------------------------------------------------ Clark

CLARK_RTOL = 1e-12  # of the peak discharge; the sums run in another order


@dataclass
class ClarkCase:
    rain: np.ndarray
    step: timedelta = timedelta(minutes=15)
    basin_area: float = 6400.0
    tc_steps: int = 50
    r_steps: int = 30

    @property
    def tc(self):
        return self.step * self.tc_steps

    @property
    def storage_r(self):
        return self.step * self.r_steps


def clark_case(n, dry_fraction, seed=4):
    return ClarkCase(rainfall(n, dry_fraction, seed))


def clark_basinkit_np(c: ClarkCase):
    s = ITS(c.rain, c.step, "rainfall")
    return np.asarray(basinkit.rainfall_transform.run_clark_uh(s, c.basin_area, c.tc, c.storage_r))


def clark_numpy(c: ClarkCase):
    from python_peers import clark_uh_numpy

    return clark_uh_numpy(c.rain, seconds(c.step), c.basin_area, seconds(c.tc), seconds(c.storage_r))


def check_clark(c: ClarkCase):
    ours, theirs = clark_basinkit_np(c), clark_numpy(c)
    assert ours.shape == theirs.shape, f"Clark: {ours.size} values against {theirs.size}"
    peak = float(np.max(np.abs(theirs)))
    worst = float(np.max(np.abs(ours - theirs)))
    assert worst <= CLARK_RTOL * peak, f"Clark: largest difference {worst} of peak {peak}"
    # The ordinates themselves are built in the same order: one rainfall
    # value of 1.0 gives them back exactly.
    single = ITS([1.0], c.step, "rainfall")
    uh = basinkit.rainfall_transform.run_clark_uh(single, c.basin_area, c.tc, c.storage_r)
    assert_same_bits(
        np.asarray(uh),
        reference_clark.unit_hydrograph(
            seconds(c.step), c.basin_area, seconds(c.tc), seconds(c.storage_r)
        ),
        "Clark unit hydrograph",
    )
    return {
        "values": int(ours.size),
        "ordinates": int(np.asarray(uh).size),
        "agreement": f"max |diff| {worst:.3g} = {worst / peak:.2g} x peak (tolerance {CLARK_RTOL:g})",
    }


# ------------------------------------------------------------------ KGE

KGE_RTOL = 1e-12


@dataclass
class KgeCase:
    sim: np.ndarray
    obs: np.ndarray
    sim_list: list = field(init=False)
    obs_list: list = field(init=False)

    def __post_init__(self):
        self.sim_list = self.sim.tolist()
        self.obs_list = self.obs.tolist()


def kge_case(n, seed=5):
    obs = hydrograph(n, seed)
    rng = _rng(seed + 1)
    sim = obs * rng.normal(1.05, 0.1, n) + rng.normal(0.0, 5.0, n)
    return KgeCase(np.abs(sim), obs)


def kge_basinkit(sim, obs):
    return basinkit.metrics.calculate_kge(sim, obs)


def kge_hydroeval(sim, obs):
    import hydroeval

    return float(hydroeval.kge(sim, obs)[0, 0])


def kge_hydroerr(sim, obs):
    import HydroErr

    return float(HydroErr.kge_2009(sim, obs))


def check_kge(c: KgeCase):
    ours = kge_basinkit(c.sim, c.obs)
    assert ours == kge_basinkit(c.sim_list, c.obs_list), "KGE: NumPy and list input differ"
    figures = {"values": int(c.obs.size), "kge": ours}
    # Population (hydroeval, basinkit) against sample (HydroErr) standard
    # deviations: the ratio gamma is the same either way, so on data where no
    # guard applies all three agree up to summation order.
    for name, peer in (("hydroeval", kge_hydroeval), ("HydroErr", kge_hydroerr)):
        theirs = peer(c.sim, c.obs)
        assert math.isclose(ours, theirs, rel_tol=KGE_RTOL), f"KGE {name}: {theirs} vs {ours}"
        figures[name] = f"|diff| {abs(ours - theirs):.2g}"
    return figures


def kge_definition_differences():
    """Where the definitions part: basinkit guards the observed mean and
    spread with 1e-6, HydroErr returns NaN (with a warning), hydroeval gives
    inf/NaN. Returns the three values for a constant observed series."""
    import warnings

    sim = np.array([1.0, 2.0, 3.0])
    obs = np.array([2.0, 2.0, 2.0])
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return {
            "basinkit": kge_basinkit(sim, obs),
            "hydroeval": kge_hydroeval(sim, obs),
            "HydroErr": kge_hydroerr(sim, obs),
        }


# ------------------------------------------------------------------ conversion


def check_conversion(n, seed=6):
    arr = hydrograph(n, seed)
    values = arr.tolist()
    step = timedelta(hours=1)
    for label, data in (("list", values), ("tuple", tuple(values)), ("NumPy", arr)):
        s = CTS(data, step, "discharge")
        assert_same_bits(np.asarray(s), arr, f"conversion from {label}")
        assert_same_bits(s.data, arr, f"conversion from {label}, read back as .data")
    view = np.asarray(CTS(arr, step, "discharge"))
    assert not view.flags.writeable, "np.asarray(series) must be a read-only view"
    return {"values": n, "agreement": "bit-identical"}


# ------------------------------------------------------------------ level pool

FT3 = 1.0  # storage in cfs x seconds


@dataclass
class LevelPoolCase:
    inflow: np.ndarray
    dt: int
    initial_elevation: float = 1005.0
    es_elevation: np.ndarray = field(default_factory=lambda: 1000.0 + np.arange(25.0))
    es_storage: np.ndarray = field(
        default_factory=lambda: 2.0e7 * np.arange(25.0) + 1.5e6 * np.arange(25.0) ** 2
    )
    # Spillway crest 1012 ft, weir-like; gated conduit from 1002 ft capped at
    # 1500 cfs; a constant 100 cfs minimum release above 1001 ft.
    spill_q: np.ndarray = field(
        default_factory=lambda: 180.0 * np.maximum(np.arange(25.0) - 12.0, 0.0) ** 1.5
    )
    gate_q: np.ndarray = field(default_factory=lambda: 400.0 * np.sqrt(np.arange(25.0)))
    gate_min: float = 1002.0
    gate_cap: float = 1500.0
    release: float = 100.0
    release_min: float = 1001.0

    @property
    def steps(self):
        n = self.inflow.size
        return (n - 2) * self.dt + 1 if n >= 2 else 0

    def basinkit_args(self):
        ru = basinkit.reservoir.reservoir_utils
        e = self.es_elevation
        curve = ru.ElevationStorage(e, self.es_storage)
        outlets = {
            "spillway": ru.UnControlledDischargeInfo(ru.ElevationDischarge(e, self.spill_q)),
            "gate": ru.ControlledDischargeInfo(
                ru.ElevationDischarge(e, self.gate_q),
                minimum_elevation=self.gate_min,
                maximum_release=self.gate_cap,
            ),
            "minimum_flow": ru.ConstantDischargeInfo(self.release, self.release_min),
        }
        return curve, outlets

    def numba_args(self, hinted):
        from numba_peers import CONSTANT, CONTROLLED, UNCONTROLLED

        e = self.es_elevation
        nan = math.nan
        return (
            self.es_elevation,
            self.es_storage,
            np.array([UNCONTROLLED, CONTROLLED, CONSTANT], dtype=np.int64),
            np.vstack([e, e, e]),
            np.vstack([self.spill_q, self.gate_q, np.zeros_like(e)]),
            np.array([e.size, e.size, 0], dtype=np.int64),
            np.array([0.0, 0.0, 0.0]),  # offsets (absent: 0.0 is added)
            # The gate's minimum as the constructor stores it: max(given, first).
            np.array([nan, max(self.gate_min, float(e[0])), self.release_min]),
            np.array([False, True, True]),
            np.array([nan, nan, nan]),
            np.array([False, False, False]),
            np.array([nan, self.gate_cap, nan]),
            np.array([False, True, False]),
            np.array([0.0, 0.0, self.release]),
            hinted,
        )

    def python_outlets(self):
        r = reference_level_pool
        e = self.es_elevation.tolist()
        return [
            r.Uncontrolled(e, self.spill_q.tolist()),
            r.Controlled(
                e,
                self.gate_q.tolist(),
                minimum_elevation=self.gate_min,
                maximum_release=self.gate_cap,
            ),
            r.Constant(self.release, minimum_elevation=self.release_min),
        ]


OUTLET_NAMES = ("spillway", "gate", "minimum_flow")


def flood(hours, base=200.0, peak=6000.0, time_to_peak=48.0):
    """Hourly inflow: base flow and one flood wave (as the C++ benchmark)."""
    x = np.arange(hours + 1, dtype=np.float64) / time_to_peak
    return base + peak * x * x * np.exp(2.0 - 2.0 * x)


def level_pool_case(hours):
    return LevelPoolCase(flood(hours), 3600)


def level_pool_basinkit(c: LevelPoolCase, curve, outlets):
    s = CTS(c.inflow, timedelta(seconds=c.dt), "discharge")
    r = basinkit.reservoir.run_level_pool_routing(s, c.initial_elevation, curve, outlets)
    parts = r.reservoir_individual_outflows
    return (
        np.asarray(r.reservoir_storage),
        np.asarray(r.reservoir_elevation),
        np.asarray(r.reservoir_total_outflow),
        {k: np.asarray(v) for k, v in parts.items()},
    )


def level_pool_numba(c: LevelPoolCase, args):
    from numba_peers import level_pool

    s, e, total, outs = level_pool(c.inflow, c.dt, c.initial_elevation, *args)
    return s, e, total, dict(zip(OUTLET_NAMES, outs))


def level_pool_python(c: LevelPoolCase, outlets):
    s, e, total, outs = reference_level_pool.level_pool(
        c.inflow.tolist(),
        c.dt,
        c.initial_elevation,
        c.es_elevation.tolist(),
        c.es_storage.tolist(),
        outlets,
    )
    return s, e, total, dict(zip(OUTLET_NAMES, outs))


def assert_same_routing(ours, theirs, what):
    for i, name in enumerate(("storage", "elevation", "total outflow")):
        assert_same_bits(ours[i], theirs[i], f"{what}: {name}")
    assert set(ours[3]) == set(theirs[3]), f"{what}: outlets {sorted(ours[3])}"
    for name in theirs[3]:
        assert_same_bits(ours[3][name], theirs[3][name], f"{what}: outlet {name}")


def check_level_pool(c: LevelPoolCase, python_too=True):
    curve, outlets = c.basinkit_args()
    assert list(outlets) == list(OUTLET_NAMES)
    ours = level_pool_basinkit(c, curve, outlets)
    assert ours[0].size == c.inflow.size - 1, "one record per inflow step after the first"
    spill = ours[3]["spillway"]
    for hinted in (False, True):
        label = "numba, hinted search" if hinted else "numba, halving search"
        assert_same_routing(ours, level_pool_numba(c, c.numba_args(hinted)), label)
    if python_too:
        assert_same_routing(ours, level_pool_python(c, c.python_outlets()), "plain Python")
    return {
        "internal_steps": c.steps,
        "peak_elevation": float(ours[1].max()),
        "spillway_flows": bool((spill > 0).any()),
        "agreement": "bit-identical",
        "fma_free": no_fma(),
    }
