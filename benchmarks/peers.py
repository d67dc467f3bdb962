"""basinkit against the packages a hydrologist would use instead.

Jobs: Muskingum routing (10^4 and 10^6 steps, 1 and 5 segments), a cascade of
three linear reservoirs, a 30-day hourly reservoir event with a spillway, and
the Kling-Gupta efficiency from arrays and from lists. Peers: HydPy
(musk_classic, compiled and in its Python loop; optional, it builds from
source), pyswmm (SWMM storage units and outlets), spotpy, hydrotools.metrics,
hydroeval and HydroErr, each set up as its documentation shows. Each side is
timed alone (the model on prepared input) and with set-up (NumPy input to
NumPy output); agreement is checked on the latter first.
"""

import importlib.util
import itertools
import os
import sys
import tempfile
import warnings
from dataclasses import dataclass
from datetime import timedelta
from pathlib import Path
from typing import Callable

import numpy as np

import basinkit
from benchmarks import harness as h
from benchmarks import kge
from benchmarks import workloads as w

CTS = w.CTS
MODULES = {
    "HydPy": "hydpy",
    "pyswmm": "pyswmm",
    "spotpy": "spotpy",
    "hydrotools.metrics": "hydrotools.metrics",
    "hydroeval": "hydroeval",
    "HydroErr": "HydroErr",
}


def installed(peer):
    try:
        return importlib.util.find_spec(MODULES[peer]) is not None
    except ModuleNotFoundError:
        return False


@dataclass
class Peer:
    """One way of doing a job. `prepare()` builds what the call needs from
    NumPy input; `run(prepared)` is the model alone; `finish(raw)` turns its
    result into NumPy output (or a float)."""

    name: str
    prepare: Callable
    run: Callable
    finish: Callable = lambda raw: raw
    cleanup: Callable = lambda prepared: None

    def whole(self):
        prepared = self.prepare()
        try:
            return self.finish(self.run(prepared))
        finally:
            self.cleanup(prepared)


@dataclass
class Job:
    name: str
    sides: list  # basinkit's first
    check: Callable  # (ours, theirs, label) -> agreement text; raises Disagreement
    missing: tuple = ()


def close(ours, theirs, what):
    return h.within(ours, theirs, 1e-12, what)


