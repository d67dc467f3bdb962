"""Published results of the unit-hydrograph transforms, read from tests/data/published."""

from __future__ import annotations

import tomllib
from datetime import timedelta
from pathlib import Path

import pytest

np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("pandas", reason="basinkit_model needs pandas")

from basinkit_model import _native  # noqa: E402
from basinkit_model._transform_methods import nrcs_shape  # noqa: E402

HERE = Path(__file__).parent / "data" / "published"
FILES = ["nrcs_uh.toml"]
EXAMPLES = [
    pytest.param(ex, id=f"{name}:{ex['name']}")
    for name in FILES
    for ex in tomllib.loads((HERE / name).read_text())["example"]
]


def _unit_hydrograph(ex: dict) -> np.ndarray:
    if ex["method"] == "nrcs_uh":
        tabulated, m = nrcs_shape(ex["peak_rate_factor"])
        packed = _native.nrcs_uh([1.0], ex["step_s"], ex["unit_volume"], timedelta(seconds=ex["lag_s"]), tabulated, m)
        return np.frombuffer(packed)
    raise AssertionError(f"unknown method {ex['method']}")


@pytest.mark.parametrize("ex", EXAMPLES)
def test_published_example(ex):
    for key in ("source", "edition", "example", "page", "units"):
        assert ex[key], key
    u = _unit_hydrograph(ex)
    pub, tol = ex["published"], ex["tolerance"]
    dt = ex["step_s"]
    assert dt * u.sum() == pytest.approx(ex["unit_volume"], rel=1e-13)
    assert u.max() == pytest.approx(pub["peak"], rel=tol["peak_rel"])
    assert abs(int(np.argmax(u)) * dt - pub["time_to_peak_s"]) <= dt / 2
    k_peak = round(pub["time_to_peak_s"] / dt)
    for key, at in (("ratio_at_2tp", 2 * k_peak), ("ratio_at_half_tp", k_peak // 2)):
        if key in pub:
            assert u[at] / u[k_peak] == pytest.approx(pub[key], abs=tol["ratio_abs"])
