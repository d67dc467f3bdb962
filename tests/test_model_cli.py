"""basinkit_model's command line on the bundled storm files; its types and docstrings."""

from __future__ import annotations

import importlib.util
import inspect
import re
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas (no wheel for this interpreter?)")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy (no wheel for this interpreter?)")
pytest.importorskip("tomli_w", reason="basinkit_model needs tomli-w")

import basinkit_model as bm  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data"
STORM = [str(DATA / "storm.toml"), "--precip", str(DATA / "storm_rain.csv"), "--extend", "72h"]
GAUGE = ["--observed", str(DATA / "storm_gauge.csv"), "--at", "lake"]


def cli(*args: str, hide: tuple[str, ...] = ()) -> subprocess.CompletedProcess[str]:
    """`python -m basinkit_model ARGS`, with the modules in `hide` made unimportable."""
    command = [sys.executable, "-m", "basinkit_model", *args]
    if hide:
        command[1:3] = ["-c", f"import runpy, sys; sys.modules.update(dict.fromkeys({list(hide)!r})); "
                        "runpy.run_module('basinkit_model', run_name='__main__', alter_sys=True)"]
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


def test_run_prints_peaks_balance_and_score(tmp_path):
    proc = cli("run", *STORM, *GAUGE, "--out", str(tmp_path / "flows.csv"))
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    peaks = re.findall(r"^  (\w+)\s+([\d.]+) cfs  at (\S+ \S+)$", out, re.MULTILINE)
    assert [p[0] for p in peaks] == ["upper", "channel", "lake"]
    flows = pd.read_csv(tmp_path / "flows.csv", index_col=0, parse_dates=[0])
    assert list(flows.columns) == ["upper", "channel", "lake"] and len(flows) == 24 + 72 + 1
    for name, peak, when in peaks:
        assert float(peak) == pytest.approx(flows[name].max(), abs=0.05)
        assert pd.Timestamp(when) == flows[name].idxmax()
    assert "volume account (acre-feet):" in out and "residual_pct" in out
    assert re.search(r"^score at lake: KGE 0\.\d{4} \(r .*\), NSE .*; 95 pairs, 0 NaN skipped$", out, re.MULTILINE)


def test_calibrate_saves_a_basin_that_loads(tmp_path):
    saved = tmp_path / "calibrated.toml"
    proc = cli(
        "calibrate", *STORM, *GAUGE, "--param", "upper.transform.tc=2h:8h", "--param",
        "upper.loss.rate_in_per_hr=0.05:0.3", "--maxiter", "2", "--popsize", "4", "--no-progress",
        "--save", str(saved),
    )
    assert proc.returncode == 0, proc.stderr
    assert re.search(r"^calibrated 2 parameters in \d+ runs \(0 failed\): kge 0\.\d+", proc.stdout, re.MULTILINE)
    tc = re.search(r"upper\.transform\.tc = ([\d.]+) h", proc.stdout)
    assert tc and 2.0 <= float(tc.group(1)) <= 8.0
    again = bm.load(saved)
    assert again.get("upper.transform.tc").total_seconds() / 3600 == pytest.approx(float(tc.group(1)), rel=1e-5)


def one_line_after_warnings(stderr: str, words: str) -> bool:
    """The refusal is the last line and holds `words`; every line before it is a one-line warning."""
    *warned, last = stderr.splitlines() or [""]
    return words in last and all(line.startswith("warning: ") for line in warned)


