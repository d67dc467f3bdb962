"""The C++ sources keep to the project's clang-format style."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def clang_format():
    exe = shutil.which("clang-format")
    if exe is None:
        pytest.skip("clang-format is not installed")
    return exe


def test_cpp_sources_are_clang_format_clean():
    exe = clang_format()
    files = sorted(str(p) for d in ("src", "tests/cpp", "benchmarks") for p in (ROOT / d).rglob("*.[ch]pp"))
    run = subprocess.run([exe, "--dry-run", "--Werror", *files], capture_output=True, text=True, cwd=ROOT)
    assert run.returncode == 0, run.stderr[:4000]