def peaks_within(rel, reason):
    """Loose check for peers whose schemes differ: peak and time of peak."""

    def check(ours, theirs, what):
        ours, theirs = np.asarray(ours, dtype=np.float64), np.asarray(theirs, dtype=np.float64)
        n = min(ours.size, theirs.size)
        if n == 0 or abs(ours.size - theirs.size) > 2:
            raise h.Disagreement(f"{what}: {theirs.size} values against {ours.size}")
        a, b = float(np.max(ours[:n])), float(np.max(theirs[:n]))
        ta, tb = int(np.argmax(ours[:n])), int(np.argmax(theirs[:n]))
        diff = abs(b - a) / abs(a)
        if diff > rel:
            raise h.Disagreement(f"{what}: peak {b:.6g} against {a:.6g} ({diff:.2%}; "
                                 f"allowed {rel:.0%})")
        if abs(ta - tb) > max(2, n // 100):
            raise h.Disagreement(f"{what}: peak at step {tb} against {ta}")
        return f"peak {diff:.2%} apart (≤ {rel:.0%}), same time ±{abs(ta - tb)} steps; {reason}"

    return check


def muskingum_coefficients(dt, k, x):
    """basinkit's weights per segment, in its operation order."""
    two_k = k + k
    two_kx, two_k1mx = two_k * x, two_k * (1.0 - x)
    den = dt + two_k1mx
    return (dt - two_kx) / den, (dt + two_kx) / den, (two_k1mx - dt) / den


def basinkit_muskingum(q, step_s, k_s, x, segments):
    step, k = timedelta(seconds=step_s), timedelta(seconds=k_s)
    route = basinkit.reach.run_muskingum_routing
    return Peer(
        "basinkit",
        prepare=lambda: CTS(q, step, "discharge"),
        run=lambda s: route(s, k, x, segments, float(q[0])),
        finish=np.asarray,
    )


# ------------------------------------------------------------------ HydPy


_hydpy_devices = itertools.count()


def hydpy_muskingum(q, step_s, k_s, x, segments, compiled):
    """HydPy's musk_classic as its documentation sets it up: one element
    between an inlet and an outlet node, the inlet's simulated series given
    (deploymode "oldsim"), explicit per-segment coefficients, parameters
    updated before the run, all segments starting at the first inflow.
    Both runs use the Cython model; "compiled" also runs the time loop in
    Cython (options.threads = 1), the other steps it from Python (the
    default, threads = 0)."""
    import hydpy
    from hydpy import pub

    c0, c1, c2 = muskingum_coefficients(float(step_s), k_s / segments, x)
    n = q.size
    hours = step_s // 3600

    def prepare():
        pub.options.usecython = True
        pub.options.threads = 1 if compiled else 0
        pub.options.printprogress = False
        pub.timegrids = hydpy.Timegrids(
            hydpy.Timegrid("2000-01-01 00:00", hydpy.Date("2000-01-01 00:00") + f"{n * hours}h",
                           f"{hours}h"))
        # HydPy keeps every device by name for the whole process: fresh names,
        # so that a run of another length never meets an older node's series.
        tag = next(_hydpy_devices)
        inlet, outlet = hydpy.Node(f"inflow{tag}"), hydpy.Node(f"outflow{tag}")
        inlet.deploymode = "oldsim"
        element = hydpy.Element(f"reach{tag}", inlets=inlet, outlets=outlet)
        model = hydpy.prepare_model("musk_classic")
        element.model = model
        model.parameters.control.nmbsegments(segments)
        # HydPy names the weights by what they multiply: the new inflow, the
        # old inflow, the old outflow of a segment.
        model.parameters.control.coefficients(c0, c1, c2)
        model.parameters.update()
        model.sequences.states.discharge(float(q[0]))
        hp = hydpy.HydPy("basinkit_peers")
        hp.update_devices(nodes=hydpy.Nodes(inlet, outlet), elements=hydpy.Elements(element))
        hp.prepare_allseries()
        inlet.sequences.sim.series = q
        return hp, outlet

    def run(prepared):
        hp, outlet = prepared
        hp.simulate()
        return outlet.sequences.sim.series

    return Peer(
        f"HydPy musk_classic ({'compiled' if compiled else 'Python loop'})",
        prepare=prepare,
        run=run,
        finish=lambda series: np.array(series, dtype=np.float64),
    )


# ------------------------------------------------------------------ SWMM


def swmm_date(hours):
    # SWMM counts whole days from its start date.
    start = np.datetime64("2000-01-01T00:00")
    t = start + np.timedelta64(int(hours), "h")
    d = t.astype(object)
    return d.strftime("%m/%d/%Y"), d.strftime("%H:%M:%S")


def swmm_inp(path, nodes, links, inflow, step_s, routing_step_s, curves="", storage_lines=""):
    hours = step_s // 3600
    start_d, start_t = swmm_date(0)
    end_d, end_t = swmm_date((inflow.size - 1) * hours)
    ts = path.with_suffix(".dat")
    with ts.open("w") as f:
        for i, v in enumerate(inflow.tolist()):
            f.write(f"{i * hours} {v!r}\n")
    path.write_text(f"""[OPTIONS]
FLOW_UNITS CFS
FLOW_ROUTING KINWAVE
START_DATE {start_d}
START_TIME {start_t}
REPORT_START_DATE {start_d}
REPORT_START_TIME {start_t}
END_DATE {end_d}
END_TIME {end_t}
REPORT_STEP {hours:02d}:00:00
ROUTING_STEP {routing_step_s}
SKIP_STEADY_STATE NO

[STORAGE]
;;Name Elev MaxDepth InitDepth Shape Params
{storage_lines}
[OUTFALLS]
OUT 0 FREE

[OUTLETS]
{links}
[INFLOWS]
{nodes[0]} FLOW INFLOW "" FLOW 1.0 1.0

[TIMESERIES]
INFLOW FILE "{ts}"

[CURVES]
{curves}
[REPORT]
NODES ALL
LINKS ALL
""")


def swmm_side(name, write, outlet_link):
    """pyswmm as its documentation shows: a Simulation of the input file run
    to its end, the link's flow read from the binary output file."""

    def prepare():
        tmp = tempfile.TemporaryDirectory()
        inp = Path(tmp.name) / "model.inp"
        write(inp)
        return tmp, inp

    def run(prepared):
        from pyswmm import Simulation

        _, inp = prepared
        # The engine writes its progress to the process's standard output.
        sys.stdout.flush()
        saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        try:
            with Simulation(str(inp)) as sim:
                sim.execute()
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(devnull)
        return inp.with_suffix(".out")

    def finish(out_path):
        from pyswmm import Output
        from swmm.toolkit.shared_enum import LinkAttribute

        with Output(str(out_path)) as out:
            series = out.link_series(outlet_link, LinkAttribute.FLOW_RATE)
        return np.fromiter(series.values(), dtype=np.float64)

    def cleanup(prepared):
        prepared[0].cleanup()

    # The output file must outlive run(); whole() reads it before cleanup.
    return Peer(name, prepare=prepare, run=run, finish=finish, cleanup=cleanup)


def swmm_cascade(q, step_s, k_each_s, reservoirs=3):
    """Three storage units of constant area A, each with an outlet Q = (A/K) d:
    S = A d and Q = S / K, a linear reservoir."""
    area = 1.0e6
    coeff = area / k_each_s
    names = [f"S{i}" for i in range(reservoirs)]

    def write(inp):
        storage = "".join(f"{s} 0 1e6 {float(q[0]) * k_each_s / area!r} FUNCTIONAL 0 0 {area!r} 0 0\n"
                          for s in names)
        links = "".join(
            f"L{i} {s} {names[i + 1] if i + 1 < reservoirs else 'OUT'} 0 FUNCTIONAL/DEPTH "
            f"{coeff!r} 1.0 NO\n" for i, s in enumerate(names))
        swmm_inp(inp, names, links, q, step_s, step_s, storage_lines=storage)

    return swmm_side("pyswmm (SWMM storage units)", write, f"L{reservoirs - 1}")


def swmm_reservoir(c):
    """The level pool case's reservoir with its spillway only: SWMM's storage
    curve gives surface area by depth, the derivative of the volume curve, so
    2e7 + 3e6 h (ft²) integrates to the same storage."""
    e = (c.es_elevation - c.es_elevation[0]).tolist()

    def write(inp):
        area = [2.0e7 + 3.0e6 * h for h in e]
        curves = "".join(f"AREA {'Storage' if i == 0 else ''} {h!r} {a!r}\n"
                         for i, (h, a) in enumerate(zip(e, area)))
        curves += "".join(f"SPILL {'Rating' if i == 0 else ''} {h!r} {qq!r}\n"
                          for i, (h, qq) in enumerate(zip(e, c.spill_q.tolist())))
        storage = f"RES 0 {e[-1]!r} {c.initial_elevation - float(c.es_elevation[0])!r} TABULAR AREA 0 0\n"
        links = "SPILLWAY RES OUT 0 TABULAR/DEPTH SPILL NO\n"
        swmm_inp(inp, ["RES"], links, c.inflow, c.dt, 10, curves=curves, storage_lines=storage)

    return swmm_side("pyswmm (SWMM storage unit)", write, "SPILLWAY")


# ------------------------------------------------------------------ jobs


def hydpy_pair(q, step_s, k_s, x, segments):
    if not installed("HydPy"):
        return [], ("HydPy",)
    return [hydpy_muskingum(q, step_s, k_s, x, segments, True),
            hydpy_muskingum(q, step_s, k_s, x, segments, False)], ()


def muskingum_jobs(n, step_s=3600, k_s=6 * 3600.0, x=0.2):
    q = w.hydrograph(n)
    jobs = []
    for segments in (1, 5):
        peers, missing = hydpy_pair(q, step_s, k_s, x, segments)
        jobs.append(Job(f"Muskingum, {n:,} steps, {segments} segment{'s' * (segments > 1)}",
                        [basinkit_muskingum(q, step_s, k_s, x, segments), *peers], close, missing))
    return jobs


# SWMM steps its storage units far more slowly (about 1 s per 10^4 hourly
# steps here), so it runs the cascade at this length at most.
SWMM_CASCADE_STEPS = 100_000


def cascade_job(n, step_s=3600, k_each_s=4 * 3600.0):
    """Three linear reservoirs in a row: basinkit's Muskingum with x = 0 (a
    linear reservoir per segment, as its Clark transform uses it)."""
    q = w.hydrograph(n)
    peers, missing = hydpy_pair(q, step_s, 3 * k_each_s, 0.0, 3)
    if not installed("pyswmm"):
        missing += ("pyswmm",)
    elif n <= SWMM_CASCADE_STEPS:
        peers.append(swmm_cascade(q, step_s, k_each_s))
    loose = peaks_within(0.03, "SWMM integrates dS/dt = I - S/K with its own solver at its "
                               "1 h routing step, basinkit with the trapezoidal rule")

    def check(a, b, what):
        return (loose if "pyswmm" in what else close)(a, b, what)

    return Job(f"cascade of 3 linear reservoirs, {n:,} steps",
               [basinkit_muskingum(q, step_s, 3 * k_each_s, 0.0, 3), *peers], check, missing)


def reservoir_job():
    c = w.level_pool_case(24 * 30)
    ru = basinkit.reservoir.reservoir_utils
    e = c.es_elevation

    def prepare():
        curve = ru.ElevationStorage(e, c.es_storage)
        outlets = {"spillway": ru.UnControlledDischargeInfo(ru.ElevationDischarge(e, c.spill_q))}
        return CTS(c.inflow, timedelta(seconds=c.dt), "discharge"), curve, outlets

    ours = Peer(
        "basinkit",
        prepare=prepare,
        run=lambda p: basinkit.reservoir.run_level_pool_routing(p[0], c.initial_elevation, p[1], p[2]),
        finish=lambda r: np.asarray(r.reservoir_total_outflow),
    )
    loose = peaks_within(0.03, "basinkit steps explicitly in 1 s with the release at the "
                               "step's start; SWMM solves storage continuity iteratively at a "
                               "10 s step and reports the flow at each hour")

    def check(ours_q, theirs_q, what):
        # basinkit records from the first hour on; SWMM's report starts at 0.
        return loose(ours_q, np.asarray(theirs_q)[1:], what)

    if not installed("pyswmm"):
        return Job("reservoir, 30 days hourly, spillway", [ours], check, ("pyswmm",))
    return Job("reservoir, 30 days hourly, spillway", [ours, swmm_reservoir(c)], check)


def kge_jobs(n):
    sim, obs = w.kge_case(n)
    libs = {
        "hydrotools.metrics": lambda s, o: __import__(
            "hydrotools.metrics.metrics", fromlist=["x"]).kling_gupta_efficiency(o, s),
        "spotpy": lambda s, o: __import__("spotpy.objectivefunctions", fromlist=["x"]).kge(o, s),
    }
    libs.update(kge.peers())
    missing = tuple(p for p in ("hydrotools.metrics", "spotpy", "hydroeval", "HydroErr")
                    if not installed(p))
    jobs = []
    for label, a, b in (("arrays", sim, obs), ("lists", sim.tolist(), obs.tolist())):
        def side(name, fn, a=a, b=b, lists=label == "lists"):
            # Array libraries get np.asarray of lists first (timed).
            if lists and name != "basinkit":
                return Peer(name, lambda: None, lambda _: fn(np.asarray(a), np.asarray(b)), float)
            return Peer(name, lambda: None, lambda _: fn(a, b), float)

        sides = [side("basinkit", basinkit.metrics.calculate_kge)]
        sides += [side(name, fn) for name, fn in libs.items() if installed(name)]
        jobs.append(Job(f"KGE, {n:,} pairs from {label}", sides, w.kge_close, missing))
    return jobs


def run(s: h.Session) -> None:
    found = [p for p in MODULES if installed(p)]
    print("  peers installed: " + ", ".join(
        f"{p} {getattr(__import__(MODULES[p], fromlist=['x']), '__version__', '?')}"
        for p in found), flush=True)
    big = s.size(1_000_000, 10_000)
    jobs = muskingum_jobs(10_000) + ([] if big == 10_000 else muskingum_jobs(big))
    jobs += [cascade_job(big)] + ([] if big == 10_000 else [cascade_job(SWMM_CASCADE_STEPS)])
    jobs += [reservoir_job()] + kge_jobs(big)
    for peer in sorted({m for j in jobs for m in j.missing}):
        s.missing(peer)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for job in jobs:
            agreed = s.compare(f"{job.name}, with set-up", {p.name: p.whole for p in job.sides},
                               job.check)
            if not agreed or s.checking or not s.selected(f"{job.name}, alone"):
                continue
            prepared = [p.prepare() for p in job.sides]
            try:
                s.compare(f"{job.name}, alone",
                          {p.name: h.Side(lambda p=p, r=r: p.run(r), p.finish)
                           for p, r in zip(job.sides, prepared)}, job.check)
            finally:
                for p, r in zip(job.sides, prepared):
                    p.cleanup(r)
