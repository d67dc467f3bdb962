"""One storm event, end to end, with data this script carries itself.

A 24-hour design storm falls on a 10 square-mile basin. The storm is split into
loss and excess, the excess becomes direct runoff (Clark unit hydrograph), the
loss feeds two groundwater layers (linear reservoirs), the hydrographs are added
and routed through a channel reach (Muskingum) and then through a reservoir with
a spillway, a gated outlet and a constant release (level pool routing). The
reservoir outflow is scored against a bundled observed series (KGE).

    python examples/storm_event.py
    python examples/storm_event.py --storm-depth 7 --tc-hours 5 --plot event.png
"""

from __future__ import annotations

import argparse
import csv
import sys
from datetime import timedelta
from pathlib import Path

from basinkit import baseflow, metrics, rainfall_loss, rainfall_transform, reach, reservoir, utils

HERE = Path(__file__).resolve().parent
OBSERVED_CSV = HERE / "data" / "observed_outflow.csv"

STEP = timedelta(hours=1)
STEP_S = 3600.0
BASIN_AREA_AC = 6400.0  # 10 square miles
EVENT_HOURS = 96  # 24 h of storm, then 72 h of recession

# Hourly fractions of the 24-hour storm depth: a centred, peaky design storm.
STORM_PATTERN = [
    0.010, 0.010, 0.012, 0.012, 0.015, 0.015, 0.018, 0.020, 0.025, 0.030, 0.045, 0.110,
    0.270, 0.080, 0.050, 0.040, 0.030, 0.025, 0.020, 0.018, 0.015, 0.015, 0.013, 0.012,
]

ACRE_FT = 43560.0  # cubic feet
# Elevation (ft) and storage (ft^3) of the reservoir.
RESERVOIR_ELEVATION = [100.0 + 1.25 * i for i in range(25)]
RESERVOIR_STORAGE = [ACRE_FT * (12.0 * i + 1.9 * i * i) for i in range(25)]
SPILLWAY_CREST = 124.0


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--storm-depth", type=float, default=6.0, help="24-hour storm depth, inches")
    p.add_argument("--loss-rate", type=float, default=0.12, help="constant loss, inches/hour")
    p.add_argument("--initial-deficit", type=float, default=0.6, help="inches")
    p.add_argument("--max-deficit", type=float, default=1.5, help="inches")
    p.add_argument("--tc-hours", type=float, default=4.0, help="time of concentration, hours")
    p.add_argument("--r-hours", type=float, default=3.0, help="Clark storage coefficient, hours")
    p.add_argument("--muskingum-k-hours", type=float, default=2.0, help="reach K, hours")
    p.add_argument("--muskingum-x", type=float, default=0.2, help="reach weighting factor")
    p.add_argument("--sub-reaches", type=int, default=3)
    p.add_argument("--initial-elevation", type=float, default=106.0, help="reservoir, ft")
    p.add_argument("--plot", metavar="FILE.png", help="draw the event to a PNG file")
    return p.parse_args(argv)


def design_storm(depth_in: float) -> utils.IncrementalTimeSeries:
    total = sum(STORM_PATTERN)
    depths = [depth_in * f / total for f in STORM_PATTERN]
    depths += [0.0] * (EVENT_HOURS - len(depths))
    return utils.IncrementalTimeSeries(depths, STEP, "rainfall")


def read_observed(path: Path = OBSERVED_CSV) -> list[float]:
    with path.open(newline="") as f:
        return [float(row["outflow_cfs"]) for row in csv.DictReader(f)]


def on_event_clock(direct: list[float], base: list[float], base_start: float, length: int) -> list[float]:
    """Adds direct runoff and baseflow at the event's hours 0 .. length - 1.

    Direct runoff value k is at hour k (0.0 at hour 0). Baseflow value k is
    the discharge at the end of rain hour k, that is at hour k + 1; at hour 0
    the layers give their initial discharge.
    """
    base_at = [base_start] + base
    return [direct[k] + base_at[k] for k in range(length)]


