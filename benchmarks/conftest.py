"""Options of the benchmark suite; run it through benchmarks/run.py."""

import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

FIGURES = {}


def pytest_addoption(parser):
    group = parser.getgroup("basinkit benchmarks")
    group.addoption("--bench-quick", action="store_true", help="small inputs, few rounds")
    group.addoption("--bench-figures", default=None, help="write agreement/memory figures here")
    group.addoption(
        "--bench-malloc",
        choices=("default", "keep"),
        default="default",
        help="keep: glibc keeps freed memory for reuse (mallopt), so no side pays page faults",
    )


def pytest_configure(config):
    if config.getoption("--bench-malloc", "default") == "keep":
        keep_freed_memory()


def keep_freed_memory():
    """Freed blocks stay with the process: large blocks come from the heap
    (up to 32 MiB) and the heap is not trimmed below 1 GiB, so reused memory
    is already mapped. glibc only."""
    import ctypes
    import ctypes.util

    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    m_trim_threshold, m_mmap_threshold = -1, -3
    ok = libc.mallopt(m_mmap_threshold, 32 * 2**20) and libc.mallopt(m_trim_threshold, 2**30)
    if not ok:
        raise RuntimeError("mallopt refused the settings")


@pytest.fixture(scope="session")
def quick(request):
    return request.config.getoption("--bench-quick")


@pytest.fixture(scope="session")
def figures():
    return FIGURES


def pytest_sessionfinish(session, exitstatus):
    path = session.config.getoption("--bench-figures")
    if path:
        Path(path).write_text(json.dumps(FIGURES, indent=2, default=str))
