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


def add_aligned(a: list[float], b: list[float], length: int) -> list[float]:
    """Adds two hydrographs on the same clock, each cut or held at its last value."""

    def at(series: list[float], i: int) -> float:
        if not series:
            return 0.0
        return series[i] if i < len(series) else series[-1]

    return [at(a, i) + at(b, i) for i in range(length)]


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
    combined = add_aligned(direct.data, base_total.data, n)
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
    # The reach outflow is one value longer than the reservoir records: the
    # routing reports n - 1 values, from the first step on.
    pool = reservoir.run_level_pool_routing(routed, args.initial_elevation, curve, outlets)

    outflow = pool.reservoir_total_outflow.data
    observed = read_observed()
    m = min(len(outflow), len(observed))
    kge = metrics.calculate_kge(outflow[:m], observed[:m])

    return {
        "rain": rain.data,
        "excess": loss.excess.data,
        "loss": loss.loss.data,
        "direct": direct.data[:n],
        "baseflow": base_total.data,
        "layers": {k: v.data for k, v in base_layers.items()},
        "inflow": combined,
        "routed": routed.data,
        "outflow": outflow,
        "outlets": {k: v.data for k, v in pool.reservoir_individual_outflows.items()},
        "elevation": pool.reservoir_elevation.data,
        "storage": pool.reservoir_storage.data,
        "observed": observed[:m],
        "dropped_tail_ft3": dropped_tail,
        "kge": kge,
    }


def summarize(r: dict) -> str:
    routed, outflow = r["routed"], r["outflow"]
    peak_in = max(routed)
    t_in = routed.index(peak_in)
    peak_out = max(outflow)
    # Total outflow value j is the release at hour j + 1.
    t_out = outflow.index(peak_out) + 1
    step = STEP_S
    # Level pool integrates from hour 1 to hour n - 1: compare like with like.
    vol_in = sum(0.5 * (routed[i] + routed[i + 1]) for i in range(1, len(routed) - 1)) * step
    vol_out = sum(0.5 * (outflow[i] + outflow[i + 1]) for i in range(len(outflow) - 1)) * step
    d_storage = r["storage"][-1] - r["storage"][0]
    balance = vol_in - vol_out - d_storage
    rain_total = sum(r["rain"])
    lines = [
        f"storm depth          {rain_total:10.2f} in   (excess {sum(r['excess']):.2f}, "
        f"loss {sum(r['loss']):.2f})",
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

    hours = list(range(len(r["rain"])))
    fig, (ax_rain, ax_q, ax_e) = plt.subplots(
        3, 1, figsize=(9, 9), sharex=True, gridspec_kw={"height_ratios": [1, 2.2, 1.2]}
    )
    ax_rain.bar(hours, r["rain"], width=1.0, color="#9ecae1", label="gross rain")
    ax_rain.bar(hours, r["excess"], width=1.0, color="#08519c", label="excess")
    ax_rain.invert_yaxis()
    ax_rain.set_ylabel("rain (in/h)")
    ax_rain.legend(loc="lower right")

    ax_q.plot(hours, r["inflow"], label="basin outlet (direct + baseflow)", color="#6baed6")
    ax_q.plot(hours, r["routed"], label="reservoir inflow (after reach)", color="#2171b5")
    out_hours = hours[1 : len(r["outflow"]) + 1]
    ax_q.plot(out_hours, r["outflow"], label="reservoir outflow", color="#cb181d", lw=2)
    ax_q.plot(out_hours[: len(r["observed"])], r["observed"], "k.", ms=3, label="observed")
    ax_q.plot(hours, r["baseflow"], label="baseflow", color="#74c476", ls="--")
    ax_q.set_ylabel("discharge (cfs)")
    ax_q.legend(loc="upper right", fontsize=8)

    ax_e.plot(hours[: len(r["elevation"])], r["elevation"], color="#54278f")
    ax_e.axhline(SPILLWAY_CREST, color="grey", ls=":", label="spillway crest")
    ax_e.set_ylabel("elevation (ft)")
    ax_e.set_xlabel("hours from start of storm")
    ax_e.legend(loc="upper right", fontsize=8)
    fig.suptitle(f"Storm event: KGE {r['kge']:.3f}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
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
