"""Writes tests/data/reference_outputs.json: fixed inputs for every model and
the exact outputs the current build gives for them, as IEEE bit patterns.

    python -m reference.make_outputs [--check]

tests/test_reference_outputs.py replays every case and compares bit for bit,
so a change of any core that alters a result, even in the last bit, fails
there. Regenerate only for a deliberate change of results. --check compares
instead of writing.

Inputs are made here from plain arithmetic (no random generator) and stored
in the file, so the test never depends on how they were made.
"""

import argparse
import json
import math
import sys
from datetime import timedelta
from pathlib import Path

from .outputs import FORMAT, Call, encode_input, first_difference, run_case

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "data" / "reference_outputs.json"

# ------------------------------------------------------------------ inputs


def wave(n, base, amp, period, phase=0.0):
    return [base + amp * math.sin(2.0 * math.pi * i / period + phase) for i in range(n)]


def hydrograph(n, base=120.0, peak=2400.0, at=0.3, width=0.08):
    out = []
    for i in range(n):
        x = (i / n - at) / width
        out.append(base + peak * math.exp(-0.5 * x * x) + 7.0 * math.sin(i * 0.37))
    return out


def rainfall(n, dry_every=3, scale=0.08):
    # Deterministic showers: a fraction of steps exactly dry, the rest varied.
    out = []
    for i in range(n):
        if i % dry_every == 0:
            out.append(0.0)
        else:
            out.append(scale * (1.0 + math.sin(i * 0.7)) * (1.0 + 0.5 * math.cos(i * 0.13)))
    return out


HOUR = timedelta(hours=1)
QUARTER = timedelta(minutes=15)


def its(data, step=HOUR, kind="rainfall"):
    return Call("utils.IncrementalTimeSeries", data, step, kind)


def cts(data, step=HOUR, kind="discharge"):
    return Call("utils.ContinuousTimeSeries", data, step, kind)


