"""The benchmark suite's agreement checks on small inputs, without timing.

Each check runs basinkit and a peer (numba, NumPy, plain Python, hydroeval,
HydroErr) on the same input and fails when they disagree: bit for bit where
both evaluate in the same order, within a stated tolerance otherwise. Checks
whose peer is not installed are skipped (`pip install .[bench]`). The
plain-Python side is the reference model of tests/reference.

    python -m pytest -q benchmarks/test_agreement.py
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")

BENCH = Path(__file__).resolve().parent

import workloads as w  # noqa: E402


def needs(*modules):
    for m in modules:
        pytest.importorskip(m)


@pytest.mark.parametrize("sub_reaches", [1, 5, 11])
def test_muskingum_matches_numba_bit_for_bit(sub_reaches):
    needs("numba")
    figures = w.check_muskingum(w.muskingum_case(5_000, sub_reaches))
    assert figures["values"] == 5_000


def test_baseflow_matches_numba_bit_for_bit():
    needs("numba")
    assert w.check_baseflow(w.baseflow_case(5_000))["values"] == 5_000


def test_level_pool_matches_numba_and_python_bit_for_bit():
    needs("numba")
    figures = w.check_level_pool(w.level_pool_case(60), python_too=True)
    assert figures["spillway_flows"], "the event must reach the spillway crest"
    assert figures["internal_steps"] == 59 * 3600 + 1  # 61 hourly values


def test_level_pool_matches_python_bit_for_bit():
    case = w.level_pool_case(30)
    curve, outlets = case.basinkit_args()
    w.assert_same_routing(
        w.level_pool_basinkit(case, curve, outlets),
        w.level_pool_python(case, case.python_outlets()),
        "plain Python",
    )


@pytest.mark.parametrize("dry", [0.0, 0.6])
def test_clark_matches_numpy_convolution(dry):
    figures = w.check_clark(w.clark_case(3_000, dry))
    assert figures["ordinates"] > 50, "the recession follows the translation ordinates"


def test_kge_matches_hydroeval_and_hydroerr():
    needs("hydroeval", "HydroErr")
    w.check_kge(w.kge_case(20_000))


def test_kge_definitions_part_where_guards_apply():
    needs("hydroeval", "HydroErr")
    values = w.kge_definition_differences()
    assert values["basinkit"] == pytest.approx(-816494.5809283386, rel=1e-15)
    assert np.isnan(values["HydroErr"]) and not np.isfinite(values["hydroeval"])


def test_conversion_round_trips():
    w.check_conversion(10_000)


def test_numba_kernels_carry_no_fused_multiply_add():
    numba = pytest.importorskip("numba")
    import numba_peers

    w.check_muskingum(w.muskingum_case(100, 2))
    assert numba_peers.assert_no_fma() >= 1

    # The detector itself sees contraction where fastmath allows it.
    @numba.njit(fastmath=True)
    def contracted(a, b, c):
        s = 0.0
        for i in range(a.size):
            s += a[i] * b[i] + c[i]
        return s

    x = np.ones(8)
    contracted(x, x, x)
    asm = contracted.inspect_asm(contracted.signatures[0])
    cpuinfo = Path("/proc/cpuinfo")
    if not cpuinfo.exists() or " fma" not in cpuinfo.read_text():
        pytest.skip("processor without fused multiply-add")
    assert numba_peers._FMA.search(asm), "the FMA detector missed a contracted kernel"


def test_bit_check_catches_a_last_bit_difference():
    a = np.linspace(0.0, 1.0, 11)
    b = a.copy()
    b[7] = np.nextafter(b[7], 2.0)
    with pytest.raises(AssertionError, match="1 of 11 values differ"):
        w.assert_same_bits(a, b, "probe")
    with pytest.raises(AssertionError, match="values against"):
        w.assert_same_bits(a, a[:-1], "probe")


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="reads /proc")
def test_level_pool_memory_stays_within_records():
    n = 200_000
    out = subprocess.run(
        [sys.executable, str(BENCH / "memory_probe.py"), str(n)],
        check=True, capture_output=True, text=True,
    )
    m = json.loads(out.stdout)
    assert m["records"] == n - 1
    assert m["call_peak_bytes"] <= m["expected_call_bytes"] + 8 * 2**20, m
