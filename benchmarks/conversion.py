"""Series in and out: from a list, a tuple and an array; to an array and a list."""

import numpy as np

from benchmarks import harness as h
from benchmarks import workloads as w


def same_values(ours, theirs, what):
    return h.same_bits(np.asarray(ours), np.asarray(theirs), what)


def run(s: h.Session) -> None:
    arr = w.hydrograph(s.size(1_000_000, 100_000), 6)
    values = arr.tolist()
    tup = tuple(values)
    s.compare("conversion in, 1 series", {
        "basinkit from NumPy": lambda: w.CTS(arr, w.HOUR, "discharge"),
        "basinkit from list": lambda: w.CTS(values, w.HOUR, "discharge"),
        "basinkit from tuple": lambda: w.CTS(tup, w.HOUR, "discharge"),
        "np.array(list) (reference)": lambda: np.array(values, dtype=np.float64),
    }, same_values, steps=arr.size)
    series = w.CTS(arr, w.HOUR, "discharge")
    s.compare("conversion out, 1 series", {
        "np.asarray(series)": lambda: np.asarray(series),
        "series.data": lambda: series.data,
        "ndarray.tolist() (reference)": lambda: arr.tolist(),
    }, same_values, steps=arr.size)

    def read_only():
        assert not np.asarray(series).flags.writeable, "np.asarray(series) must be read-only"
        return "np.asarray(series) is a read-only view"

    s.check("conversion out", read_only)
    r = {row["side"]: row for row in s.rows if row["group"] == "conversion in, 1 series"}
    if "basinkit from list" in r:
        ratio = r["basinkit from list"]["ratio"]
        s.target("NumPy input converts at least 10× faster than a list", ratio >= 10.0,
                 f"list ÷ NumPy {ratio:.1f}×")
