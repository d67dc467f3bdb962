"""One storm event, end to end, on the basin of data/storm.toml.

A 24-hour design storm falls on a 10 square-mile basin. The storm is split into
loss and excess, the excess becomes direct runoff (Clark unit hydrograph), the
loss feeds two groundwater layers (linear reservoirs), the hydrographs are added
and routed through a channel reach (Muskingum) and then through a reservoir with
a spillway, a gated outlet and a constant release (level pool routing). The
reservoir outflow is scored against a bundled observed series (KGE). The basin
is read from data/storm.toml and run with basinkit_model; the options below
change its parameters.

    python examples/storm_event.py
    python examples/storm_event.py --storm-depth 7 --tc-hours 5 --plot event.png
"""

from __future__ import annotations

import argparse
import sys
from datetime import timedelta
from pathlib import Path

try:
    import pandas as pd

    import basinkit_model as bm
except ImportError as exc:  # basinkit_model needs pandas, SciPy and tomli-w
    sys.exit(
        f"storm_event.py runs its basin with basinkit_model ({exc}): from the root of the basinkit "
        "checkout, python -m pip install '.[model]'"
    )

HERE = Path(__file__).resolve().parent
BASIN_TOML = HERE / "data" / "storm.toml"
OBSERVED_CSV = HERE / "data" / "observed_outflow.csv"

START = pd.Timestamp("2024-06-01")  # hour 0 of the event; the bundled CSV files use it too
STEP = timedelta(hours=1)
DRY_HOURS = 72  # after 24 h of storm: the event's intervals are hours 0 .. 95, its instants 0 .. 96
ACRE_FT = 43560.0  # cubic feet

# Hourly fractions of the 24-hour storm depth: a centred, peaky design storm.
STORM_PATTERN = [
    0.010, 0.010, 0.012, 0.012, 0.015, 0.015, 0.018, 0.020, 0.025, 0.030, 0.045, 0.110,
    0.270, 0.080, 0.050, 0.040, 0.030, 0.025, 0.020, 0.018, 0.015, 0.015, 0.013, 0.012,
]


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


def design_storm(depth_in: float) -> pd.Series:
    """Inches per hour for the 24 storm hours, labelled by the hour each starts."""
    total = sum(STORM_PATTERN)
    depths = [depth_in * f / total for f in STORM_PATTERN]
    return pd.Series(depths, index=pd.date_range(START, periods=len(depths), freq="h"), name="rain_in")


def read_observed(path: Path = OBSERVED_CSV) -> pd.Series:
    """The observed reservoir outflow (cfs) at the event's hours 1, 2, ..."""
    table = pd.read_csv(path)
    hours = pd.to_timedelta(table["hour"], unit="h")
    return pd.Series(table["outflow_cfs"].to_numpy(dtype=float), index=START + hours, name="outflow_cfs")


# Options of this script and the basin-file parameters they set.
PATHS = {
    "loss_rate": "upper.loss.rate_in_per_hr",
    "initial_deficit": "upper.loss.initial_deficit",
    "max_deficit": "upper.loss.max_deficit",
    "tc_hours": "upper.transform.tc",
    "r_hours": "upper.transform.storage_r",
    "muskingum_k_hours": "channel.routing.k",
    "muskingum_x": "channel.routing.x",
    "sub_reaches": "channel.routing.sub_reaches",
    "initial_elevation": "lake.initial_elevation",
}


def event_basin(args: argparse.Namespace) -> bm.Basin:
    """The bundled basin file with this script's options applied."""
    values = {}
    for option, path in PATHS.items():
        value = getattr(args, option)
        values[path] = timedelta(hours=value) if option.endswith("_hours") else value
    return bm.load(BASIN_TOML).with_values(values)