def simulate(args: argparse.Namespace) -> dict:
    rain = design_storm(args.storm_depth)

    loss = rainfall_loss.run_deficit_and_constant(
        rain, args.initial_deficit, args.max_deficit, args.loss_rate, timedelta(hours=36)
    )
    direct = rainfall_transform.run_clark_uh(
        loss.excess, BASIN_AREA_AC, timedelta(hours=args.tc_hours), timedelta(hours=args.r_hours)
    )
    layers = {
        "shallow": baseflow.LinearReservoir(timedelta(hours=18), 0.35, 4.0, 2),
        "deep": baseflow.LinearReservoir(timedelta(days=6), 0.25, 8.0),
    }
    base_total, base_layers = baseflow.run_linear_reservoir(BASIN_AREA_AC, loss.loss, layers)

    # Direct runoff outlasts the rain series by its unit-hydrograph tail; the
    # event window is the rain series' length, so the tail beyond it is dropped.
    n = len(rain.data)
    base_start = sum(layer.initial_q for layer in layers.values())
    combined = on_event_clock(direct.data, base_total.data, base_start, n)
    dropped_tail = sum(direct.data[n:]) * STEP_S
    inflow = utils.ContinuousTimeSeries(combined, STEP, "discharge")

    routed = reach.run_muskingum_routing(
        inflow, timedelta(hours=args.muskingum_k_hours), args.muskingum_x, args.sub_reaches,
        combined[0],
    )

    ru = reservoir.reservoir_utils
    curve = ru.ElevationStorage(RESERVOIR_ELEVATION, RESERVOIR_STORAGE)
    spill_e = [SPILLWAY_CREST + 0.5 * i for i in range(15)]
    spillway = ru.UnControlledDischargeInfo(
        ru.ElevationDischarge(spill_e, [3.0 * 150.0 * (e - SPILLWAY_CREST) ** 1.5 for e in spill_e])
    )
    gate_e = RESERVOIR_ELEVATION
    gated = ru.ControlledDischargeInfo(
        ru.ElevationDischarge(gate_e, [90.0 * (e - 100.0) ** 0.5 for e in gate_e]),
        maximum_release=350.0,
    )
    outlets: dict[str, reservoir.Outlet] = {
        "spillway": spillway,
        "gated_outlet": gated,
        "environmental_release": ru.ConstantDischargeInfo(25.0, minimum_elevation=101.0),
    }
    # Level pool results start one step after the inflow's first value (value
    # k at (k + 1) steps). With the first value repeated in front they start at
    # hour 0 and the reservoir takes in the whole event: n values, at hours
    # 0 .. n - 1, on the same clock as the reach outflow.
    from_hour_0 = utils.ContinuousTimeSeries([routed.data[0]] + routed.data, STEP, "discharge")
    pool = reservoir.run_level_pool_routing(from_hour_0, args.initial_elevation, curve, outlets)

    outflow = pool.reservoir_total_outflow.data
    # The observed series holds hours 1, 2, ...: compare at those hours.
    observed = read_observed()
    m = min(len(outflow) - 1, len(observed))
    kge = metrics.calculate_kge(outflow[1 : m + 1], observed[:m])

    return {
        "rain": rain.data,
        "excess": loss.excess.data,
        "loss": loss.loss.data,
        "direct": direct.data[:n],
        "direct_in": sum(direct.data) * (STEP_S / 3600.0) / (BASIN_AREA_AC * 1.00833),
        "baseflow": [base_start] + base_total.data[: n - 1],
        "layers": {k: v.data for k, v in base_layers.items()},
        "inflow": combined,
        "routed": routed.data,
        "outflow": outflow,
        "outlets": {k: v.data for k, v in pool.reservoir_individual_outflows.items()},
        "elevation": pool.reservoir_elevation.data,
        "storage": pool.reservoir_storage.data,
        "observed": observed[:m],
        "observed_hours": list(range(1, m + 1)),
        "gate_cap": 350.0,
        "dropped_tail_ft3": dropped_tail,
        "kge": kge,
    }


