"""The native models against numba (bit for bit), plain Python and np.convolve."""

import importlib.util

from benchmarks import harness as h
from benchmarks import workloads as w


def level_pool(s, numba):
    case = w.level_pool_case(s.size(720, 72))
    curve, outlets = case.basinkit_args()
    sides = {"basinkit": lambda: case.basinkit(curve, outlets)}
    if numba:
        args = case.numba_args()
        sides["numba (tight loop)"] = lambda: case.numba(args)
    s.compare("level pool, 3 outlets", sides, h.same_each, steps=case.steps,
              unit="internal step")

    short = w.level_pool_case(48)
    sides = {"basinkit": lambda: short.basinkit(curve, outlets)}
    if numba:
        args = short.numba_args()
        sides["numba (tight loop)"] = lambda: short.numba(args)
    py_outlets = short.python_outlets()
    sides["plain Python"] = lambda: short.python(py_outlets)
    s.compare("level pool, 3 outlets, short event", sides, h.same_each, steps=short.steps,
              unit="internal step")

    def all_outlets_release():
        parts = case.basinkit(curve, outlets)
        assert parts[0].size == case.inflow.size - 1, "one record per inflow step after the first"
        assert all((q > 0).any() for q in parts[3:]), "the event must reach every outlet"
        return f"{parts[0].size} records, peak {parts[1].max():.2f} ft, every outlet releases"

    s.check("level pool event", all_outlets_release)


def muskingum(s, numba):
    for n in (1, 5):
        case = w.muskingum_case(s.size(1_000_000, 100_000), n)
        values = case.inflow.tolist()
        series = w.CTS(case.inflow, case.step, "discharge")
        label = f"Muskingum, {n} sub-reach{'es' if n > 1 else ''}"
        sides = {"basinkit": case.basinkit_np}
        if numba:
            sides["numba"] = case.numba_np
        sides["basinkit (series prebuilt)"] = lambda: case.basinkit_np(series)
        s.compare(f"{label}, NumPy in/out", sides, h.same_bits, steps=len(values))
        sides = {"basinkit": lambda: case.basinkit_list(values)}
        if numba:
            sides["numba"] = lambda: case.numba_list(values)
        s.compare(f"{label}, list in/out", sides, h.same_bits, steps=len(values))
        s.check(f"{label}: NumPy and list input",
                lambda: h.same_bits(case.basinkit_np(), case.basinkit_list(values), label))
    if numba:
        case = w.muskingum_case(5_000, 11)
        s.check("Muskingum, 11 sub-reaches, against numba",
                lambda: h.same_bits(case.basinkit_np(), case.numba_np(), "x11"))


def baseflow(s, numba):
    case = w.baseflow_case(s.size(1_000_000, 100_000))
    reservoirs, arrays, values = case.reservoirs(), case.layer_arrays(), case.rain.tolist()
    series = w.ITS(case.rain, case.step, "rainfall")
    group = "baseflow, 3 layers x 3 reservoirs"
    sides = {"basinkit": lambda: case.basinkit(case.rain, reservoirs)}
    if numba:
        sides["numba"] = lambda: case.numba(case.rain, arrays)
    sides["basinkit (series prebuilt)"] = lambda: case.basinkit(series, reservoirs)
    s.compare(f"{group}, NumPy in/out", sides, h.same_each, steps=len(values))
    sides = {"basinkit": lambda: case.basinkit(values, reservoirs, out=lambda r: r.data)}
    if numba:
        sides["numba"] = lambda: case.numba(values, arrays, out=lambda a: a.tolist())
    s.compare(f"{group}, list in/out", sides, h.same_each, steps=len(values))


def clark(s):
    def agree(ours, theirs, what):
        if "prebuilt" in what:
            return h.same_bits(ours, theirs, what)
        return h.within(ours, theirs, w.CLARK_RTOL, what)

    for dry in (0.0, 0.6):
        case = w.clark_case(s.size(100_000, 20_000), dry)
        series = w.ITS(case.rain, case.step, "rainfall")
        s.compare(f"Clark UH, tc 50 steps, {dry:.0%} dry steps, NumPy in/out",
                  {"basinkit": case.basinkit, "NumPy np.convolve": case.numpy,
                   "basinkit (series prebuilt)": lambda: case.basinkit(series)},
                  agree, steps=case.rain.size, unit="rainfall value")

    def ordinates():
        # The unit hydrograph is built in the same order: one rainfall value
        # of 1.0 gives it back exactly.
        uh = case.basinkit(w.ITS([1.0], case.step, "rainfall"))
        assert uh.size > 50, "the recession follows the translation ordinates"
        return f"{uh.size} ordinates " + h.same_bits(uh, case.unit_hydrograph(), "Clark UH")

    s.check("Clark unit hydrograph against the reference", ordinates)


def run(s: h.Session) -> None:
    numba = importlib.util.find_spec("numba") is not None
    if not numba:
        s.missing("numba")
    level_pool(s, numba)
    muskingum(s, numba)
    baseflow(s, numba)
    clark(s)
    if numba:
        from benchmarks import numba_peers

        s.check("numba kernels", numba_peers.assert_no_fma)
        s.check("numba FMA detector", numba_peers.fma_detector_works)
    lp = [r for r in s.rows if r["group"] == "level pool, 3 outlets"]
    if len(lp) > 1:
        ours, best = lp[0], min(lp[1:], key=lambda r: r["median_s"])
        s.target("level pool ≤ 25 ns per internal step, three outlets",
                 ours["per_step_ns"] <= 25.0, f"{ours['per_step_ns']:.1f} ns/step")
        s.target("level pool ≤ 0.85× the numba tight loop (same process)",
                 1.0 / best["ratio"] <= 0.85,
                 f"{1.0 / best['ratio']:.2f}× ({ours['per_step_ns']:.1f} against "
                 f"{best['per_step_ns']:.1f} ns/step)")
    for r in s.rows:
        if "NumPy in/out" in r["group"] and r["side"] in ("numba", "NumPy np.convolve"):
            s.target(f"{r['group']}: basinkit no slower than {r['side']}", r["ratio"] >= 1.0,
                     f"{r['ratio']:.2f}×")