def simulate(args: argparse.Namespace) -> dict:
    basin = event_basin(args)
    run = basin.run(design_storm(args.storm_depth), extend=timedelta(hours=DRY_HOURS))
    upper, lake = run.element("upper"), run.element("lake")
    balance = run.balance
    observed = read_observed()
    score = run.score(observed, at="lake")
    seen = observed.dropna()
    seen = seen[seen.index.isin(run.index)]
    hour = pd.Timedelta(STEP)
    subbasin, reservoir = basin.element("upper"), basin.element("lake")
    assert isinstance(subbasin, bm.Subbasin) and isinstance(reservoir, bm.Reservoir)
    gate, spillway = reservoir.outlets["gated_outlet"], reservoir.outlets["spillway"]
    assert isinstance(gate, bm.Gate) and isinstance(spillway, bm.Spillway)
    # Direct runoff over the window and what the Clark transform gives after it.
    d = upper["direct_runoff"]
    direct_ft3 = float(d.sum() - 0.5 * (d.iloc[0] + d.iloc[-1])) * hour.total_seconds()
    direct_ft3 += float(balance["beyond_window"]["upper"]) * ACRE_FT
    layers = [c for c in upper.columns if c.startswith("baseflow:")]
    return {
        "rain": upper["rain"].iloc[:-1].tolist(),  # intervals: one fewer than the instants
        "excess": upper["excess"].iloc[:-1].tolist(),
        "loss": upper["loss"].iloc[:-1].tolist(),
        "direct": upper["direct_runoff"].tolist(),
        # One inch on one acre in one hour is 1.00833 cfs, as the models take it.
        "direct_in": direct_ft3 / (subbasin.area_acres * 1.00833 * 3600.0),
        "baseflow": upper[layers].sum(axis=1).tolist(),
        "layers": {c.split(":", 1)[1]: upper[c].tolist() for c in layers},
        "inflow": run.flows["upper"].tolist(),
        "routed": run.flows["channel"].tolist(),
        "outflow": run.flows["lake"].tolist(),
        "outlets": {c.split(":", 1)[1]: lake[c].tolist() for c in lake.columns if c.startswith("outlet:")},
        "elevation": lake["elevation"].tolist(),
        "storage": lake["storage"].tolist(),
        "observed": seen.tolist(),
        "observed_hours": [int((t - START) / hour) for t in seen.index],
        "gate_cap": gate.maximum_release,
        "spillway_crest": spillway.elevations[0],
        "balance": balance.loc["lake"].to_dict(),
        "kge": score.kge,
    }


def summarize(r: dict) -> str:
    routed, outflow = r["routed"], r["outflow"]
    peak_in = max(routed)
    t_in = routed.index(peak_in)
    peak_out = max(outflow)
    # Every flow, the pool and its outlets lie on the event's hours 0, 1, ...
    t_out = outflow.index(peak_out)
    # The reservoir's account over the whole event (acre-feet): the volume its
    # outlets released in the routing's own one-second steps.
    account = r["balance"]
    vol_in, vol_out = account["inflow"] * ACRE_FT, account["outflow"] * ACRE_FT
    d_storage = account["storage_change"] * ACRE_FT
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


def pyplot():
    """matplotlib's pyplot on a file backend, or exit 2 saying how to install it."""
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
    return plt


def plot(r: dict, path: str) -> None:
    plt = pyplot()

    n = len(r["rain"])
    hours = list(range(n + 1))  # instants of the discharge, elevation and storage series
    fig, (ax_rain, ax_q, ax_e) = plt.subplots(
        3, 1, figsize=(10, 10), sharex=True, gridspec_kw={"height_ratios": [1, 2.4, 1.2]}
    )
    # Rain value i falls between hour i and hour i + 1: a bar over that interval.
    ax_rain.bar(hours[:n], r["rain"], width=1.0, align="edge", color="#9ecae1", label="gross rain")
    ax_rain.bar(hours[:n], r["excess"], width=1.0, align="edge", color="#08519c", label="excess")
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
    crest = r["spillway_crest"]
    ax_e.axhline(crest, color="grey", ls=":", label=f"spillway crest ({crest:.0f} ft)")
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
    if args.plot:
        pyplot()  # before any work: a missing matplotlib should not cost a run
    result = simulate(args)
    print(summarize(result))
    if args.plot:
        plot(result, args.plot)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
