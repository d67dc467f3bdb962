"""The two examples run as a user runs them: as scripts, with this interpreter."""

from __future__ import annotations

import importlib.util
import json
import math
import pickle
import re
import shlex
import subprocess
import sys
from argparse import Namespace
from datetime import timedelta
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
STORM = EXAMPLES / "storm_event.py"
ENSEMBLE = EXAMPLES / "ensemble.py"

HAS_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
HAS_DASK = all(importlib.util.find_spec(m) is not None for m in ("dask", "distributed"))
needs_dask = pytest.mark.skipif(not HAS_DASK, reason="dask[distributed] is not installed")

NUM = r"(-?\d+(?:\.\d+)?)"
SUMMARY = {
    "storm": rf"^storm depth\s+{NUM} in\s+\(excess {NUM}, loss {NUM}\)$",
    "direct": rf"^direct runoff\s+{NUM} in$",
    "peak_in": rf"^peak reservoir inflow\s+{NUM} cfs\s+at hour (\d+)$",
    "peak_out": rf"^peak reservoir outflow\s+{NUM} cfs\s+at hour (\d+)$",
    "attenuation": rf"^attenuation\s+{NUM} %$",
    "max_elevation": rf"^max elevation\s+{NUM} ft\s+\(start {NUM}\)$",
    "vol_in": rf"^volume in\s+{NUM} ac-ft$",
    "vol_out": rf"^volume out\s+{NUM} ac-ft$",
    "d_storage": rf"^storage change\s+{NUM} ac-ft$",
    "balance": rf"^balance\s+{NUM} ac-ft \({NUM} % of inflow\)$",
    "kge": rf"^KGE vs observed\s+{NUM}$",
}


def run(args: list[str], cwd: Path, timeout: float = 300) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=timeout
    )


def parse_summary(stdout: str) -> dict[str, tuple[float, ...]]:
    lines = stdout.splitlines()
    found = {}
    for key, pattern in SUMMARY.items():
        matches = [re.match(pattern, line) for line in lines]
        hits = [m for m in matches if m]
        assert len(hits) == 1, f"summary line {key!r} missing or repeated in:\n{stdout}"
        found[key] = tuple(float(g) for g in hits[0].groups())
    return found


# ---------------------------------------------------------------- storm_event.py


@pytest.fixture(scope="module")
def storm_default(tmp_path_factory):
    proc = run([str(STORM)], cwd=tmp_path_factory.mktemp("storm"))
    assert proc.returncode == 0, proc.stderr
    return parse_summary(proc.stdout)


def test_storm_event_summary_is_consistent(storm_default):
    s = storm_default
    depth, excess, loss = s["storm"]
    assert depth == 6.00  # the default --storm-depth
    assert excess > 0 and loss > 0
    assert excess + loss == pytest.approx(depth, abs=0.011)
    assert s["direct"][0] == excess  # the transform gives back all of the excess
    peak_in, hour_in = s["peak_in"]
    peak_out, hour_out = s["peak_out"]
    assert 0 < peak_out < peak_in
    assert hour_out > hour_in  # the reservoir delays the peak
    assert s["attenuation"][0] == pytest.approx(100 * (1 - peak_out / peak_in), abs=0.15)
    max_el, start_el = s["max_elevation"]
    assert start_el == 106.00 and max_el > start_el
    assert -1.0 <= s["kge"][0] <= 1.0


def test_storm_event_mass_balance_closes(storm_default):
    s = storm_default
    vol_in, vol_out, d_storage = s["vol_in"][0], s["vol_out"][0], s["d_storage"][0]
    balance, percent = s["balance"]
    assert vol_in > 0 and vol_out > 0
    # The released volume is the routing's own, step by step: the reservoir's
    # account closes to the printed rounding.
    assert abs(percent) < 0.01
    assert abs(balance) < 0.01
    # The three volumes and the balance agree up to the printed rounding.
    assert vol_in - vol_out - d_storage == pytest.approx(balance, abs=0.2)


