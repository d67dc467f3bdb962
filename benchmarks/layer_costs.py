"""What the watershed layer costs as a basin grows: Basin(), with_values and run
for chains and trees of 10 to 10,000 elements, per element.

A chain is one subbasin draining through N - 1 reaches; a tree is a binary
heap of N elements whose leaves are subbasins and whose inner nodes are
reaches (every inflow summed). Each uses the storm basin's parameters and its
rain (no extension). Per-element times that stay flat from 10 to 10,000
elements mean linear costs. Calibration runs per second: two parameters of
the storm basin fitted on this thread (wall clock, timed once, the
evaluations counted by the calibration itself).
"""

from __future__ import annotations

from dataclasses import replace
from datetime import timedelta

from benchmarks import harness as h
from benchmarks import workloads as w

SIZES = (10, 100, 1_000, 10_000)
QUICK_SIZES = (10, 100, 1_000)


def elements(shape: str, n: int, template):
    """The N elements of a chain or a tree, built from the storm basin's subbasin and reach."""
    import basinkit_model as bm

    sub, reach = template.element("upper"), template.element("channel")
    assert isinstance(sub, bm.Subbasin) and isinstance(reach, bm.Reach)
    out = []
    for i in range(n):
        if shape == "chain":
            down = f"e{i + 1}" if i + 1 < n else None
            leaf = i == 0
        else:
            down = f"e{(i - 1) // 2}" if i else None
            leaf = 2 * i + 1 >= n
        if leaf:
            out.append(replace(sub, name=f"e{i}", downstream=down))
        else:
            out.append(replace(reach, name=f"e{i}", downstream=down))
    return out


def calibration_rate(s: h.Session, basin, precip, observed) -> None:
    import basinkit_model as bm

    params = {"upper.transform.tc": (timedelta(hours=2), timedelta(hours=8)),
              "upper.loss.rate_in_per_hr": (0.02, 0.4)}
    popsize, maxiter = 5, (2 if (s.quick or s.checking) else 9)
    evaluations = []

    def fit():
        return bm.calibrate(basin, precip, observed, "lake", params, seed=7, maxiter=maxiter,
                            popsize=popsize, tol=0.0, workers=1)

    def counted(c):
        assert c.failed == 0, "every run of the storm basin succeeds"
        assert c.evaluations >= popsize * len(params), "at least the first population ran"
        evaluations.append(c.evaluations)
        return c.evaluations

    group = "calibration, 2 parameters, 1 worker"
    if s.compare(group, {"calibrate": h.Side(fit, counted)}, clock=h.ONCE) and not s.checking:
        row = s.rows[-1]
        rate = evaluations[0] / row["median_s"]
        row.update(per_step_ns=row["median_s"] / evaluations[0] * 1e9, unit="run")
        s.table("Calibration runs per second (storm basin, this thread)",
                ["Runs", "Wall", "Runs per second"],
                [[evaluations[0], h.fmt_time(row["median_s"]), f"{rate:.0f}"]])


def run(s: h.Session) -> None:
    import basinkit_model as bm

    template, precip, observed = w.storm()
    sizes = QUICK_SIZES if (s.quick or s.checking) else SIZES
    per_element = {}
    for shape in ("chain", "tree"):
        for n in sizes:
            parts = elements(shape, n, template)
            basin = bm.Basin(parts)
            leaf = "e0" if shape == "chain" else f"e{n - 1}"
            path = f"{leaf}.area_acres"
            label = f"{shape} of {n:,} elements"

            def built(b, n=n):
                assert len(b.order()) == n, "every element in the computation order"
                return b.order()[-1]

            for op, side in (
                ("Basin()", h.Side(lambda parts=parts: bm.Basin(parts), built)),
                ("with_values", h.Side(lambda basin=basin: basin.with_values({path: 5000.0}),
                                       built)),
            ):
                if s.compare(f"{op}, {label}", {op: side}, steps=n, unit="element") and \
                        not s.checking:
                    per_element[(op, shape, n)] = s.rows[-1]["per_step_ns"]

            def outlet_flow(r, n=n, shape=shape):
                flows = r.flows
                assert flows.shape[1] == n, "a flow for every element"
                outlet = "e0" if shape == "tree" else f"e{n - 1}"
                return flows[outlet].to_numpy()

            if s.compare(f"run, {label}", {"run": h.Side(
                    lambda basin=basin: basin.run(precip), outlet_flow)}, steps=n,
                    unit="element") and not s.checking:
                per_element[("run", shape, n)] = s.rows[-1]["per_step_ns"]
    # Linear: the time per element does not grow with the basin (small
    # basins carry fixed costs, so 100 elements is the yardstick).
    first, last = sizes[1], sizes[-1]
    for op in ("Basin()", "with_values", "run"):
        for shape in ("chain", "tree"):
            a, b = per_element.get((op, shape, first)), per_element.get((op, shape, last))
            if a and b:
                s.target(f"{op} of a {shape}: per-element time at {last:,} elements ≤ 2× at "
                         f"{first:,}", b <= 2.0 * a, f"{b / a:.2f}×")
    calibration_rate(s, template, precip, observed)
