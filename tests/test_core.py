"""Builds the interpreter-free cores and their C++ checks with CMake (the
module's flags, warnings as errors), runs the checks with CTest, and replays
the stored Clark outputs on every convolution kernel.

The build directory, build/checks (or $BASINKIT_CHECKS_BUILD), is kept
between runs so that a rerun only compiles what changed.
"""

import json
import os
import platform
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# One directory per toolchain: the interpreter scripts set their own.
BUILD = Path(os.environ.get("BASINKIT_CHECKS_BUILD") or ROOT / "build" / "checks")
DATA = json.loads((ROOT / "tests" / "data" / "reference_outputs.json").read_text())
CLARK = [c for c in DATA["cases"] if c["function"] == "rainfall_transform.run_clark_uh"]


def tool_env():
    # Under scripts/sanitize.sh the interpreter runs with the ASan runtime
    # preloaded; the compilers and the plain checks must not inherit it.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def build():
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    env = tool_env()
    configure = [cmake, "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                 "-DBASINKIT_MODULE=OFF", "-DBASINKIT_CHECKS=ON",
                 "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON"]
    # The generator is chosen once, when the directory is first configured.
    if not (BUILD / "CMakeCache.txt").exists() and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD), "-j2"], check=True, env=env)
    return env


def test_core_checks(build):
    ctest = shutil.which("ctest")
    assert ctest is not None
    run = subprocess.run([ctest, "--test-dir", str(BUILD), "--output-on-failure"],
                         capture_output=True, text=True, env=build)
    print(run.stdout, run.stderr)
    assert run.returncode == 0, run.stdout[-4000:]
    assert "100% tests passed" in run.stdout


def seconds(td):
    d, s, us = td["td"]
    return d * 86400 + s, us * 1000


def clark_line(case):
    series, area, tc, r = case["args"]
    data, step, _kind = series["args"]
    step_s, _ = seconds(step)
    values = data["seq"]
    return " ".join(map(str, (step_s, area["f"], *seconds(tc), *seconds(r), len(values), *values)))


def has_avx2():
    if platform.machine() not in ("x86_64", "AMD64"):
        return False
    try:
        return " avx2" in Path("/proc/cpuinfo").read_text()
    except OSError:
        return False


@pytest.mark.parametrize("kernel", ["fastest", "portable"])
def test_clark_reference_outputs_on_every_kernel(build, kernel):
    assert len(CLARK) >= 19
    cases = "\n".join(clark_line(c) for c in CLARK) + "\n"
    run = subprocess.run([str(BUILD / "clark_replay"), kernel], input=cases,
                         capture_output=True, text=True, env=build, check=True)
    head, *rows = run.stdout.splitlines()
    expected_kernel = "avx2" if kernel == "fastest" and has_avx2() else "portable"
    assert head == f"kernel {expected_kernel}"
    assert len(rows) == len(CLARK)
    for case, row in zip(CLARK, rows):
        status, *values = row.split()
        assert status == "ok", f"{case['name']}: {row}"
        assert values == case["expected"]["data"], case["name"]
