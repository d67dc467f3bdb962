"""basinkit_model's command line on the bundled storm files; its types and docstrings."""

from __future__ import annotations

import importlib.util
import inspect
import re
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


def cli(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "basinkit_model", *args], capture_output=True, text=True, timeout=300, cwd=cwd
    )


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


@pytest.mark.parametrize(
    "args, words",
    [
        (["run", "missing.toml", "--precip", "x.csv"], "missing.toml"),
        (["calibrate", *STORM, *GAUGE, "--param", "upper.transform.tcc=2h:8h"], "upper.transform has no 'tcc'"),
        (["calibrate", *STORM, *GAUGE, "--param", "upper.transform.tc=8h:2h"], "bounds out of order"),
        (["calibrate", *STORM, *GAUGE, "--param", "upper.transform.tc=2 hours:8h"], "is not a duration"),
        (["run", *STORM, "--at", "sea"], "--at sea: no such element"),
    ],
)
def test_cli_errors_are_one_line_messages(args, words):
    proc = cli(*args)
    assert proc.returncode != 0 and "Traceback" not in proc.stderr
    assert words in proc.stderr


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


