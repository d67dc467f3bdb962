"""basinkit against the packages a hydrologist would use instead.

    python benchmarks/peers.py [--quick] [--rounds N] [--json FILE] [--require NAMES]

Jobs: Muskingum routing (10^4 and 10^6 steps, 1 and 5 segments), a cascade
of three linear reservoirs (10^6 steps), a 30-day hourly reservoir event with
a spillway, and the Kling-Gupta efficiency of 10^6 pairs from arrays and from
lists. Peers: HydPy (musk_classic, compiled and in its Python loop), pyswmm
(SWMM storage units and outlets), spotpy, hydrotools.metrics, hydroeval and
HydroErr. Every peer that is installed is set up as its documentation shows,
its result is checked against basinkit's first (a disagreeing peer is not
timed and the run fails), then each side is timed alone (the model on
prepared input) and with set-up (from NumPy input to NumPy output): best and
median of N rounds (default 5), wall clock. Missing peers are named.
--quick runs small inputs and one round: the agreement checks are the point.
--require fails the run when one of the named peers is missing.
"""

import argparse
import importlib.util
import itertools
import json
import math
import os
import statistics
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field
from datetime import timedelta
from pathlib import Path
from typing import Callable

import numpy as np

import basinkit

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import workloads as w  # noqa: E402

CTS = basinkit.utils.ContinuousTimeSeries
PEERS = {
    "HydPy": "hydpy",
    "pyswmm": "pyswmm",
    "spotpy": "spotpy",
    "hydrotools.metrics": "hydrotools.metrics",
    "hydroeval": "hydroeval",
    "HydroErr": "HydroErr",
}


def installed(peer):
    try:
        return importlib.util.find_spec(PEERS[peer]) is not None
    except ModuleNotFoundError:
        return False


# ------------------------------------------------------------------ framework


@dataclass
class Side:
    """One way of doing a job. `prepare()` builds what the call needs from
    NumPy input; `run(prepared)` is the model alone and returns what is
    compared; `finish(raw)` turns that into NumPy output (or a float)."""

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
    basinkit: Side
    peers: list
    # check(ours, theirs, peer name) -> agreement text; raises AssertionError.
    check: Callable
    missing: list = field(default_factory=list)


