"""Storage indication against the one-second level pool: accuracy and speed.

Accuracy: the bundled storm basin (through basinkit_model with either method),
30 days of hourly inflow and a 48-hour event at 15-minute steps through the
three-outlet reservoir, then the 30-day event at several steps; peak outflow
and its time, peak elevation and the volume released. Speed: both routings of
the 30-day event from time 0 (their peaks agreeing within 0.1 % first), and
(full runs) a calibration of the storm basin with either method.
"""

import dataclasses
from datetime import timedelta

import numpy as np

from benchmarks import harness as h
from benchmarks import workloads as w

ACRE_FOOT = 43560.0
PEAK_RTOL = 1e-3


@dataclasses.dataclass
class Routed:
    dt: float  # seconds
    inflow: np.ndarray
    storage: np.ndarray
    elevation: np.ndarray
    outflow: np.ndarray

    def released(self) -> float:
        inflow = float(np.sum(self.inflow[1:] + self.inflow[:-1]) * 0.5 * self.dt)
        return inflow - float(self.storage[-1] - self.storage[0])


def calls(c: w.LevelPoolCase):
    """Level pool from time 0 (the first inflow value repeated) and storage
    indication, each a call with its inputs ready."""
    from basinkit_model import _native

    curve, outlets = c.basinkit_args()
    padded = w.CTS(np.concatenate((c.inflow[:1], c.inflow)), timedelta(seconds=c.dt), "discharge")
    native = c.native_outlets()
    return (lambda: c.basinkit(curve, outlets, padded),
            lambda: _native.storage_indication(c.inflow, c.dt, c.initial_elevation,
                                               c.es_elevation, c.es_storage, native))


def both_methods(c: w.LevelPoolCase) -> tuple[Routed, Routed]:
    level_pool, indication = calls(c)
    lp, (s, e, q, _) = level_pool(), indication()
    return (Routed(c.dt, c.inflow, lp[0], lp[1], lp[2]),
            Routed(c.dt, c.inflow, np.frombuffer(s), np.frombuffer(e), np.frombuffer(q)))


def storm_basin(method):
    import basinkit_model

    basin, rain, gauge = w.storm()
    lake = dataclasses.replace(basin.element("lake"), method=method)
    return basinkit_model.Basin([lake if n == "lake" else basin.element(n) for n in basin.names]), \
        rain, gauge


def storm() -> tuple[Routed, Routed]:
    runs = []
    for method in ("level_pool", "storage_indication"):
        basin, rain, _ = storm_basin(method)
        d = basin.run(rain, extend=timedelta(hours=72)).element("lake")
        dt = (d.index[1] - d.index[0]).total_seconds()
        runs.append(Routed(dt, *(d[k].to_numpy() for k in ("inflow", "storage", "elevation",
                                                            "outflow"))))
    return runs[0], runs[1]


def row(label: str, lp: Routed, si: Routed) -> list:
    hours = lp.dt / 3600.0
    k_lp, k_si = int(np.argmax(lp.outflow)), int(np.argmax(si.outflow))
    q_lp, q_si = float(lp.outflow[k_lp]), float(si.outflow[k_si])
    e_lp, e_si = float(lp.elevation.max()), float(si.elevation.max())
    v_lp, v_si = lp.released() / ACRE_FOOT, si.released() / ACRE_FOOT
    return [label, f"{q_lp:.1f}", f"{q_si:.1f}", f"{100 * (q_si / q_lp - 1):+.3f} %",
            f"{k_lp * hours:g} h", f"{k_si * hours:g} h", f"{e_lp:.3f}", f"{e_si:.3f}",
            f"{e_si - e_lp:+.4f} ft", f"{v_lp:.1f}", f"{v_si:.1f}",
            f"{100 * (v_si / v_lp - 1):+.4f} %"]


def accuracy(s: h.Session) -> None:
    rows = [row("storm basin, hourly, 4 + 3 days", *storm()),
            row("30 days, hourly", *both_methods(w.level_pool_case(720)))]
    quarter = w.flood(48 * 4, time_to_peak=12.0 * 4)  # 48 h of 15-minute values
    rows.append(row("48 hours, 15-minute", *both_methods(w.LevelPoolCase(quarter, 900))))
    for minutes in (15, 60, 180, 360):
        per_hour = 60 // minutes if minutes < 60 else 1
        every = minutes // 60 if minutes >= 60 else 1
        samples = w.flood(720 * per_hour, time_to_peak=48.0 * per_hour)[::every]
        rows.append(row(f"30 days, {minutes}-minute steps",
                        *both_methods(w.LevelPoolCase(samples, minutes * 60))))
    s.table("Storage indication (SI) against level pool (LP) from time 0", [
        "event", "peak outflow LP (cfs)", "SI", "difference", "peak time LP", "SI",
        "peak elevation LP (ft)", "SI", "difference", "released LP (ac-ft)", "SI", "difference",
    ], rows)


def peaks_agree(ours, theirs, what):
    a, b = float(np.max(ours)), float(np.max(theirs))
    if not abs(b / a - 1.0) < PEAK_RTOL:
        raise h.Disagreement(f"{what}: peak outflow {b:.6g} against {a:.6g}")
    return f"peak outflow {abs(b / a - 1.0):.2%} apart (tolerance {PEAK_RTOL:.1%})"


def calibration(evaluations: int):
    import basinkit_model

    parameters = {
        "upper.transform.tc": (timedelta(hours=2), timedelta(hours=8)),
        "upper.transform.storage_r": (timedelta(hours=1), timedelta(hours=6)),
        "channel.routing.k": (timedelta(hours=1), timedelta(hours=4)),
    }
    # Differential evolution runs popsize * len(parameters) sets per generation,
    # one generation more than maxiter; tol=0 keeps it from stopping early.
    maxiter = max(1, round(evaluations / (10 * len(parameters))) - 1)

    def side(method):
        basin, rain, gauge = storm_basin(method)
        return lambda: basinkit_model.calibrate(
            basin, rain, gauge, at="lake", parameters=parameters, seed=1, popsize=10, tol=0.0,
            maxiter=maxiter, extend=timedelta(hours=72))

    return {method: h.Side(side(method), lambda r: (r.evaluations, r.score))
            for method in ("level_pool", "storage_indication")}


def same_search(ours, theirs, what):
    """Both calibrations ran as many evaluations and reached KGEs within 0.01."""
    if ours[0] != theirs[0] or not abs(ours[1] - theirs[1]) <= 0.01:
        raise h.Disagreement(f"{what}: {theirs[0]} runs, KGE {theirs[1]:.4f} against "
                             f"{ours[0]} runs, KGE {ours[1]:.4f}")
    return f"{ours[0]} runs each; best KGE {ours[1]:.4f} and {theirs[1]:.4f}"


def run(s: h.Session) -> None:
    if not s.checking:
        accuracy(s)
    level_pool, indication = calls(w.level_pool_case(720))
    s.compare("30 days hourly, three outlets, from time 0", {
        "level pool (one-second steps)": h.Side(level_pool, lambda r: r[2]),
        "storage indication (hourly steps)": h.Side(indication, lambda r: np.frombuffer(r[2])),
    }, peaks_agree)
    if not (s.quick or s.checking):
        s.compare("calibration of the storm basin, about 200 runs", calibration(200),
                  same_search, clock=h.ONCE)
