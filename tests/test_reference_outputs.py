"""Every model against stored outputs, bit for bit.

tests/data/reference_outputs.json holds fixed inputs and the outputs a known
build gave for them as IEEE-754 bit patterns (written by
`python -m reference.make_outputs`; read through reference.outputs).
A change to any core that alters a result, even in its last bit or the sign
of a zero, fails here. Regenerate the file only for a deliberate change of
results.
"""

import json
import math
from pathlib import Path

import pytest

from reference import outputs as ref

ROOT = Path(__file__).resolve().parent.parent

DATA = json.loads((ROOT / "tests" / "data" / "reference_outputs.json").read_text())
CASES = {c["name"]: c for c in DATA["cases"]}


def test_file_format_and_coverage():
    assert DATA["format"] == ref.FORMAT
    functions = {c["function"] for c in DATA["cases"]}
    assert functions == {
        "rainfall_loss.run_deficit_and_constant",
        "rainfall_transform.run_clark_uh",
        "baseflow.run_linear_reservoir",
        "reach.run_muskingum_routing",
        "metrics.calculate_kge",
        "reservoir.run_level_pool_routing",
    }


@pytest.mark.parametrize("name", sorted(CASES))
def test_outputs_are_bit_identical(name):
    case = CASES[name]
    difference = ref.first_difference(case["expected"], ref.run_case(case))
    assert difference is None, f"{name}: {difference}"


def test_codec_keeps_bit_patterns():
    for x in (0.0, -0.0, math.nan, -math.inf, 5e-324, 1.0000000000000002):
        back = ref.unbits(ref.fbits(x))
        assert ref.fbits(back) == ref.fbits(x)
    assert ref.fbits(0.0) != ref.fbits(-0.0)


def test_comparison_sees_a_last_bit_change():
    # The check itself must be able to fail: flip the lowest bit of one value.
    case = CASES["muskingum_1"]
    expected = case["expected"]
    changed = json.loads(json.dumps(expected))
    h = changed["data"][250]
    changed["data"][250] = f"{int(h, 16) ^ 1:016x}"
    assert ref.first_difference(expected, changed) is not None
    assert ref.first_difference(expected, ref.run_case(case)) is None