def best_and_median(fn, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


# A side slower than this per call is timed in fewer rounds (at least 2).
SLOW_CALL_S = 5.0


def time_side(side, rounds):
    prepared = side.prepare()
    try:
        t0 = time.perf_counter()
        side.run(prepared)  # warm-up
        if time.perf_counter() - t0 > SLOW_CALL_S:
            rounds = min(rounds, 2)
        alone = best_and_median(lambda: side.run(prepared), rounds)
    finally:
        side.cleanup(prepared)
    with_setup = best_and_median(side.whole, rounds)
    return {"alone": alone, "with_setup": with_setup, "rounds": rounds}


# ------------------------------------------------------------------ checks


def same_bits_or_close(rtol):
    def check(ours, theirs, peer):
        ours, theirs = np.asarray(ours, dtype=np.float64), np.asarray(theirs, dtype=np.float64)
        assert ours.shape == theirs.shape, f"{peer}: {theirs.size} values against {ours.size}"
        if np.array_equal(ours.view(np.uint64), theirs.view(np.uint64)):
            return "bit-identical"
        scale = float(np.max(np.abs(ours)))
        worst = float(np.max(np.abs(ours - theirs)))
        assert worst <= rtol * scale, f"{peer}: largest difference {worst:.3g} of {scale:.3g}"
        return f"max |diff| {worst / scale:.2g} × peak"

    return check


def peaks_within(rel, reason):
    """Loose check for peers whose schemes differ: peak and time of peak."""

    def check(ours, theirs, peer):
        ours, theirs = np.asarray(ours, dtype=np.float64), np.asarray(theirs, dtype=np.float64)
        n = min(ours.size, theirs.size)
        assert n > 0 and abs(ours.size - theirs.size) <= 2, (
            f"{peer}: {theirs.size} values against {ours.size}")
        a, b = float(np.max(ours[:n])), float(np.max(theirs[:n]))
        ta, tb = int(np.argmax(ours[:n])), int(np.argmax(theirs[:n]))
        diff = abs(b - a) / abs(a)
        assert diff <= rel, f"{peer}: peak {b:.6g} against {a:.6g} ({diff:.2%}; allowed {rel:.0%})"
        assert abs(ta - tb) <= max(2, n // 100), f"{peer}: peak at step {tb} against {ta}"
        return f"peak {diff:.2%} apart (≤ {rel:.0%}), same time ±{abs(ta - tb)} steps; {reason}"

    return check


def kge_close(ours, theirs, peer):
    diff = abs(float(theirs) - float(ours))
    assert diff <= 1e-12 * max(1.0, abs(float(ours))), f"{peer}: KGE {theirs!r} against {ours!r}"
    return f"|diff| {diff:.2g}"


# ------------------------------------------------------------------ basinkit sides


def muskingum_coefficients(dt, k, x):
    """basinkit's weights per segment, in its operation order."""
    two_k = k + k
    two_kx, two_k1mx = two_k * x, two_k * (1.0 - x)
    den = dt + two_k1mx
    return (dt - two_kx) / den, (dt + two_kx) / den, (two_k1mx - dt) / den


def basinkit_muskingum(q, step_s, k_s, x, segments):
    step, k = timedelta(seconds=step_s), timedelta(seconds=k_s)
    route = basinkit.reach.run_muskingum_routing
    return Side(
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

    return Side(
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
    return Side(name, prepare=prepare, run=run, finish=finish, cleanup=cleanup)


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


def muskingum_jobs(n, segments_list, step_s=3600, k_s=6 * 3600.0, x=0.2):
    q = w.hydrograph(n)
    jobs = []
    for segments in segments_list:
        peers, missing = [], []
        if installed("HydPy"):
            peers += [hydpy_muskingum(q, step_s, k_s, x, segments, True),
                      hydpy_muskingum(q, step_s, k_s, x, segments, False)]
        else:
            missing.append("HydPy")
        jobs.append(Job(f"Muskingum, {n:,} steps, {segments} segment{'s' * (segments > 1)}",
                        basinkit_muskingum(q, step_s, k_s, 0.2, segments), peers,
                        same_bits_or_close(1e-12), missing))
    return jobs


# SWMM steps its storage units far more slowly (about 1.4 s per 10^4 hourly
# steps here), so it runs the cascade at this length at most.
SWMM_CASCADE_STEPS = 100_000


def cascade_job(n, step_s=3600, k_each_s=4 * 3600.0):
    """Three linear reservoirs in a row: basinkit's Muskingum with x = 0 (a
    linear reservoir per segment, as its Clark transform uses it)."""
    q = w.hydrograph(n)
    ours = basinkit_muskingum(q, step_s, 3 * k_each_s, 0.0, 3)
    peers, missing = [], []
    if installed("HydPy"):
        peers += [hydpy_muskingum(q, step_s, 3 * k_each_s, 0.0, 3, True),
                  hydpy_muskingum(q, step_s, 3 * k_each_s, 0.0, 3, False)]
    else:
        missing.append("HydPy")
    if not installed("pyswmm"):
        missing.append("pyswmm")
    elif n <= SWMM_CASCADE_STEPS:
        peers.append(swmm_cascade(q, step_s, k_each_s))
    close = same_bits_or_close(1e-12)
    loose = peaks_within(0.03, "SWMM integrates dS/dt = I - S/K with its own solver at its "
                               "1 h routing step, basinkit with the trapezoidal rule")

    def check(a, b, peer):
        return (loose if peer.startswith("pyswmm") else close)(a, b, peer)

    return Job(f"cascade of 3 linear reservoirs, {n:,} steps", ours, peers, check, missing)


def reservoir_job():
    c = w.level_pool_case(24 * 30)
    ru = basinkit.reservoir.reservoir_utils
    e = c.es_elevation

    def prepare():
        curve = ru.ElevationStorage(e, c.es_storage)
        outlets = {"spillway": ru.UnControlledDischargeInfo(ru.ElevationDischarge(e, c.spill_q))}
        return CTS(c.inflow, timedelta(seconds=c.dt), "discharge"), curve, outlets

    ours = Side(
        "basinkit",
        prepare=prepare,
        run=lambda p: basinkit.reservoir.run_level_pool_routing(p[0], c.initial_elevation, p[1], p[2]),
        finish=lambda r: np.asarray(r.reservoir_total_outflow),
    )
    peers, missing = [], []
    if installed("pyswmm"):
        peers.append(swmm_reservoir(c))
    else:
        missing.append("pyswmm")
    missing.append("HydPy")  # its dam models are not set up here
    reason = ("basinkit steps explicitly in 1 s with the release at the step's start; SWMM "
              "solves storage continuity iteratively at a 10 s step and reports the "
              "flow at each hour")

    def check(ours_q, theirs_q, peer):
        # basinkit records from the first hour on; SWMM's report starts at 0.
        return peaks_within(0.03, reason)(ours_q, np.asarray(theirs_q)[1:], peer)

    return Job("reservoir, 30 days hourly, spillway", ours, peers, check, missing)


def kge_jobs(n):
    c = w.kge_case(n)
    jobs = []
    for label, sim, obs in (("arrays", c.sim, c.obs), ("lists", c.sim_list, c.obs_list)):
        from_lists = label == "lists"

        def side(name, fn, sim=sim, obs=obs, from_lists=from_lists):
            # Array-based libraries get np.asarray first from lists (timed).
            if from_lists and name != "basinkit":
                call = lambda _: fn(np.asarray(sim), np.asarray(obs))  # noqa: E731
            else:
                call = lambda _: fn(sim, obs)  # noqa: E731
            return Side(name, prepare=lambda: None, run=call, finish=float)

        peers, missing = [], []
        libs = {
            "hydrotools.metrics": lambda s, o: __import__(
                "hydrotools.metrics.metrics", fromlist=["x"]).kling_gupta_efficiency(o, s),
            "spotpy": lambda s, o: __import__(
                "spotpy.objectivefunctions", fromlist=["x"]).kge(o, s),
            "HydroErr": w.kge_hydroerr,
            "hydroeval": w.kge_hydroeval,
        }
        for name, fn in libs.items():
            (peers.append(side(name, fn)) if installed(name) else missing.append(name))
        jobs.append(Job(f"KGE, {n:,} pairs from {label}",
                        side("basinkit", basinkit.metrics.calculate_kge), peers, kge_close,
                        missing))
    return jobs


# ------------------------------------------------------------------ main


def fmt(s):
    if s >= 1.0:
        return f"{s:.2f} s"
    return f"{s * 1e3:.3g} ms"


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small inputs, one round (agreement)")
    p.add_argument("--rounds", type=int, default=5, help="timed rounds per side (default 5)")
    p.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    p.add_argument("--require", default="", metavar="NAMES",
                   help="comma-separated peers that must be installed")
    p.add_argument("-k", metavar="TEXT", help="only jobs whose name contains TEXT")
    args = p.parse_args(argv)
    rounds = 1 if args.quick else args.rounds

    required = [r.strip() for r in args.require.split(",") if r.strip()]
    absent = [r for r in required if r not in PEERS or not installed(r)]
    if absent:
        print(f"required peers missing: {', '.join(absent)}", file=sys.stderr)
        return 2

    big, small = (10_000, 10_000) if args.quick else (1_000_000, 10_000)
    jobs = (muskingum_jobs(small, (1, 5)) + ([] if args.quick else muskingum_jobs(big, (1, 5)))
            + [cascade_job(big)] + ([] if args.quick else [cascade_job(SWMM_CASCADE_STEPS)])
            + [reservoir_job()] + kge_jobs(big))
    if args.k:
        jobs = [j for j in jobs if args.k in j.name]

    load = os.getloadavg()
    print(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at start ({os.cpu_count()} cores)")
    versions = {"basinkit": getattr(basinkit, "__version__", "build")}
    for peer, module in PEERS.items():
        if installed(peer):
            mod = __import__(module, fromlist=["x"])
            versions[peer] = getattr(mod, "__version__", "?")
    print("peers: " + ", ".join(f"{k} {v}" for k, v in versions.items() if k != "basinkit"))
    print("missing peers: " + (", ".join(sorted({m for j in jobs for m in j.missing})) or "none"))

    rows, failures = [], []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for job in jobs:
            ours = job.basinkit.whole()
            timed = [(job.basinkit, "reference")]
            for peer in job.peers:
                try:
                    agreement = job.check(ours, peer.whole(), peer.name)
                except AssertionError as e:
                    failures.append(f"{job.name}: {e}")
                    rows.append({"job": job.name, "side": peer.name, "agreement": f"FAILED: {e}"})
                    continue
                timed.append((peer, agreement))
            base = None
            for side, agreement in timed:
                t = time_side(side, rounds)
                row = {"job": job.name, "side": side.name, "agreement": agreement,
                       "alone_best": t["alone"][0], "alone_median": t["alone"][1],
                       "setup_best": t["with_setup"][0], "setup_median": t["with_setup"][1],
                       "rounds": t["rounds"]}
                if base is None:
                    base = row
                row["ratio_alone"] = row["alone_median"] / base["alone_median"]
                row["ratio_setup"] = row["setup_median"] / base["setup_median"]
                rows.append(row)
                print(f"  {job.name} | {side.name}: alone {fmt(row['alone_median'])}, "
                      f"with set-up {fmt(row['setup_median'])}", flush=True)
            for m in job.missing:
                rows.append({"job": job.name, "side": m, "agreement": "not installed"})
    load_end = os.getloadavg()

    print()
    print(f"best / median of {rounds} (wall clock); ratio = peer's median ÷ basinkit's; "
          f"load {load[0]:.2f} at start, {load_end[0]:.2f} at end")
    print()
    print("| Job | Side | Alone best / median | With set-up best / median | Rounds | Ratio alone "
          "| Ratio with set-up | Agreement |")
    print("|---|---|---:|---:|---:|---:|---:|---|")
    for r in rows:
        if "alone_best" not in r:
            print(f"| {r['job']} | {r['side']} | | | | | | {r['agreement']} |")
            continue
        ratio = (lambda v: "1" if r["agreement"] == "reference" else f"{v:.2f}×")
        print(f"| {r['job']} | {r['side']} | {fmt(r['alone_best'])} / {fmt(r['alone_median'])} | "
              f"{fmt(r['setup_best'])} / {fmt(r['setup_median'])} | {r['rounds']} | "
              f"{ratio(r['ratio_alone'])} | "
              f"{ratio(r['ratio_setup'])} | {r['agreement']} |")
    if args.json:
        Path(args.json).write_text(json.dumps(
            {"load": [load, load_end], "versions": versions, "rows": rows,
             "failures": failures}, indent=2))
    for f in failures:
        print(f"DISAGREEMENT: {f}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