def summarize(r: dict) -> str:
    routed, outflow = r["routed"], r["outflow"]
    peak_in = max(routed)
    t_in = routed.index(peak_in)
    peak_out = max(outflow)
    # Reach and reservoir series are all on the event's hours 0 .. n - 1.
    t_out = outflow.index(peak_out)
    step = STEP_S
    # The whole event, hour 0 to hour n - 1, on both sides.
    vol_in = sum(0.5 * (routed[i] + routed[i + 1]) for i in range(len(routed) - 1)) * step
    vol_out = sum(0.5 * (outflow[i] + outflow[i + 1]) for i in range(len(outflow) - 1)) * step
    d_storage = r["storage"][-1] - r["storage"][0]
    balance = vol_in - vol_out - d_storage
    rain_total = sum(r["rain"])
    lines = [
        f"storm depth          {rain_total:10.2f} in   (excess {sum(r['excess']):.2f}, "
        f"loss {sum(r['loss']):.2f})",
        f"direct runoff        {r['direct_in']:10.2f} in",
        f"peak reservoir inflow {peak_in:9.1f} cfs  at hour {t_in}",
        f"peak reservoir outflow {peak_out:8.1f} cfs  at hour {t_out}",
        f"attenuation          {100.0 * (1.0 - peak_out / peak_in):10.1f} %",
        f"max elevation        {max(r['elevation']):10.2f} ft   "
        f"(start {r['elevation'][0]:.2f})",
        f"volume in            {vol_in / ACRE_FT:10.1f} ac-ft",
        f"volume out           {vol_out / ACRE_FT:10.1f} ac-ft",
        f"storage change       {d_storage / ACRE_FT:10.1f} ac-ft",
        f"balance              {balance / ACRE_FT:10.2f} ac-ft "
        f"({100.0 * balance / vol_in:.2f} % of inflow)",
        f"KGE vs observed      {r['kge']:10.3f}",
    ]
    return "\n".join(lines)


def plot(r: dict, path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(
            "plotting needs matplotlib: python -m pip install matplotlib "
            "(or, in the basinkit checkout, python -m pip install '.[plot]')",
            file=sys.stderr,
        )
        raise SystemExit(2)

    n = len(r["rain"])
    hours = list(range(n))  # instants of the discharge, elevation and storage series
    fig, (ax_rain, ax_q, ax_e) = plt.subplots(
        3, 1, figsize=(10, 10), sharex=True, gridspec_kw={"height_ratios": [1, 2.4, 1.2]}
    )
    # Rain value i falls between hour i and hour i + 1: a bar over that interval.
    ax_rain.bar(hours, r["rain"], width=1.0, align="edge", color="#9ecae1", label="gross rain")
    ax_rain.bar(hours, r["excess"], width=1.0, align="edge", color="#08519c", label="excess")
    ax_rain.invert_yaxis()
    ax_rain.set_ylabel("rain (in/h)")
    ax_rain.legend(loc="lower right", fontsize=8)

    ax_q.plot(hours, r["inflow"], label="basin outlet (direct + baseflow)", color="#6baed6")
    ax_q.plot(hours, r["baseflow"], label="baseflow", color="#74c476", ls="--")
    ax_q.plot(hours, r["routed"], label="reservoir inflow (after reach)", color="#2171b5")
    ax_q.plot(hours, r["outflow"], label="reservoir outflow, total", color="#cb181d", lw=2)
    styles = {"spillway": "#fd8d3c", "gated_outlet": "#e7298a", "environmental_release": "#737373"}
    for name in sorted(r["outlets"]):
        ax_q.plot(hours, r["outlets"][name], label=f"  {name.replace('_', ' ')}",
                  color=styles.get(name), lw=1, ls="-.")
    ax_q.axhline(r["gate_cap"], color="#e7298a", ls=":", lw=1,
                 label=f"gate cap ({r['gate_cap']:.0f} cfs)")
    ax_q.plot(r["observed_hours"], r["observed"], "k.", ms=3, label="observed outflow")
    t_peak = r["outflow"].index(max(r["outflow"]))
    ax_q.set_ylabel("discharge (cfs)")
    ax_q.legend(loc="upper right", fontsize=8)

    ax_e.plot(hours, r["elevation"], color="#54278f", label="pool elevation")
    ax_e.axhline(SPILLWAY_CREST, color="grey", ls=":", label=f"spillway crest ({SPILLWAY_CREST:.0f} ft)")
    ax_e.set_ylabel("elevation (ft)")
    ax_e.set_xlabel("hours from start of storm")
    ax_e.legend(loc="lower right", fontsize=8)
    for ax in (ax_rain, ax_q, ax_e):
        ax.grid(True, alpha=0.4)
        # Peak outflow and highest pool share their instant.
        ax.axvline(t_peak, color="#cb181d", lw=0.6, alpha=0.5)
    ax_e.set_xlim(0, n)
    fig.suptitle(
        f"Storm event: KGE {r['kge']:.3f} of simulated against observed reservoir outflow "
        f"(hours {r['observed_hours'][0]}-{r['observed_hours'][-1]})"
    )
    fig.tight_layout()
    fig.savefig(path, dpi=150)
    print(f"plot written to {path}")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    result = simulate(args)
    print(summarize(result))
    if args.plot:
        plot(result, args.plot)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
