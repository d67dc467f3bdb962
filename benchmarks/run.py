"""Runs the benchmark suite and prints the table of medians and ratios.

    python benchmarks/run.py [--quick] [--json FILE] [--strict] [-k EXPR]

The timing harness is pytest-benchmark (bench_suite.py); every comparison
asserts agreement of both sides before it is timed. The table gives each
side's median, the median per step (or per value) and the peer's median over
basinkit's in the same group (above 1: basinkit is faster). --json writes the
figures, the agreement and memory results and the target verdicts; --strict
exits non-zero when a target is missed.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def machine():
    model = platform.processor() or "unknown"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    versions = {}
    for name in ("numpy", "numba", "llvmlite", "hydroeval", "HydroErr", "pytest_benchmark"):
        try:
            versions[name] = __import__(name).__version__
        except Exception:  # a missing peer only leaves its version out
            versions[name] = None
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "platform": platform.platform(),
        **versions,
    }


def fmt_time(s):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}" if s / scale < 100 else f"{s / scale:.0f} {unit}"
    return f"{s * 1e9:.0f} ns"


def rows_from(bench_json):
    rows = []
    for b in bench_json["benchmarks"]:
        info = b["extra_info"]
        rows.append(
            {
                "group": b["group"],
                "side": info["side"],
                "baseline": info["baseline"],
                "median_s": b["stats"]["median"],
                "min_s": b["stats"]["min"],
                "rounds": b["stats"]["rounds"],
                "steps": info["steps"],
                "unit": info["unit"],
                "ns_per_step": b["stats"]["median"] / info["steps"] * 1e9 if info["steps"] else None,
            }
        )
    base = {r["group"]: r["median_s"] for r in rows if r["baseline"]}
    for r in rows:
        r["ratio_vs_basinkit"] = r["median_s"] / base[r["group"]] if r["group"] in base else None
    order = {g: i for i, g in enumerate(dict.fromkeys(r["group"] for r in rows))}
    rows.sort(key=lambda r: (order[r["group"]], not r["baseline"], r["median_s"]))
    return rows


def table(rows):
    lines = [
        "| Comparison | Side | Median | Per step | Median ÷ basinkit's |",
        "|---|---|---:|---:|---:|",
    ]
    for r in rows:
        per = f"{r['ns_per_step']:.1f} ns/{r['unit']}" if r["ns_per_step"] is not None else ""
        ratio = "1 (baseline)" if r["baseline"] else f"{r['ratio_vs_basinkit']:.2f}×"
        lines.append(f"| {r['group']} | {r['side']} | {fmt_time(r['median_s'])} | {per} | {ratio} |")
    return "\n".join(lines)


def targets(rows, figures):
    by = {(r["group"], r["side"]): r for r in rows}
    groups = dict.fromkeys(r["group"] for r in rows)
    verdicts = []

    def add(name, ok, detail):
        verdicts.append({"target": name, "met": bool(ok), "detail": detail})

    g = "level pool, 3 outlets"
    if (g, "basinkit") in by:
        b = by[(g, "basinkit")]
        add("level pool < 40 ns per internal step", b["ns_per_step"] < 40.0,
            f"{b['ns_per_step']:.1f} ns/step")
        peers = [r for (gg, s), r in by.items() if gg == g and s.startswith("numba")]
        best = min(peers, key=lambda r: r["median_s"])
        add("level pool <= numba", b["median_s"] <= best["median_s"],
            f"basinkit {fmt_time(b['median_s'])}, best numba ({best['side']}) "
            f"{fmt_time(best['median_s'])}, ratio {best['ratio_vs_basinkit']:.2f}×")
    for g in groups:
        if "NumPy in/out" not in g:
            continue
        for (gg, side), r in by.items():
            if gg == g and not r["baseline"] and "prebuilt" not in side:
                add(f"{g}: basinkit no slower than {side}", r["ratio_vs_basinkit"] >= 1.0,
                    f"ratio {r['ratio_vs_basinkit']:.2f}×")
    for g in ("KGE, NumPy input", "KGE, list input"):
        for peer in ("hydroeval", "HydroErr"):
            if (g, peer) in by:
                r = by[(g, peer)]
                add(f"{g}: >= 2× faster than {peer}", r["ratio_vs_basinkit"] >= 2.0,
                    f"ratio {r['ratio_vs_basinkit']:.2f}×")
    g = "conversion in, 1 series"
    if (g, "basinkit from list") in by:
        r = by[(g, "basinkit from list")]
        add("NumPy input converts >= 10× faster than a list", r["ratio_vs_basinkit"] >= 10.0,
            f"list ÷ NumPy {r['ratio_vs_basinkit']:.1f}×")
    m = figures.get("level_pool_memory")
    if m:
        add("level pool peak memory within records + private copy + slack",
            m["call_peak_bytes"] <= m["bound_bytes"],
            f"peak rise {m['call_peak_bytes'] / 2**20:.1f} MiB, expected "
            f"{m['expected_call_bytes'] / 2**20:.1f} MiB + {m['slack_bytes'] / 2**20:.0f} MiB slack")
    return verdicts


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small inputs and 3 rounds (CI smoke run)")
    p.add_argument("--json", metavar="FILE", help="write figures and verdicts to FILE")
    p.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    p.add_argument("-k", metavar="EXPR", help="pytest -k selection of benchmarks")
    p.add_argument(
        "--timer",
        choices=("cpu", "wall"),
        default="cpu",
        help="cpu: the thread's CPU time (default; other load on the machine does not count);\n"
        "wall: wall-clock time",
    )
    p.add_argument(
        "--malloc",
        choices=("default", "keep"),
        default="default",
        help="default: glibc as configured; keep: freed memory is kept for reuse (mallopt)",
    )
    args = p.parse_args(argv)

    import importlib.util

    missing = [m for m in ("pytest", "pytest_benchmark", "numba") if importlib.util.find_spec(m) is None]
    if missing:
        print(
            f"the benchmark suite needs {', '.join(missing)}: python -m pip install '.[bench]'",
            file=sys.stderr,
        )
        return 2

    import pytest

    with tempfile.TemporaryDirectory() as tmp:
        raw, figs = Path(tmp, "raw.json"), Path(tmp, "figures.json")
        pytest_args = [
            str(HERE / "bench_suite.py"),
            "-p", "no:cacheprovider",
            "-o", "python_files=bench_*.py",
            "--rootdir", str(HERE),
            "-q",
            f"--benchmark-json={raw}",
            "--benchmark-disable-gc",
            "--benchmark-group-by=group",
            "--benchmark-columns=median,min,max,rounds",
            f"--bench-figures={figs}",
            f"--bench-malloc={args.malloc}",
            "--benchmark-timer=" + ("time.thread_time" if args.timer == "cpu" else "time.perf_counter"),
        ]
        if args.quick:
            pytest_args.append("--bench-quick")
        if args.k:
            pytest_args += ["-k", args.k]
        status = pytest.main(pytest_args)
        if status != 0:
            print(f"benchmark suite failed (pytest exit {int(status)}); no table", file=sys.stderr)
            return int(status) or 1
        bench = json.loads(raw.read_text())
        figures = json.loads(figs.read_text()) if figs.exists() else {}

    rows = rows_from(bench)
    verdicts = targets(rows, figures)
    info = machine()
    info["timer"] = "thread CPU time" if args.timer == "cpu" else "wall clock"
    info["malloc"] = args.malloc
    print()
    print(f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}, "
          f"NumPy {info['numpy']}, numba {info['numba']}; mode {'quick' if args.quick else 'full'}; "
          f"timer {info['timer']}; malloc {info['malloc']}")
    print()
    print(table(rows))
    print()
    print("Agreement and memory:")
    for name, fig in figures.items():
        print(f"  {name}: {json.dumps(fig, default=str)}")
    print()
    print("Targets:")
    for v in verdicts:
        print(f"  [{'met' if v['met'] else 'MISSED'}] {v['target']}: {v['detail']}")
    if args.json:
        Path(args.json).write_text(
            json.dumps(
                {"machine": info, "mode": "quick" if args.quick else "full", "rows": rows,
                 "figures": figures, "targets": verdicts},
                indent=2,
                default=str,
            )
        )
        print(f"\nwrote {args.json}")
    missed = [v for v in verdicts if not v["met"]]
    return 1 if (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
