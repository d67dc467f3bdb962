"""Builds the interpreter-free numerical cores with their C++ checks and runs them."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"


def core_sources():
    # Binding files end in _py.cpp; everything else under src/ is plain C++.
    return sorted(str(p) for p in SRC.rglob("*.cpp") if not p.name.endswith("_py.cpp"))


def test_cores_do_not_include_python():
    offenders = []
    for p in list(SRC.rglob("*.cpp")) + list(SRC.rglob("*.hpp")):
        if p.stem.endswith("_py"):
            continue
        if "Python.h" in p.read_text():
            offenders.append(str(p.relative_to(ROOT)))
    assert offenders == []


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")
def test_core_checks(tmp_path):
    exe = tmp_path / "core_checks"
    cxx = os.environ.get("CXX", "g++")
    cmd = [
        cxx, "-std=c++23", "-O1", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
        f"-I{SRC}", f"-I{ROOT / 'tests' / 'cpp'}",
        *core_sources(), *sorted(str(p) for p in (ROOT / "tests" / "cpp").glob("*.cpp")),
        "-o", str(exe),
    ]
    subprocess.run(cmd, check=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    print(run.stdout, run.stderr)
    assert run.returncode == 0, run.stderr
