"""Puts tests/ on the import path, so that the benchmarks can use the plain
Python reference models of tests/reference (`import reference_path` first)."""

import sys
from pathlib import Path

TESTS = str(Path(__file__).resolve().parent.parent / "tests")
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)
