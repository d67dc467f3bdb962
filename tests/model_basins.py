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
