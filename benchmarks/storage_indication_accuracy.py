"""Storage indication against the one-second level pool, both from time 0.

Three events: the bundled storm basin (its reservoir, through basinkit_model
with either method), 30 days of hourly inflow and a 48-hour event at 15-minute
steps through the three-outlet reservoir of the routing benchmarks; then the
30-day event sampled at several steps. For each: peak outflow and its time,
peak elevation and the volume released (inflow minus storage gained, which
for storage indication is also the trapezoid of its outflow).

    python benchmarks/storage_indication_accuracy.py            # Markdown table
"""

from __future__ import annotations

import dataclasses
import sys
from datetime import timedelta
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import basinkit  # noqa: E402
import basinkit_model  # noqa: E402
from basinkit_model import _native  # noqa: E402
from workloads import LevelPoolCase, flood  # noqa: E402

ROOT = HERE.parent
ACRE_FOOT = 43560.0


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


def native_outlets(c: LevelPoolCase) -> dict:
    e = c.es_elevation.tolist()
    return {
        "spillway": ("spillway", e, c.spill_q.tolist(), None),
        "gate": ("gate", e, c.gate_q.tolist(), c.gate_min, None, c.gate_cap),
        "minimum_flow": ("constant", c.release, c.release_min, None),
    }


def both_methods(c: LevelPoolCase) -> tuple[Routed, Routed]:
    """Level pool from time 0 (first inflow value repeated) and storage indication."""
    curve, outlets = c.basinkit_args()
    padded = np.concatenate((c.inflow[:1], c.inflow))
    series = basinkit.utils.ContinuousTimeSeries(padded, timedelta(seconds=c.dt), "discharge")
    lp = basinkit.reservoir.run_level_pool_routing(series, c.initial_elevation, curve, outlets)
    s, e, q, _ = _native.storage_indication(
        c.inflow, c.dt, c.initial_elevation, c.es_elevation, c.es_storage, native_outlets(c)
    )
    level = Routed(
        c.dt,
        c.inflow,
        np.asarray(lp.reservoir_storage),
        np.asarray(lp.reservoir_elevation),
        np.asarray(lp.reservoir_total_outflow),
    )
    return level, Routed(c.dt, c.inflow, np.frombuffer(s), np.frombuffer(e), np.frombuffer(q))


def storm() -> tuple[Routed, Routed]:
    import pandas as pd

    basin = basinkit_model.load(ROOT / "examples" / "data" / "storm.toml")
    rain = pd.read_csv(ROOT / "examples" / "data" / "storm_rain.csv", index_col=0, parse_dates=True)
    rain = rain.iloc[:, 0]
    runs = []
    for method in ("level_pool", "storage_indication"):
        lake = dataclasses.replace(basin.element("lake"), method=method)
        b = basinkit_model.Basin([lake if n == "lake" else basin.element(n) for n in basin.names])
        details = b.run(rain, extend=timedelta(hours=72)).element("lake")
        dt = (details.index[1] - details.index[0]).total_seconds()
        runs.append(
            Routed(
                dt,
                details["inflow"].to_numpy(),
                details["storage"].to_numpy(),
                details["elevation"].to_numpy(),
                details["outflow"].to_numpy(),
            )
        )
    return runs[0], runs[1]


def row(label: str, lp: Routed, si: Routed) -> str:
    hours = lp.dt / 3600.0
    k_lp, k_si = int(np.argmax(lp.outflow)), int(np.argmax(si.outflow))
    q_lp, q_si = float(lp.outflow[k_lp]), float(si.outflow[k_si])
    e_lp, e_si = float(lp.elevation.max()), float(si.elevation.max())
    v_lp, v_si = lp.released() / ACRE_FOOT, si.released() / ACRE_FOOT
    return (
        f"| {label} | {q_lp:.1f} | {q_si:.1f} | {100 * (q_si / q_lp - 1):+.3f} % "
        f"| {k_lp * hours:g} h | {k_si * hours:g} h "
        f"| {e_lp:.3f} | {e_si:.3f} | {e_si - e_lp:+.4f} ft "
        f"| {v_lp:.1f} | {v_si:.1f} | {100 * (v_si / v_lp - 1):+.4f} % |"
    )


def main() -> None:
    print(
        "| event | peak outflow LP (cfs) | SI | difference | peak time LP | SI "
        "| peak elevation LP (ft) | SI | difference | released LP (ac-ft) | SI | difference |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    print(row("storm basin, hourly, 4 + 3 days", *storm()))
    print(row("30 days, hourly", *both_methods(LevelPoolCase(flood(720), 3600))))
    quarter = flood(48 * 4, time_to_peak=12.0 * 4)  # 48 h of 15-minute values
    print(row("48 hours, 15-minute", *both_methods(LevelPoolCase(quarter, 900))))
    for minutes in (15, 60, 180, 360):
        per_hour = 60 // minutes if minutes < 60 else 1
        every = minutes // 60 if minutes >= 60 else 1
        samples = flood(720 * per_hour, time_to_peak=48.0 * per_hour)[::every]
        case = LevelPoolCase(samples, minutes * 60)
        print(row(f"30 days, {minutes}-minute steps", *both_methods(case)))


if __name__ == "__main__":
    main()