def cases():
    c = []

    def add(name, function, *args):
        c.append({"name": name, "function": function, "args": [encode_input(a) for a in args]})

    # Deficit and constant loss.
    rain = rainfall(200, 4, 0.15)
    for i, (step, initial, dmax, rate, dry) in enumerate([
        (HOUR, 0.5, 1.0, 0.1, timedelta(hours=10)),
        (QUARTER, 0.0, 2.5, 0.35, timedelta(days=2, microseconds=250)),
        (timedelta(minutes=5), 3.0, 1.2, 0.0, timedelta(0)),
        (timedelta(hours=2), 0.1, 0.1, 1.5, timedelta(minutes=90)),
    ]):
        add(f"loss_{i}", "rainfall_loss.run_deficit_and_constant",
            its(rain, step), initial, dmax, rate, dry)

    # Clark unit hydrograph.
    rain = rainfall(300, 3, 0.05)
    for i, (step, area, tc, r) in enumerate([
        (HOUR, 640.0, 2 * HOUR, HOUR),
        (QUARTER, 6400.0, 50 * QUARTER, 30 * QUARTER),
        (QUARTER, 1500.0, timedelta(minutes=37, microseconds=500_000), timedelta(minutes=52, seconds=3)),
        (HOUR, 320.0, 7 * HOUR, timedelta(0)),
        (HOUR, 5000.0, timedelta(minutes=30), HOUR),
    ]):
        add(f"clark_{i}", "rainfall_transform.run_clark_uh", its(rain, step), area, tc, r)
    add("clark_nan", "rainfall_transform.run_clark_uh",
        its([0.0, 0.3, math.nan, 0.2] + [0.0] * 10, HOUR), 640.0, 3 * HOUR, 2 * HOUR)
    add("clark_inf", "rainfall_transform.run_clark_uh",
        its([0.1, 0.0, math.inf, 0.0, -0.2, 0.3] + [0.0] * 40, HOUR), 640.0, 3 * HOUR, 2 * HOUR)
    add("clark_infinite_ordinates", "rainfall_transform.run_clark_uh",
        its([0.2, 0.0, -0.0, 0.4, 0.0, 0.1], HOUR), 1e308, 4 * HOUR, 2 * HOUR)
    add("clark_negative_zero_rain", "rainfall_transform.run_clark_uh",
        its([-0.0, -0.1, 0.0, 0.25, -0.0], HOUR), 900.0, 3 * HOUR, HOUR)
    add("clark_empty", "rainfall_transform.run_clark_uh", its([], HOUR), 640.0, 3 * HOUR, HOUR)
    # A zero tc (its limit, one translation ordinate) and an R below dt / 2,
    # whose recession alternates in sign.
    add("clark_zero_tc", "rainfall_transform.run_clark_uh",
        its(rainfall(40, 3, 0.1), HOUR), 640.0, timedelta(0), timedelta(minutes=90))
    add("clark_alternating_recession", "rainfall_transform.run_clark_uh",
        its(rainfall(40, 3, 0.1), HOUR), 640.0, 5 * HOUR, timedelta(minutes=6))
    # Lengths around small multiples of a vector block, several recessions.
    for i, (n, tc, r) in enumerate([(1, 5, 2), (7, 3, 1), (15, 16, 4), (16, 17, 0), (17, 40, 9),
                                    (33, 2, 3), (250, 100, 1), (64, 1, 1)]):
        add(f"clark_sizes_{i}", "rainfall_transform.run_clark_uh",
            its(rainfall(n, 4, 0.07), QUARTER), 2000.0 + i, tc * QUARTER, r * QUARTER)
    add("clark_dense_long", "rainfall_transform.run_clark_uh",
        its(rainfall(2000, 1000, 0.02), timedelta(minutes=5)), 12000.0, 90 * timedelta(minutes=5),
        timedelta(hours=5))

    # Linear reservoir baseflow. With two layers the total does not depend on
    # their order; with three it does (summed in processing order).
    rain = rainfall(300, 2, 0.04)
    lr = "baseflow.LinearReservoir"
    layer_sets = {
        "one": {"gw": Call(lr, timedelta(hours=20), 0.4, 3.0, 1)},
        "two": {"fast": Call(lr, timedelta(hours=12), 0.3, 5.0, 2),
                "slow": Call(lr, timedelta(days=10), 0.5, 40.0, 4)},
        "three": {"fast": Call(lr, timedelta(hours=12), 0.25, 5.0, 3),
                  "medium": Call(lr, timedelta(days=4), 0.35, 20.0, 3),
                  "slow": Call(lr, timedelta(days=30), 0.3, 60.0, 3)},
        "unrouted": {"direct": Call(lr, timedelta(hours=2), 0.5, 0.0, 1, set={"num_reservoir": 0})},
        "chains": {f"n{n}": Call(lr, timedelta(hours=3 * n + 1), 0.09, 2.0 + n, n)
                   for n in (2, 5, 6, 7, 8, 9, 11)},
        "nan_rain": {"gw": Call(lr, timedelta(hours=20), 0.4, 3.0, 4)},
        "four_alike": {f"l{i}": Call(lr, timedelta(hours=10 + 7 * i), 0.2, 1.0 + i, 2)
                       for i in range(4)},
        "unrouted_pair": {f"d{i}": Call(lr, timedelta(hours=2), 0.3, 0.0, 1, set={"num_reservoir": 0})
                          for i in range(2)},
        "mixed": {f"m{i}": Call(lr, timedelta(hours=9 + i), 0.15, 2.5, n)
                  for i, n in enumerate((1, 1, 5, 1, 1, 4))},
    }
    for name, layers in layer_sets.items():
        data = rain if name != "nan_rain" else rain[:100] + [math.nan] + rain[101:200]
        add(f"baseflow_{name}", "baseflow.run_linear_reservoir", 2560.0, its(data, HOUR), layers)
    add("baseflow_empty", "baseflow.run_linear_reservoir", 100.0, its([], HOUR),
        {"gw": Call(lr, 6 * HOUR, 0.5, 1.0, 3)})

    # Muskingum routing.
    inflow = hydrograph(300)
    for i, (k, x, n, q0) in enumerate([
        (2 * HOUR, 0.2, 1, 100.0),
        (6 * HOUR, 0.2, 5, 120.0),
        (3 * HOUR, 0.0, 3, 0.0),
        (timedelta(minutes=20), 0.5, 2, 150.0),   # negative coefficient C2
        (timedelta(hours=1, microseconds=1), 0.35, 4, 130.0),
    ]):
        add(f"muskingum_{i}", "reach.run_muskingum_routing", cts(inflow), k, x, n, q0)
    for n in (8, 9, 11, 17):
        add(f"muskingum_passes_{n}", "reach.run_muskingum_routing",
            cts(inflow, QUARTER), 8 * HOUR, 0.15, n, 110.0)
    add("muskingum_two_values", "reach.run_muskingum_routing", cts([10.0, 30.0]), HOUR, 0.1, 7, 5.0)
    add("muskingum_single_value", "reach.run_muskingum_routing", cts([10.0]), HOUR, 0.1, 3, 5.0)

    # Kling-Gupta efficiency.
    obs = hydrograph(500)
    sim = [o * (1.0 + 0.1 * math.sin(i * 0.05)) + 3.0 for i, o in enumerate(obs)]
    add("kge_plain", "metrics.calculate_kge", sim, obs, False)
    add("kge_log", "metrics.calculate_kge", sim, obs, True)
    add("kge_constant_obs", "metrics.calculate_kge", [1.0, 2.0, 3.0], [2.0, 2.0, 2.0], False)
    add("kge_zeros", "metrics.calculate_kge", [0.0] * 5, [0.0] * 5, False)
    add("kge_log_negative", "metrics.calculate_kge", [1.0, -1.0, 2.0], [1.0, 2.0, 3.0], True)
    add("kge_wave", "metrics.calculate_kge", wave(777, 10.0, 3.0, 50.0, 0.4),
        wave(777, 11.0, 2.5, 48.0), False)

    # Level pool routing.
    ru = "reservoir.reservoir_utils."
    elev = [1000.0 + i for i in range(25)]
    curve = Call(ru + "ElevationStorage", elev, [2.0e7 * i + 1.5e6 * i * i for i in range(25)])
    spill = Call(ru + "ElevationDischarge", elev,
                 [180.0 * max(i - 12.0, 0.0) ** 1.5 for i in range(25)])
    gate = Call(ru + "ElevationDischarge", elev, [400.0 * math.sqrt(i) for i in range(25)])
    flood = [200.0 + 6000.0 * (h / 24.0) ** 2 * math.exp(2.0 - 2.0 * h / 24.0) for h in range(49)]
    three = {
        "spillway": Call(ru + "UnControlledDischargeInfo", spill),
        "gate": Call(ru + "ControlledDischargeInfo", gate, 1002.0, None, 1500.0),
        "minimum_flow": Call(ru + "ConstantDischargeInfo", 100.0, 1001.0),
    }
    add("level_pool_three_outlets", "reservoir.run_level_pool_routing",
        cts(flood, HOUR), 1005.0, curve, three)
    two = {
        "weir": Call(ru + "UnControlledDischargeInfo", spill, -1.5),
        "valve": Call(ru + "ControlledDischargeInfo", gate, 990.0, 1015.0, 900.0),
    }
    add("level_pool_two_outlets", "reservoir.run_level_pool_routing",
        cts(flood[:30], timedelta(minutes=10)), 1003.25, curve, two)
    release = cts(wave(40, 300.0, 150.0, 13.0), timedelta(minutes=7), "discharge")
    specified = {
        "release": Call(ru + "SpecifiedDischargeInfo", release, 1000.5, None, None),
        "floor": Call(ru + "ConstantDischargeInfo", 25.0, None, 1010.0),
    }
    add("level_pool_specified", "reservoir.run_level_pool_routing",
        cts(flood[:20], timedelta(minutes=13)), 1002.0, curve, specified)
    add("level_pool_worked_example", "reservoir.run_level_pool_routing",
        cts([0.0, 10.0, 10.0], timedelta(seconds=2)), 100.0,
        Call(ru + "ElevationStorage", [100.0, 110.0], [0.0, 100.0]),
        {"spill": Call(ru + "ConstantDischargeInfo", 1.0)})
    add("level_pool_draining", "reservoir.run_level_pool_routing",
        cts([5.0, 0.0, 0.0, 0.0, 0.0], timedelta(seconds=60)), 100.5,
        Call(ru + "ElevationStorage", [100.0, 102.0, 110.0], [0.0, 500.0, 9000.0]),
        {"drain": Call(ru + "ConstantDischargeInfo", 3.0)})
    add("level_pool_single_value", "reservoir.run_level_pool_routing",
        cts([50.0], HOUR), 1004.0, curve, three)
    return c


def build():
    out = []
    for case in cases():
        out.append({**case, "expected": run_case(case)})
    return {"format": FORMAT, "cases": out}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--check", action="store_true", help="compare with the stored file")
    args = p.parse_args(argv)
    data = build()
    if args.check:
        stored = json.loads(OUT.read_text())
        bad = 0
        for old, new in zip(stored["cases"], data["cases"]):
            d = first_difference(old["expected"], new["expected"])
            if d:
                bad += 1
                print(f"{old['name']}: {d}")
        print(f"{len(data['cases']) - bad} of {len(data['cases'])} cases identical")
        return 1 if bad else 0
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(json.dumps(data, separators=(",", ":")) + "\n")
    values = sum(json.dumps(c["expected"]).count('"') // 2 for c in data["cases"])
    print(f"wrote {len(data['cases'])} cases (~{values} strings) to {OUT.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
