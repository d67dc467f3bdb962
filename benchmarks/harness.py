"""The benchmark harness: machine header, agree-then-time, one timer, fresh
processes and JSON results.

Agreement before speed: every comparison first calls each side once on the
benchmark input and checks that basinkit and its peer agree (bit for bit
where both evaluate in the same order, else within a stated tolerance). A
disagreement is reported, that comparison is not timed, and the run exits
non-zero.

Timing convention: the agreement call is each side's warm-up (it also
compiles numba kernels); then N timed calls with garbage collection off,
each timed as the calling thread's CPU time (`time.thread_time`), so other
processes on a shared machine inflate the figures less. Rows give the best
and the median of the N. N is 15 (--quick: 3; --repeats sets it); a side
whose agreement call took over a second gets at most 3. Work that leaves
the calling thread (thread pools, worker processes) is timed on the wall
clock (`time.perf_counter`) instead, and runs too long to repeat
(calibrations) are timed once, on the call that was checked; their rows
say so.
"""

from __future__ import annotations

import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "benchmarks" / "results"
CPU, WALL, ONCE = "thread CPU", "wall", "wall, once"
SLOW_CALL_S = 1.0


class Disagreement(Exception):
    """basinkit and a peer gave different results: nothing of theirs is timed."""


# ------------------------------------------------------------------ agreement


def _bits(values):
    import numpy as np

    return np.ascontiguousarray(np.asarray(values, dtype=np.float64)).view(np.uint64)


def same_bits(ours, theirs, what: str) -> str:
    """Raises Disagreement unless both hold the same float64 bit patterns."""
    import numpy as np

    a, b = _bits(ours), _bits(theirs)
    if a.shape != b.shape:
        raise Disagreement(f"{what}: {a.size} values against {b.size}")
    diff = np.flatnonzero(a != b)
    if diff.size:
        i = int(diff[0])
        raise Disagreement(
            f"{what}: {diff.size} of {a.size} values differ in their bits; first at {i}: "
            f"{float(a.view(np.float64)[i])!r} against {float(b.view(np.float64)[i])!r}"
        )
    return "bit-identical"


def same_each(ours, theirs, what: str) -> str:
    """same_bits for two lists of series, pair by pair."""
    if len(ours) != len(theirs):
        raise Disagreement(f"{what}: {len(theirs)} series against {len(ours)}")
    for i, (a, b) in enumerate(zip(ours, theirs)):
        same_bits(a, b, f"{what}, series {i}")
    return "bit-identical"


def within(ours, theirs, rtol: float, what: str) -> str:
    """Raises Disagreement unless max |ours - theirs| <= rtol x max |theirs|."""
    import numpy as np

    a, b = np.asarray(ours, dtype=np.float64), np.asarray(theirs, dtype=np.float64)
    if a.shape != b.shape:
        raise Disagreement(f"{what}: {a.size} values against {b.size}")
    if np.array_equal(_bits(a), _bits(b)):
        return "bit-identical"
    scale = float(np.max(np.abs(b)))
    worst = float(np.max(np.abs(a - b)))
    if not worst <= rtol * scale:
        raise Disagreement(f"{what}: largest difference {worst:.3g} of {scale:.3g} (rtol {rtol:g})")
    return f"largest difference {worst / scale:.2g} × peak (tolerance {rtol:g})"


# ------------------------------------------------------------------ machine


def _cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _commit() -> str:
    def git(*args):
        try:
            return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True).stdout.strip()
        except OSError:  # no git here (an interpreter's minimal root)
            return ""

    sha = git("rev-parse", "--short", "HEAD") or "unknown"
    return sha + ("+changes" if git("status", "--porcelain", "--untracked-files=no") else "")