# Two subbasins that drain nowhere: two outlets, and rain mapped by column.
PAIR = """
[north]
kind = "subbasin"
area_acres = 640.0
[north.loss]
initial_deficit = 0.5
max_deficit = 1.5
rate_in_per_hr = 0.1
time_to_dry = "P2D"
[north.transform]
tc = "PT3H"
storage_r = "PT2H"
"""
PAIR += PAIR.replace("north", "south")
HOURS = pd.date_range("2024-06-01", periods=6, freq="h")
WITHOUT_MATPLOTLIB = "<matplotlib hidden>"  # a runner flag, not a CLI argument


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Input files of the table below, by name; '{name}' in an argument becomes its path."""
    d = tmp_path_factory.mktemp("cli")
    frame = lambda index, **columns: pd.DataFrame(columns, index=pd.Index(index, name="time"))
    made = {
        "pair.toml": PAIR,
        "huge.toml": (DATA / "storm.toml").read_text().replace("tc = { hours = 4 }", "tc = { hours = 1e300 }"),
        "deep.toml": "a = " + "[" * 50_000 + "]" * 50_000 + "\n",
        "binary.toml": b"\x7fELF\x02\x01\xd0\x9c\xfe",
        "north.csv": frame(HOURS, north=[0.5] * 6),
        "rain.csv": frame(HOURS, rain=[0.5] * 6),
        "both.csv": frame(HOURS, north=[0.5] * 6, south=[0.2] * 6),
        "stray.csv": frame(HOURS, north=[0.5] * 6, south=[0.2] * 6, west=[0.0] * 6),
        "flood.csv": frame(pd.date_range("2024-06-01", periods=24, freq="h"), rain=[5.0] * 24),
        # 13 June can only be day-first; 1-5 February read month-first are a month apart.
        "dayfirst.csv": frame([f"13/06/2024 {h:02d}:00" for h in range(6)], rain=[0.5] * 6),
        "ambiguous.csv": frame([f"0{d}/02/2024" for d in range(1, 6)], rain=[0.5] * 5),
        "gauge.csv": frame(HOURS, flow=[1.0] * 6),
        "twogauges.csv": frame(HOURS, a=[1.0] * 6, b=[1.0] * 6),
        "lategauge.csv": frame(HOURS + pd.Timedelta(days=365), flow=[1.0] * 6),
        "afile": "not a folder",
    }
    for name, content in made.items():
        if isinstance(content, bytes):
            (d / name).write_bytes(content)
        elif isinstance(content, str):
            (d / name).write_text(content)
        else:
            content.to_csv(d / name)
    return {name: str(d / name) for name in made} | {"dir": str(d)}


RAIN, OBS = str(DATA / "storm_rain.csv"), str(DATA / "storm_gauge.csv")
TC = ["--param", "upper.transform.tc=2h:8h"]
# (arguments, exit status, a fragment of the one line on stderr)
CASES = [
    (["run", "missing.toml", "--precip", "x.csv"], 2, "missing.toml: no such basin file"),
    (["run", "{huge.toml}", "--precip", RAIN], 2, "error: "),  # a number too large for a duration
    (["run", "{deep.toml}", "--precip", RAIN], 2, "deep.toml"),
    (["run", "{binary.toml}", "--precip", RAIN], 2, "binary.toml: not a text file in UTF-8"),
    (["calibrate", *STORM, *GAUGE, "--param", "upper.transform.tcc=2h:8h"], 2, "upper.transform has no 'tcc'"),
    (["calibrate", *STORM, *GAUGE, "--param", "upper.transform.tc=8h:2h"], 2, "bounds out of order"),
    (["calibrate", *STORM, *GAUGE, "--param", "upper.transform.tc=2 hours:8h"], 2, "is not a duration"),
    (["calibrate", *STORM, *TC], 2, "give --precip RAIN.csv and --observed GAUGE.csv, or --event"),
    (["calibrate", *STORM, *GAUGE, "--event", RAIN, OBS, *TC], 2, "or --event for each event, not both"),
    (["run", *STORM, "--at", "sea"], 2, "--at sea: no such element"),
    (["run", *STORM, "--extend", "99999999999d"], 2, "too long for a duration"),
    (["run", *STORM, "--bogus"], 2, "unrecognized arguments: --bogus (see --help)"),
    (["run", *STORM, "--observed", "{twogauges.csv}"], 2, "needs exactly one value column, has 2"),
    (["run", *STORM, "--observed", "{dir}/none.csv"], 2, "none.csv: no such file"),
    # Outputs are checked before any work: never an input, always writable.
    (["run", *STORM, "--out", str(DATA / "storm.toml")], 2, "is also the basin file"),
    (["run", *STORM, "--out", RAIN], 2, "is also --precip"),
    (["run", *STORM, "--out", "{dir}", "--plot", "{dir}/f.png"], 2, "is a directory"),
    (["run", *STORM, "--out", "{dir}/f.png", "--plot", "{dir}/f.png"], 2, "is also --out"),
    (["calibrate", *STORM, *GAUGE, *TC, "--save", "{afile}/x.toml"], 2, "afile is not a directory"),
    ([WITHOUT_MATPLOTLIB, "run", *STORM, "--plot", "{dir}/f.png"], 2, "--plot needs matplotlib"),
    # Rain columns by header.
    (["run", "{pair.toml}", "--precip", "{north.csv}"], 2, "no rain column for subbasin south ("),
    (["run", "{pair.toml}", "--precip", "{stray.csv}"], 2, "columns 'west' name no subbasin"),
    (["run", "{pair.toml}", "--precip", "{both.csv}"], 0, ""),
    (["run", "{pair.toml}", "--precip", "{rain.csv}"], 0, ""),
    (["run", "{pair.toml}", "--precip", "{rain.csv}", "--observed", "{gauge.csv}"], 2, "--at is needed: the basin has 2 outlets"),
    (["run", "{pair.toml}", "--precip", "{rain.csv}", "--observed", "{gauge.csv}", "--at", "south"], 0, ""),
    # Dates: month-first unless --dayfirst, and never a reading only the other order explains.
    (["run", "{pair.toml}", "--precip", "{dayfirst.csv}"], 2, "read only day-first: run it with --dayfirst"),
    (["run", "{pair.toml}", "--precip", "{dayfirst.csv}", "--dayfirst"], 0, ""),
    (["run", "{pair.toml}", "--precip", "{ambiguous.csv}"], 2, "only when read day-first: run it with --dayfirst"),
    (["run", "{pair.toml}", "--precip", "{ambiguous.csv}", "--dayfirst"], 0, ""),
    (["run", "{pair.toml}", "--precip", "{rain.csv}", "--dayfirst"], 0, ""),
    # A run that fails is 1, not 2: 120 inches overtop the lake.
    (["run", str(DATA / "storm.toml"), "--precip", "{flood.csv}"], 1, "lake"),
]


@pytest.mark.parametrize("args, status, words", CASES, ids=[f"{i}:{c[2] or c[0][-1]}" for i, c in enumerate(CASES)])
def test_cli_statuses_and_one_line_messages(files, args, status, words):
    argv = [re.sub(r"\{([^}]+)\}", lambda m: files[m.group(1)], a) for a in args]
    hidden = argv[0] == WITHOUT_MATPLOTLIB
    proc = cli(*argv[hidden:], hide=("matplotlib",) if hidden else ())
    assert proc.returncode == status, proc.stderr
    if status:
        assert one_line_after_warnings(proc.stderr, words), proc.stderr
        assert not proc.stdout  # refused before any work, or failed before any output


def test_calibrate_several_events_shows_start_and_best():
    proc = cli(
        "calibrate", str(DATA / "storm.toml"), "--extend", "72h", "--at", "lake", *TC, "--event", RAIN, OBS,
        "--event", RAIN, OBS, "--objective", "peak_weighted_rmse", "--maxiter", "2", "--popsize", "4",
        "--no-polish", "--no-progress",
    )
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    head = re.search(r"\): peak_weighted_rmse ([\d.]+) cfs \(start ([\d.]+)\)$", out, re.MULTILINE)
    assert head and float(head.group(1)) <= float(head.group(2))  # never worse than the start
    assert re.search(r"^stopped: reached --maxiter generations$", out, re.MULTILINE)
    tables = re.findall(r"^event (\d) \(.*?\) at lake, 95 pairs, 0 NaN skipped:\n((?:  .*\n){10})", out, re.MULTILINE)
    assert [n for n, _ in tables] == ["1", "2"] and tables[0][1] == tables[1][1]  # the same storm twice
    rows = dict(re.findall(r"^  (\S.*?)\s{2,}(\S+ ?\S*)\s{2,}\S", tables[0][1], re.MULTILINE))
    assert set(rows) >= {"KGE", "NSE", "PBIAS (%)", "RSR", "RMSE (cfs)", "peak error (%)", "volume error (%)",
                         "peak-time error (h)", "Moriasi rating"}


def test_run_writes_flows_before_what_can_fail_after_it(tmp_path, files):
    # The gauge lies outside the run: the score fails, the flows are already on disk.
    out = tmp_path / "new" / "flows.csv"
    proc = cli("run", *STORM, "--observed", files["lategauge.csv"], "--at", "lake", "--out", str(out))
    assert proc.returncode == 2 and one_line_after_warnings(proc.stderr, "no value on the instants"), proc.stderr
    assert len(pd.read_csv(out)) == 24 + 72 + 1 and proc.stdout.startswith(f"flows written to {out}")


def test_a_closed_pipe_ends_quietly():
    proc = subprocess.Popen(
        [sys.executable, "-m", "basinkit_model", "run", *STORM], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    proc.stdout.close()  # the reader leaves before the first line, as `| head -0` would
    assert proc.wait(timeout=300) == 141
    assert proc.stderr.read() == b""


def test_ctrl_c_keeps_the_best_so_far(tmp_path):
    saved = tmp_path / "best.toml"
    proc = subprocess.Popen(
        [sys.executable, "-m", "basinkit_model", "calibrate", *STORM, *GAUGE, *TC, "--maxiter", "10000",
         "--save", str(saved)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    seen = ""
    while " runs" not in seen:  # the progress line: some runs are done
        char = proc.stderr.read(1)
        assert char, seen
        seen += char
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, seen + err
    last = (seen + err).replace("\r", "\n").strip().splitlines()[-1]
    assert "Traceback" not in err and re.match(r"interrupted after \d+ runs?: best kge 0\.\d+", last), last
    assert f"best basin so far written to {saved}" in last
    assert 2.0 <= bm.load(saved).get("upper.transform.tc").total_seconds() / 3600 <= 8.0


@pytest.mark.parametrize("command", ["run", "calibrate"])
def test_help_gives_every_option_a_default(command):
    proc = cli(command, "--help")
    assert proc.returncode == 0
    options = re.findall(r"^  (--[\w-]+)", proc.stdout, re.MULTILINE)
    assert len(options) >= (5 if command == "run" else 12)
    text = " ".join(proc.stdout.split())
    for option in options:
        described = re.search(re.escape(option) + r"\b.*?\((default|required)", text)
        assert described, option


def test_every_public_name_has_a_docstring():
    missing = []
    for name in bm.__all__:
        obj = getattr(bm, name)
        if inspect.isclass(obj) or inspect.isfunction(obj):
            if not (obj.__doc__ or "").strip():
                missing.append(name)
            for attr, member in vars(obj).items() if inspect.isclass(obj) else ():
                if not attr.startswith("_") and (inspect.isfunction(member) or isinstance(member, property)):
                    if not (member.__doc__ or "").strip():
                        missing.append(f"{name}.{attr}")
    assert missing == []


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_package_is_clean_under_mypy_strict(tmp_path):
    package = ROOT / "python" / "basinkit_model"
    proc = subprocess.run(
        # The cache outlives the run: pandas' stubs take most of a cold check.
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"), "--cache-dir", str(Path(tempfile.gettempdir()) / "basinkit-model-mypy"),
         str(package)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert (package / "py.typed").exists() and (Path(bm.__file__).parent / "py.typed").exists()


def test_plot_draws_a_png(tmp_path):
    pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    proc = cli("run", *STORM, *GAUGE, "--plot", str(tmp_path / "f.png"))
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "f.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


