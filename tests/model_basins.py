"""Small basins shared by the basinkit_model tests (imported after pandas is known to exist)."""

from __future__ import annotations

from datetime import timedelta

import pandas as pd

import basinkit_model as bm

H = timedelta(hours=1)
ACRE_FT = 43560.0
CURVE_E = [100.0 + 1.25 * i for i in range(25)]
CURVE_S = [ACRE_FT * (12.0 * i + 1.9 * i * i) for i in range(25)]
SPILL_E = [124.0 + 0.5 * i for i in range(15)]
SPILL_Q = [450.0 * (e - 124.0) ** 1.5 for e in SPILL_E]
GATE_Q = [90.0 * (e - 100.0) ** 0.5 for e in CURVE_E]


def subbasin(name: str = "upper", downstream: str | None = "channel", **changes: object) -> bm.Subbasin:
    fields: dict[str, object] = dict(
        area_acres=6400.0,
        loss=bm.DeficitConstant(0.6, 1.5, 0.12, timedelta(hours=36)),
        transform=bm.Clark(4 * H, 3 * H),
        baseflow={"shallow": bm.Baseflow(18 * H, 0.35, 4.0, 2), "deep": bm.Baseflow(timedelta(days=6), 0.25, 8.0)},
        downstream=downstream,
    )
    fields.update(changes)
    return bm.Subbasin(name, **fields)  # type: ignore[arg-type]


def outlets() -> dict[str, bm.Outlet]:
    return {
        "spillway": bm.Spillway(SPILL_E, SPILL_Q),
        "gated_outlet": bm.Gate(CURVE_E, GATE_Q, maximum_release=350.0),
        "environmental_release": bm.ConstantRelease(25.0, minimum_elevation=101.0),
    }


def storm_basin() -> bm.Basin:
    """The storm example's chain: subbasin -> reach -> reservoir."""
    return bm.Basin(
        [
            subbasin(),
            bm.Reach("channel", bm.Muskingum(2 * H, 0.2, 3), downstream="lake"),
            bm.Reservoir("lake", CURVE_E, CURVE_S, outlets(), 106.0),
        ]
    )


def storm_rain(start: str = "2024-06-01", freq: str = "h", tz: str | None = None, depth: float = 6.0) -> pd.Series:
    pattern = [
        0.010, 0.010, 0.012, 0.012, 0.015, 0.015, 0.018, 0.020, 0.025, 0.030, 0.045, 0.110,
        0.270, 0.080, 0.050, 0.040, 0.030, 0.025, 0.020, 0.018, 0.015, 0.015, 0.013, 0.012,
    ]
    values = [depth * f / sum(pattern) for f in pattern]
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq=freq, tz=tz))


# ---------------------------------------------------------------- a catalogue of every method

START = pd.Timestamp("2024-06-01")


def _hourly(values: list[float] | float, periods: int = 400) -> pd.Series:
    idx = pd.date_range(START, periods=periods, freq="h")
    return pd.Series(values, index=idx, dtype="float64")


def nrcs_basin() -> bm.Basin:
    """Curve number, NRCS curve, recession; Muskingum-Cunge; a pool by storage indication with a schedule."""
    ops = bm.ReleaseSchedule(_hourly([30.0 + 0.25 * i for i in range(400)]), minimum_elevation=101.0)
    return bm.Basin(
        [
            subbasin(
                loss=bm.CurveNumber(78.0, impervious_pct=12.0),
                transform=bm.NrcsUnitHydrograph(3 * H),
                baseflow={"recession": bm.Recession(10.0, 0.9, ratio_to_peak=0.2)},
            ),
            bm.Reach("channel", bm.MuskingumCunge(20000.0, 0.002, 500.0, 250.0, 60.0, sub_reaches=2), "lake"),
            bm.Reservoir(
                "lake", CURVE_E, CURVE_S, {"spillway": bm.Spillway(SPILL_E, SPILL_Q, offset=0.5), "ops": ops},
                106.0, method="storage_indication",
            ),
        ]
    )


def mixed_basin() -> bm.Basin:
    """Green-Ampt with Snyder, initial-constant with a user curve, a gamma NRCS curve, lag, a source, a junction."""
    # One inch over the east's 1900 acres (6.897e6 ft^3) in hourly ordinates, without normalising.
    user = bm.UserUnitHydrograph((0.0, 310.7, 759.4, 517.8, 241.6, 86.3, 0.0), H)
    return bm.Basin(
        [
            subbasin(
                "west", "lag", loss=bm.GreenAmpt(0.12, 0.43, 4.3, 0.04, impervious_pct=10.0),
                transform=bm.Snyder(5 * H, 0.6),
                baseflow={"recession": bm.Recession(6.0, 0.85, threshold_q=40.0)},
            ),
            bm.Reach("lag", bm.Lag(2 * H), "join"),
            subbasin("east", "join", area_acres=1900.0, loss=bm.InitialConstant(0.4, 0.08, impervious_pct=5.0),
                     transform=user, baseflow=None),
            subbasin("north", "join", area_acres=3000.0, loss=bm.CurveNumber(70.0, 0.05),
                     transform=bm.NrcsUnitHydrograph(2 * H, peak_rate_factor=300.0), baseflow=None),
            bm.Source("spring", _hourly(5.0), "join"),
            bm.Junction("join", "reach"),
            bm.Reach("reach", bm.Muskingum(3 * H, 0.1, 2, initial_outflow=20.0)),
        ]
    )


CATALOGUE = {"storm": storm_basin, "nrcs": nrcs_basin, "mixed": mixed_basin}
"""Small US basins that hold every registered method between them."""
