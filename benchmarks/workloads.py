"""Inputs and the calls on each side of a comparison, shared by the benchmarks.

The plain-Python side of a comparison is the reference model of `reference`;
the numba side is numba_peers.py. Imports of either are deferred to the calls
that need them, so that a benchmark without them (threads) runs without them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from datetime import timedelta
from pathlib import Path

import numpy as np

import basinkit

CTS = basinkit.utils.ContinuousTimeSeries
ITS = basinkit.utils.IncrementalTimeSeries
HOUR = timedelta(hours=1)
DATA = Path(__file__).resolve().parent.parent / "examples" / "data"


def seconds(td: timedelta) -> float:
    from reference.arith import seconds

    return seconds(td)


# ------------------------------------------------------------------ inputs


def hydrograph(n, seed=1):
    """A discharge series (cfs): base flow, a few flood waves, a little noise."""
    rng = np.random.default_rng(seed)
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
    rng = np.random.default_rng(seed)
    depth = rng.gamma(0.6, 0.05, n)
    if dry_fraction:
        depth[rng.random(n) < dry_fraction] = 0.0
    return depth


def flood(hours, base=200.0, peak=6000.0, time_to_peak=48.0):
    """Hourly inflow: base flow and one flood wave (as the C++ benchmark)."""
    x = np.arange(hours + 1, dtype=np.float64) / time_to_peak
    return base + peak * x * x * np.exp(2.0 - 2.0 * x)


def storm():
    """The bundled storm basin, its rain and its gauge (basinkit_model)."""
    import basinkit_model
    from basinkit_model._cli_inputs import read_csv

    basin = basinkit_model.load(DATA / "storm.toml")
    # One column each: the same rain on every subbasin, the gauge at the outlet.
    rain = read_csv(str(DATA / "storm_rain.csv"), "rain").iloc[:, 0]
    return basin, rain, read_csv(str(DATA / "storm_gauge.csv"), "gauge").iloc[:, 0]


# ------------------------------------------------------------------ Muskingum


@dataclass
class MuskingumCase:
    inflow: np.ndarray
    sub_reaches: int
    step: timedelta = HOUR
    k: timedelta = timedelta(hours=6)
    x: float = 0.2

    @property
    def initial(self):
        return float(self.inflow[0])

    def basinkit_np(self, series=None):
        s = CTS(self.inflow, self.step, "discharge") if series is None else series
        return np.asarray(basinkit.reach.run_muskingum_routing(
            s, self.k, self.x, self.sub_reaches, self.initial))

    def basinkit_list(self, values):
        s = CTS(values, self.step, "discharge")
        return basinkit.reach.run_muskingum_routing(s, self.k, self.x, self.sub_reaches,
                                                    values[0]).data

    def numba_np(self, inflow=None):
        from benchmarks.numba_peers import muskingum_reach

        return muskingum_reach(self.inflow if inflow is None else inflow, seconds(self.step),
                               seconds(self.k), self.x, self.sub_reaches, self.initial)

    def numba_list(self, values):
        return self.numba_np(np.array(values, dtype=np.float64)).tolist()


def muskingum_case(n, sub_reaches, seed=1):
    return MuskingumCase(hydrograph(n, seed), sub_reaches)


# ------------------------------------------------------------------ baseflow


@dataclass
class BaseflowCase:
    rain: np.ndarray
    basin_area: float = 2560.0
    step: timedelta = HOUR
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

    def basinkit(self, rain, reservoirs, out=np.asarray):
        """Total, then the layers in processing order (the dict's order)."""
        s = rain if isinstance(rain, ITS) else ITS(rain, self.step, "rainfall")
        total, parts = basinkit.baseflow.run_linear_reservoir(self.basin_area, s, reservoirs)
        return [out(total)] + [out(parts[name]) for name, *_ in self.layers]

    def numba(self, rain, arrays, out=lambda a: a):
        from benchmarks.numba_peers import linear_reservoir

        total, comps = linear_reservoir(self.basin_area, np.asarray(rain, dtype=np.float64),
                                        seconds(self.step), *arrays)
        return [out(total)] + [out(c) for c in comps]


def baseflow_case(n, seed=3):
    return BaseflowCase(rainfall(n, 0.5, seed))


# ------------------------------------------------------------------ Clark

CLARK_RTOL = 1e-12  # of the peak discharge; np.convolve sums in another order


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

    def basinkit(self, series=None):
        s = ITS(self.rain, self.step, "rainfall") if series is None else series
        return np.asarray(basinkit.rainfall_transform.run_clark_uh(s, self.basin_area, self.tc,
                                                                   self.storage_r))

    def unit_hydrograph(self):
        from reference.clark import unit_hydrograph

        return unit_hydrograph(seconds(self.step), self.basin_area, seconds(self.tc),
                               seconds(self.storage_r))

    def numpy(self):
        """The reference's unit hydrograph convolved by np.convolve."""
        return np.convolve(self.rain, np.array(self.unit_hydrograph()))


def clark_case(n, dry_fraction, seed=4):
    return ClarkCase(rainfall(n, dry_fraction, seed))


# ------------------------------------------------------------------ KGE

KGE_RTOL = 1e-12


def kge_case(n, seed=5):
    """(sim, obs) arrays: a hydrograph and a noisy, biased copy of it."""
    obs = hydrograph(n, seed)
    rng = np.random.default_rng(seed + 1)
    sim = obs * rng.normal(1.05, 0.1, n) + rng.normal(0.0, 5.0, n)
    return np.abs(sim), obs


def kge_close(ours, theirs, what):
    from benchmarks.harness import Disagreement

    if not math.isclose(ours, theirs, rel_tol=KGE_RTOL):
        raise Disagreement(f"{what}: KGE {theirs!r} against {ours!r}")
    return f"difference {abs(ours - theirs):.2g} (tolerance {KGE_RTOL:g} relative)"


# ------------------------------------------------------------------ level pool


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

    def numba_args(self):
        e = self.es_elevation
        # The gate's minimum as the constructor stores it: max(given, first).
        return (self.es_elevation, self.es_storage, e, self.spill_q, e, self.gate_q,
                max(self.gate_min, float(e[0])), self.gate_cap, self.release, self.release_min)

    def python_outlets(self):
        from reference import level_pool as r

        e = self.es_elevation.tolist()
        return [
            r.Uncontrolled(e, self.spill_q.tolist()),
            r.Controlled(e, self.gate_q.tolist(), minimum_elevation=self.gate_min,
                         maximum_release=self.gate_cap),
            r.Constant(self.release, minimum_elevation=self.release_min),
        ]

    def native_outlets(self):
        """The outlets as basinkit_model's private routing takes them."""
        e = self.es_elevation.tolist()
        return {
            "spillway": ("spillway", e, self.spill_q.tolist(), None),
            "gate": ("gate", e, self.gate_q.tolist(), self.gate_min, None, self.gate_cap),
            "minimum_flow": ("constant", self.release, self.release_min, None),
        }

    # Each side returns storage, elevation, total and the outlets in the
    # order spillway, gate, minimum flow: compared with harness.same_each.

    def basinkit(self, curve, outlets, series=None):
        s = CTS(self.inflow, timedelta(seconds=self.dt), "discharge") if series is None else series
        r = basinkit.reservoir.run_level_pool_routing(s, self.initial_elevation, curve, outlets)
        parts = r.reservoir_individual_outflows
        return [np.asarray(r.reservoir_storage), np.asarray(r.reservoir_elevation),
                np.asarray(r.reservoir_total_outflow)] + [np.asarray(parts[k]) for k in outlets]

    def numba(self, args):
        from benchmarks.numba_peers import level_pool

        s, e, total, outs = level_pool(self.inflow, self.dt, self.initial_elevation, *args)
        return [s, e, total, *outs]

    def python(self, outlets):
        from reference.level_pool import level_pool

        s, e, total, outs = level_pool(self.inflow.tolist(), self.dt, self.initial_elevation,
                                       self.es_elevation.tolist(), self.es_storage.tolist(),
                                       outlets)
        return [s, e, total, *outs]


def level_pool_case(hours):
    return LevelPoolCase(flood(hours), 3600)
