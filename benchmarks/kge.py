"""KGE against hydroeval and HydroErr, from arrays and from lists."""

import importlib.util
import math
import warnings

import numpy as np

import basinkit
from benchmarks import harness as h
from benchmarks import workloads as w

KGE = basinkit.metrics.calculate_kge


def peers():
    """Installed peers as f(sim, obs) -> float, each as its documentation shows."""
    found = {}
    if importlib.util.find_spec("hydroeval"):
        import hydroeval

        found["hydroeval"] = lambda sim, obs: float(hydroeval.kge(sim, obs)[0, 0])
    if importlib.util.find_spec("HydroErr"):
        import HydroErr

        found["HydroErr"] = lambda sim, obs: float(HydroErr.kge_2009(sim, obs))
    return found


def definitions_part(found):
    """Where the definitions part: basinkit guards the observed mean and spread
    with 1e-6, HydroErr returns NaN (with a warning), hydroeval inf or NaN."""
    sim, obs = np.array([1.0, 2.0, 3.0]), np.array([2.0, 2.0, 2.0])
    ours = KGE(sim, obs)
    assert ours == -816494.5809283386, f"basinkit: {ours!r}"
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        theirs = {name: fn(sim, obs) for name, fn in found.items()}
    assert math.isnan(theirs.get("HydroErr", math.nan)), theirs
    assert not math.isfinite(theirs.get("hydroeval", math.inf)), theirs
    return f"constant observations: basinkit {ours:.6g}, " + ", ".join(
        f"{k} {v}" for k, v in theirs.items())


def run(s: h.Session) -> None:
    found = peers()
    for name in ("hydroeval", "HydroErr"):
        if name not in found:
            s.missing(name)
    sim, obs = w.kge_case(s.size(1_000_000, 100_000))
    sim_list, obs_list = sim.tolist(), obs.tolist()
    s.check("KGE from arrays and from lists", lambda: h.same_bits(
        KGE(sim, obs), KGE(sim_list, obs_list), "KGE"))
    # Population (hydroeval, basinkit) against sample (HydroErr) standard
    # deviations: the ratio is the same, so where no guard applies all agree
    # up to summation order.
    sides = {"basinkit": lambda: KGE(sim, obs)}
    sides.update({name: (lambda fn=fn: fn(sim, obs)) for name, fn in found.items()})
    s.compare("KGE, NumPy input", sides, w.kge_close, steps=sim.size, unit="value pair")
    # The array libraries get np.asarray of the lists first (timed).
    sides = {"basinkit": lambda: KGE(sim_list, obs_list)}
    sides.update({name: (lambda fn=fn: fn(np.asarray(sim_list), np.asarray(obs_list)))
                  for name, fn in found.items()})
    s.compare("KGE, list input", sides, w.kge_close, steps=sim.size, unit="value pair")
    s.check("KGE where the definitions part", lambda: definitions_part(found))
    for r in s.rows:
        if r["benchmark"] == "kge" and r["side"] != "basinkit":
            s.target(f"{r['group']}: at least 2× faster than {r['side']}", r["ratio"] >= 2.0,
                     f"{r['ratio']:.2f}×")