def test_storm_event_options_reach_the_models(tmp_path, storm_default):
    proc = run([str(STORM), "--storm-depth", "7.5"], cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    s = parse_summary(proc.stdout)
    assert s["storm"][0] == 7.50
    assert s["peak_in"][0] > storm_default["peak_in"][0]
    assert s["vol_in"][0] > storm_default["vol_in"][0]
    assert abs(s["balance"][1]) < 0.5


@pytest.mark.skipif(not HAS_MATPLOTLIB, reason="matplotlib is not installed")
def test_storm_event_plot_writes_a_png(tmp_path):
    target = tmp_path / "event.png"
    proc = run([str(STORM), "--plot", str(target)], cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    parse_summary(proc.stdout)
    assert f"plot written to {target}" in proc.stdout
    data = target.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert len(data) > 10_000  # three panels, not an empty canvas
    # 10 x 10 inches at 150 dpi.
    assert (int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")) == (1500, 1500)


def test_storm_event_series_share_the_event_clock(storm):
    r = storm.simulate(storm.parse_args([]))
    n = len(r["rain"])  # rain intervals: hours 0-1, ..., (n - 1)-n
    for key in ("inflow", "routed", "baseflow", "outflow", "elevation", "storage"):
        assert len(r[key]) == n + 1, key  # instants: hours 0 .. n
    assert all(len(v) == n + 1 for v in r["outlets"].values())
    # At hour 0 the reservoir stands at its initial state and the basin gives
    # only the layers' initial baseflow.
    assert r["elevation"][0] == 106.0 and r["inflow"][0] == r["baseflow"][0] == 12.0
    peak = r["outflow"].index(max(r["outflow"]))
    assert r["elevation"].index(max(r["elevation"])) == peak
    assert r["direct_in"] == pytest.approx(sum(r["excess"]), rel=1e-9)


@pytest.mark.skipif(not HAS_MATPLOTLIB, reason="matplotlib is not installed")
def test_storm_event_plot_draws_each_series_at_its_instants(storm, tmp_path):
    import matplotlib.pyplot as plt

    r = storm.simulate(storm.parse_args([]))
    storm.plot(r, str(tmp_path / "event.png"))
    fig = plt.gcf()
    try:
        ax_rain, ax_q, ax_e = fig.axes
        hours = list(range(len(r["rain"]) + 1))
        # Rain bars span their own hour.
        bars = ax_rain.patches[: len(r["rain"])]
        assert [(b.get_x(), b.get_width()) for b in bars] == [(h, 1.0) for h in hours[:-1]]
        lines = {line.get_label().strip(): line for line in ax_q.get_lines()}
        for name in r["outlets"]:
            assert list(lines[name.replace("_", " ")].get_xdata()) == hours
        total = lines["reservoir outflow, total"]
        assert list(total.get_xdata()) == hours and list(total.get_ydata()) == r["outflow"]
        assert list(lines["observed outflow"].get_xdata()) == r["observed_hours"]
        assert list(lines["gate cap (350 cfs)"].get_ydata()) == [350.0, 350.0]
        [pool, crest] = [line for line in ax_e.get_lines() if not line.get_label().startswith("_")]
        assert list(pool.get_xdata()) == hours and list(crest.get_ydata()) == [124.0, 124.0]
        assert all(ax.xaxis.get_gridlines()[0].get_visible() for ax in fig.axes)
        title = fig._suptitle.get_text()
        assert "KGE" in title and "observed reservoir outflow" in title
    finally:
        plt.close(fig)


def test_storm_event_plot_without_matplotlib_explains_and_fails(tmp_path):
    target = tmp_path / "event.png"
    code = (
        "import runpy, sys\n"
        "sys.modules['matplotlib'] = None  # makes `import matplotlib` fail\n"
        f"sys.argv = [{str(STORM)!r}, '--plot', {str(target)!r}]\n"
        f"runpy.run_path({str(STORM)!r}, run_name='__main__')\n"
    )
    proc = run(["-c", code], cwd=tmp_path)
    assert proc.returncode == 2, (proc.stdout, proc.stderr)
    assert "plotting needs matplotlib" in proc.stderr
    assert "'.[plot]'" in proc.stderr
    assert "Traceback" not in proc.stderr
    assert proc.stdout == ""  # refused before the run
    assert not target.exists()


# ---------------------------------------------------------------- ensemble.py, in process


@pytest.fixture(scope="module")
def storm(ensemble):
    return ensemble.storm_event


@pytest.fixture(scope="module")
def ensemble():
    """The script imported as a module; taken out of sys.modules again afterwards.

    The examples are scripts, not part of the test process: leaving them imported
    would change what later tests see (hypothesis, for one, draws constants from
    the modules that are loaded).
    """
    before = set(sys.modules)
    sys.path.insert(0, str(EXAMPLES))
    try:
        import ensemble as module
    finally:
        sys.path.remove(str(EXAMPLES))
    yield module
    for name in ("ensemble", "storm_event"):
        if name not in before:
            sys.modules.pop(name, None)


def ensemble_scores(ensemble, options: list[str], n: int, seed: int, **kwargs) -> tuple[list, list]:
    """The drawn sets (storm_event options) and their (KGE, error), in this process, on the event of the options."""
    storm = ensemble.storm_event
    event = storm.parse_args(options)
    inputs = (storm.event_basin(event), storm.design_storm(event.storm_depth), storm.read_observed())
    # What travels to a worker pickles and comes back equal.
    for thing in inputs:
        again = pickle.loads(pickle.dumps(thing))
        assert again.equals(thing) if hasattr(thing, "equals") else again == thing
    sample = ensemble.monte_carlo(*inputs, n, seed, extend=timedelta(hours=storm.DRY_HOURS), **kwargs)
    return ensemble.drawn(sample)


def test_ensemble_draw_is_seeded_and_within_bounds(ensemble):
    a, _ = ensemble_scores(ensemble, [], 4, 3)
    assert a == ensemble_scores(ensemble, [], 4, 3)[0]
    assert a != ensemble_scores(ensemble, [], 4, 4)[0]
    for name, lo, hi, _ in ensemble.PARAMETERS:
        values = [s[name] for s in a]
        assert all(lo <= v <= hi for v in values)
        assert len(set(values)) == 4


def test_ensemble_parameter_names_are_storm_event_options(ensemble):
    event = vars(ensemble.storm_event.parse_args([]))
    for name, *_ in ensemble.PARAMETERS:
        assert isinstance(event[name], float)


def test_ensemble_scores_sets_as_storm_event_does(ensemble):
    base = vars(ensemble.storm_event.parse_args([]))
    sets, scores = ensemble_scores(ensemble, [], 3, 11)
    assert len(scores) == 3
    for params, (kge, error) in zip(sets, scores):
        assert type(kge) is float and error is None
        # The same set run directly gives the very same score, to the bit.
        direct = ensemble.storm_event.simulate(Namespace(**{**base, **params}))
        assert kge == direct["kge"]


def test_ensemble_records_a_failing_set(ensemble):
    overtops = ["--storm-depth", "40"]  # the dam, whatever the set
    _, [(kge, error)] = ensemble_scores(ensemble, overtops, 1, 1)
    assert math.isnan(kge)
    assert "outside the range" in error or "above the maximum" in error or "overtop" in error


def test_ensemble_reports_any_failure_in_one_line(ensemble, monkeypatch):
    def broken(*args, **kwargs):
        raise ZeroDivisionError("float division\nby zero")

    monkeypatch.setattr(ensemble.bm._evaluation, "simulate", broken)
    _, [(kge, error)] = ensemble_scores(ensemble, [], 1, 1)
    assert math.isnan(kge)
    assert error == "ZeroDivisionError: float division by zero"


@pytest.mark.parametrize("options,carried", [
    ([], []),
    (["--storm-depth", "7.5", "--sub-reaches", "2"], ["--storm-depth", "7.5", "--sub-reaches", "2"]),
    (["--initial-elevation", "108", "--tc-hours", "9"], ["--initial-elevation", "108.0"]),
])
def test_ensemble_rerun_command_carries_every_changed_event_option(ensemble, options, carried):
    base = vars(ensemble.storm_event.parse_args(options))
    params = {"loss_rate": 0.0835306431107357, "tc_hours": 1.7467117966666668, "r_hours": 4.5, "muskingum_k_hours": 2.25}
    words = shlex.split(ensemble.rerun_command(base, params))
    drawn = []
    for name, *_ in ensemble.PARAMETERS:
        drawn += ["--" + name.replace("_", "-"), repr(params[name])]
    assert words == ["python", "examples/storm_event.py"] + carried + drawn
    # The command parses back to the very same event.
    assert vars(ensemble.storm_event.parse_args(words[2:])) == {**base, **params}


def test_ensemble_report_ranks_by_kge_and_counts_failures(ensemble):
    sets = [{name: lo + (hi - lo) * k / 4 for name, lo, hi, _ in ensemble.PARAMETERS} for k in range(4)]
    results = [(0.5, None), (math.nan, "boom"), (0.9, None), (0.7, None)]
    lines = ensemble.report(sets, results, 2, vars(ensemble.storm_event.parse_args([])))
    assert lines[0] == "sets scored 3, failed 1"
    assert lines[1] == "  set 1 failed: boom"
    ranks = [line.split() for line in lines if re.match(r"^\s+\d+\s+\d+\s", line)]
    assert [(r[0], r[1], r[2]) for r in ranks] == [("1", "2", "0.9000"), ("2", "3", "0.7000")]
    assert lines[-1].startswith("re-run the best set: python examples/storm_event.py --loss-rate ")
    assert repr(sets[2]["tc_hours"]) in lines[-1]


# ---------------------------------------------------------------- ensemble.py, as a script

TABLE_ROW = re.compile(r"^\s+(\d+)\s+(\d+)\s+(-?\d+\.\d{4})\s")


def parse_ensemble(stdout: str) -> tuple[list[tuple[int, int, float]], list[str]]:
    rows = [(int(m[1]), int(m[2]), float(m[3]))
            for m in map(TABLE_ROW.match, stdout.splitlines()) if m]
    rerun = [line for line in stdout.splitlines() if line.startswith("re-run the best set: ")]
    return rows, rerun


def check_against_given(stdout: str, what: str, best: float) -> None:
    """The best score is printed beside the event's own, with the verdict they call for."""
    [given] = re.findall(r"^the event as given scores KGE (-?\d+\.\d{4})$", stdout, re.M)
    [line] = [line for line in stdout.splitlines() if line.startswith(f"{what} KGE ")]
    m = re.match(rf"{what} KGE (-?\d+\.\d{{4}}) vs (-?\d+\.\d{{4}}) as given: (\w+)", line)
    assert m and float(m[1]) == round(best, 4) and m[2] == given, line
    if float(m[1]) != float(given):
        assert m[3] == ("WORSE" if float(m[1]) < float(given) else "better"), line


def check_ensemble_output(proc, json_path: Path, n: int) -> dict:
    assert proc.returncode == 0, proc.stderr
    assert re.search(rf"^wall time \d+\.\d+ s for {n} sets", proc.stdout, re.M), proc.stdout
    assert f"sets scored {n}, failed 0" in proc.stdout
    result = json.loads(json_path.read_text())
    rows = result["sets"]
    assert [r["set"] for r in rows] == list(range(n))
    kges = [r["kge"] for r in rows]
    assert all(math.isfinite(k) and k <= 1.0 for k in kges)
    table, rerun = parse_ensemble(proc.stdout)
    assert [r[0] for r in table] == list(range(1, min(n, 5) + 1))
    # The table lists the best sets, best first, with their own scores.
    best = sorted(range(n), key=lambda i: (-kges[i], i))[: len(table)]
    assert [r[1] for r in table] == best
    assert [r[2] for r in table] == [round(kges[i], 4) for i in best]
    assert len(rerun) == 1
    check_against_given(proc.stdout, "best drawn", max(kges))
    return result


@pytest.fixture(scope="module")
def dask_run(tmp_path_factory):
    if not HAS_DASK:
        pytest.skip("dask[distributed] is not installed")
    tmp = tmp_path_factory.mktemp("ensemble")
    out = tmp / "scores.json"
    proc = run([str(ENSEMBLE), "--n", "8", "--workers", "1", "--seed", "5", "--json", str(out)],
               cwd=tmp)
    return proc, check_ensemble_output(proc, out, 8)


@needs_dask
def test_ensemble_on_a_local_dask_cluster(dask_run, ensemble):
    proc, result = dask_run
    assert "local Dask cluster (1 worker processes)" in proc.stdout
    # The progress count goes to stderr and ends full; stdout stays plain text.
    assert "8/8 runs" in proc.stderr
    assert "8/8" not in proc.stdout
    for name, lo, hi, _ in ensemble.PARAMETERS:
        assert all(lo <= row[name] <= hi for row in result["sets"])


@needs_dask
def test_ensemble_best_set_reruns_with_storm_event(dask_run, tmp_path):
    proc, result = dask_run
    table, [rerun] = parse_ensemble(proc.stdout)
    words = shlex.split(rerun.removeprefix("re-run the best set: "))
    assert words[:2] == ["python", "examples/storm_event.py"]
    again = run([str(ROOT / words[1]), *words[2:]], cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    kge = parse_summary(again.stdout)["kge"][0]
    assert kge == round(table[0][2], 3)


def test_ensemble_threads_mode(tmp_path, request):
    out = tmp_path / "threads.json"
    proc = run([str(ENSEMBLE), "--threads", "--workers", "2", "--n", "8", "--seed", "5",
                "--json", str(out), "--no-progress"], cwd=tmp_path)
    result = check_ensemble_output(proc, out, 8)
    assert "thread pool (2 threads, one process)" in proc.stdout
    assert proc.stderr == ""
    if HAS_DASK:
        # Threads and worker processes score every set to the same bits.
        _, on_dask = request.getfixturevalue("dask_run")
        assert [r["kge"] for r in result["sets"]] == [r["kge"] for r in on_dask["sets"]]


def test_ensemble_calibrate_finds_a_set_that_reruns(tmp_path):
    proc = run([str(ENSEMBLE), "--calibrate", "--threads", "--workers", "2", "--n", "80", "--seed", "3",
                "--no-progress"], cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    runs = re.search(r"^wall time [\d.]+ s for (\d+) runs .*, (\d+) failed", out, re.MULTILINE)
    assert runs and int(runs.group(1)) > 80 and int(runs.group(2)) == 0
    # Never worse than the event as given: the start is one of the sets and is kept.
    assert "WORSE" not in out and re.search(r"^stopped: (maxiter|converged|stalled) ", out, re.MULTILINE)
    best = re.search(r"^best KGE (-?[\d.]+) ", out, re.MULTILINE)
    assert best
    for name, lo, hi, unit in [("loss_rate", 0.02, 0.40, "in/h"), ("tc_hours", 1.5, 10.0, "h")]:
        value = re.search(rf"^  {name}\s+([\d.]+) {re.escape(unit)}   \(start [\d.]+\)$", out, re.MULTILINE)
        assert value and lo <= float(value.group(1)) <= hi
    [rerun] = [line for line in out.splitlines() if line.startswith("re-run the best set: ")]
    words = shlex.split(rerun.removeprefix("re-run the best set: "))
    again = run([str(ROOT / words[1]), *words[2:]], cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert parse_summary(again.stdout)["kge"][0] == round(float(best.group(1)), 3)
    check_against_given(out, "calibrated", float(best.group(1)))


@needs_dask
def test_ensemble_on_a_separate_scheduler(tmp_path):
    """--scheduler: workers that cannot import the examples get them uploaded."""
    from dask.distributed import Client, LocalCluster

    out = tmp_path / "remote.json"
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        with Client(cluster) as client:
            # The worker process does not see the examples directory by itself.
            assert not client.run(lambda: importlib.util.find_spec("storm_event") is not None)[
                next(iter(client.scheduler_info()["workers"]))]
        proc = run([str(ENSEMBLE), "--scheduler", cluster.scheduler_address, "--n", "4",
                    "--json", str(out), "--no-progress"], cwd=tmp_path, timeout=180)
    check_ensemble_output(proc, out, 4)
    assert f"Dask scheduler {cluster.scheduler_address} (1 workers)" in proc.stdout


def test_ensemble_without_dask_explains_and_fails(tmp_path):
    code = (
        "import runpy, sys\n"
        "for name in ('dask', 'dask.distributed', 'distributed'):\n"
        "    sys.modules[name] = None\n"
        f"sys.path.insert(0, {str(EXAMPLES)!r})\n"  # as running the script itself does
        f"sys.argv = [{str(ENSEMBLE)!r}, '--n', '2']\n"
        f"runpy.run_path({str(ENSEMBLE)!r}, run_name='__main__')\n"
    )
    proc = run(["-c", code], cwd=tmp_path)
    assert proc.returncode == 2, (proc.stdout, proc.stderr)
    # This checkout's extra: 'basinkit[ensemble]' would name another project.
    assert "python -m pip install '.[ensemble]'" in proc.stderr and "--threads" in proc.stderr
    assert "basinkit[ensemble]" not in proc.stderr
    assert "Traceback" not in proc.stderr


def test_ensemble_stops_when_the_event_itself_fails(tmp_path):
    proc = run([str(ENSEMBLE), "--threads", "--n", "2", "--storm-depth", "40"], cwd=tmp_path)
    assert proc.returncode == 2, (proc.stdout, proc.stderr)
    [line] = proc.stderr.splitlines()
    assert line.startswith("ensemble: the event fails with these options")
    assert "outside the range" in line or "above the maximum" in line
    assert proc.stdout == ""


def test_ensemble_refuses_plot(tmp_path):
    proc = run([str(ENSEMBLE), "--threads", "--plot", "x.png"], cwd=tmp_path)
    assert proc.returncode == 2
    assert "--plot belongs to storm_event.py" in proc.stderr