def machine() -> dict:
    """The header every run prints and stores."""
    import sysconfig

    versions = {}
    for name in ("numpy", "numba"):
        try:
            versions[name] = __import__(name).__version__
        except ImportError:
            versions[name] = None
    return {
        "date": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "commit": _commit(),
        "cpu": _cpu_model(),
        "cores": os.cpu_count(),
        "load": [round(x, 2) for x in os.getloadavg()],
        "python": platform.python_version()
        + (" free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""),
        "platform": platform.platform(),
        **versions,
    }


def header(m: dict) -> str:
    return (
        f"{m['date']}, commit {m['commit']}: {m['cpu']}, {m['cores']} cores, load average "
        f"{' '.join(f'{x:.2f}' for x in m['load'])}; Python {m['python']}, NumPy {m['numpy']}, "
        f"numba {m['numba']}"
    )


# ------------------------------------------------------------------ timers


def timed(fn: Callable[..., Any], repeats: int, clock: str = CPU,
          setup: Callable[[], Any] | None = None) -> list[float]:
    """Seconds of `repeats` calls of fn, garbage collection off; with setup,
    each call is fn(setup()), the set-up untimed."""
    now = time.thread_time if clock == CPU else time.perf_counter
    times = []
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            args = () if setup is None else (setup(),)
            t0 = now()
            result = fn(*args)
            t1 = now()
            del result, args  # freed outside the timing
            times.append(t1 - t0)
    finally:
        if enabled:
            gc.enable()
    return times


def fmt_time(s: float | None) -> str:
    if s is None:
        return ""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if s >= scale:
            v = s / scale
            return f"{v:.3g} {unit}" if v < 100 else f"{v:.0f} {unit}"
    return f"{s * 1e9:.0f} ns"


# ------------------------------------------------------------------ fresh processes


def fresh(target: str, *args: Any, python: str | None = None, clean_peak: bool = False) -> Any:
    """Calls `module:function` (in benchmarks) with JSON arguments in a fresh
    interpreter and returns what it returned (JSON). clean_peak: the process
    is started from a small one, since Linux carries the peak resident set
    over from the process that forked."""
    cmd = [python or sys.executable, "-m", "benchmarks", "--worker", target, json.dumps(args)]
    if clean_peak:
        cmd.append("--clean-peak")
    done = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"{target} in a fresh process failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def worker(target: str, args_json: str, clean_peak: bool) -> int:
    """The fresh process's side of `fresh`: prints the call's result as JSON."""
    if clean_peak and os.environ.get("BENCHMARKS_CLEAN_PEAK") != "1":
        env = dict(os.environ, BENCHMARKS_CLEAN_PEAK="1")
        return subprocess.run([sys.executable, "-m", "benchmarks", "--worker", target, args_json],
                              env=env).returncode
    import importlib

    module, function = target.split(":")
    result = getattr(importlib.import_module(f"benchmarks.{module}"), function)(*json.loads(args_json))
    print(json.dumps(result))
    return 0


# ------------------------------------------------------------------ the session


@dataclass
class Side:
    """One side of a comparison: `call` is what is timed; `finish` turns its
    result into what is compared (default: the result itself); with `setup`,
    each call is call(setup()), the set-up untimed."""

    call: Callable[..., Any]
    finish: Callable[[Any], Any] = lambda r: r
    setup: Callable[[], Any] | None = None


@dataclass
class Session:
    """One run of some benchmarks: collects rows, checks, targets and failures."""

    quick: bool = False
    checking: bool = False
    repeats: int | None = None
    only: str | None = None
    require: tuple[str, ...] = ()
    options: dict = field(default_factory=dict)
    machine: dict = field(default_factory=machine)
    benchmark: str = ""
    rows: list = field(default_factory=list)
    checks: list = field(default_factory=list)
    tables: list = field(default_factory=list)
    targets: list = field(default_factory=list)
    failures: list = field(default_factory=list)

    def size(self, full: int, quick: int) -> int:
        """Input size: small when quick or only checking."""
        return quick if (self.quick or self.checking) else full

    def selected(self, group: str) -> bool:
        return self.only is None or self.only.lower() in group.lower()

    def _fail(self, what: str, error: BaseException) -> None:
        text = str(error)
        msg = f"{self.benchmark}: " + (text if text.startswith(what) else f"{what}: {text}")
        self.failures.append(msg)
        print(f"DISAGREEMENT {msg}", file=sys.stderr, flush=True)

    def check(self, what: str, fn: Callable[[], Any]) -> bool:
        """An agreement check that is not a timed comparison."""
        try:
            detail = fn()
        except (Disagreement, AssertionError) as e:
            self._fail(what, e)
            return False
        self.checks.append({"benchmark": self.benchmark, "check": what, "detail": detail})
        print(f"  agree  {what}: {detail}", flush=True)
        return True

    def missing(self, peer: str, why: str = "not installed") -> None:
        """A peer that cannot run here: named, and a failure when required."""
        self.checks.append({"benchmark": self.benchmark, "check": peer, "detail": why})
        print(f"  skip   {peer}: {why}", flush=True)
        if peer in self.require:
            self.failures.append(f"{self.benchmark}: required peer {peer}: {why}")

    def compare(
        self,
        group: str,
        sides: dict[str, Callable[[], Any] | Side],
        agree: Callable[[Any, Any, str], str] | None = None,
        *,
        steps: int | None = None,
        unit: str = "value",
        clock: str = CPU,
        repeats: int | None = None,
    ) -> bool:
        """Calls every side once, checks each against the first (basinkit) with
        agree(ours, theirs, label), and only then times them. Returns whether
        all agreed. A single side needs no agreement."""
        if not self.selected(group):
            return True
        sides = {k: v if isinstance(v, Side) else Side(v) for k, v in sides.items()}
        first_s: dict[str, float] = {}
        agreement = {}
        base = next(iter(sides))
        try:
            for name, side in sides.items():
                args = () if side.setup is None else (side.setup(),)
                t0 = time.perf_counter()
                raw = side.call(*args)
                first_s[name] = time.perf_counter() - t0
                if name == base:
                    ours = side.finish(raw)
                    agreement[name] = "reference"
                else:
                    if agree is None:
                        raise TypeError(f"{group}: a comparison of several sides needs a check")
                    agreement[name] = agree(ours, side.finish(raw), f"{group}, {name}")
                del raw, args  # no result stays alive into the timing
        except (Disagreement, AssertionError) as e:
            self._fail(group, e)
            return False
        del ours
        for name in sides:
            if name != base:
                self.checks.append({"benchmark": self.benchmark, "check": f"{group}: {name}",
                                    "detail": agreement[name]})
        if self.checking:
            for name in sides:
                if name != base:
                    print(f"  agree  {group}: {name}: {agreement[name]}", flush=True)
            return True
        n = repeats or self.repeats or (3 if self.quick else 15)
        base_median = None
        for name, side in sides.items():
            if clock == ONCE:
                times = [first_s[name]]
            else:
                times = timed(side.call, min(n, 3) if first_s[name] > SLOW_CALL_S else n, clock,
                              side.setup)
            best, median = min(times), statistics.median(times)
            if base_median is None:
                base_median = median
            row = {
                "benchmark": self.benchmark, "group": group, "side": name, "clock": clock,
                "repeats": len(times), "best_s": best, "median_s": median,
                "per_step_ns": median / steps * 1e9 if steps else None, "unit": unit,
                "ratio": median / base_median, "agreement": agreement[name],
            }
            self.rows.append(row)
            print(f"  time   {group} | {name}: median {fmt_time(median)}, best {fmt_time(best)} "
                  f"({len(times)}, {clock})", flush=True)
        return True

    def table(self, title: str, columns: list[str], rows: list[list[Any]]) -> None:
        """A table of figures that are not a timed comparison (accuracy, faults...)."""
        self.tables.append({"benchmark": self.benchmark, "title": title, "columns": columns,
                            "rows": rows})
        print(f"\n{title}\n\n{markdown(columns, rows)}\n", flush=True)

    def target(self, name: str, met: bool, detail: str) -> None:
        self.targets.append({"target": name, "met": bool(met), "detail": detail})

    # ---------------------------------------------------------------- report

    def report(self) -> str:
        lines = []
        if self.rows:
            columns = ["Benchmark", "Comparison", "Side", "Median", "Best", "Per step",
                       "Median ÷ basinkit's", "Agreement"]
            body = []
            for r in self.rows:
                per = f"{r['per_step_ns']:.1f} ns/{r['unit']}" if r["per_step_ns"] is not None else ""
                ratio = "1" if r["agreement"] == "reference" else f"{r['ratio']:.3g}×"
                clock = "" if r["clock"] == CPU else f" ({r['clock']})"
                body.append([r["benchmark"], r["group"], r["side"], fmt_time(r["median_s"]) + clock,
                             fmt_time(r["best_s"]), per, ratio, r["agreement"]])
            lines += [markdown(columns, body), ""]
        for t in self.targets:
            lines.append(f"[{'met' if t['met'] else 'MISSED'}] {t['target']}: {t['detail']}")
        return "\n".join(lines)

    def save(self, names: list[str]) -> Path:
        RESULTS.mkdir(parents=True, exist_ok=True)
        stamp = self.machine["date"].replace(":", "").replace("+0000", "Z")
        mode = "check" if self.checking else "quick" if self.quick else "full"
        path = RESULTS / f"{stamp}-{mode}.json"
        path.write_text(json.dumps({
            "machine": self.machine, "mode": mode, "benchmarks": names,
            "load_at_end": [round(x, 2) for x in os.getloadavg()], "rows": self.rows,
            "checks": self.checks, "tables": self.tables, "targets": self.targets,
            "failures": self.failures,
        }, indent=1, default=str))
        return path


def markdown(columns: list[str], rows: list[list[Any]]) -> str:
    lines = ["| " + " | ".join(columns) + " |", "|" + "---|" * len(columns)]
    lines += ["| " + " | ".join(str(c).replace("|", "\\|") for c in row) + " |" for row in rows]
    return "\n".join(lines)


def self_check() -> str:
    """The comparisons themselves see a difference in the last bit."""
    import numpy as np

    a = np.linspace(0.0, 1.0, 11)
    b = a.copy()
    b[7] = np.nextafter(b[7], 2.0)
    for check, other, expected in ((same_bits, b, "1 of 11 values differ"),
                                   (same_bits, a[:-1], "values against"),
                                   (lambda x, y, w: within(x, y, 0.0, w), b, "largest difference")):
        try:
            check(a, other, "probe")
        except Disagreement as e:
            if expected not in str(e):
                raise AssertionError(f"unexpected message: {e}") from None
        else:
            raise AssertionError("a last-bit difference passed the check")
    return "same_bits and within both fail on one last-bit difference"
