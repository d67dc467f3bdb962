"""Published results of the unit-hydrograph transforms, read from tests/data/published."""

from __future__ import annotations

import tomllib
from datetime import timedelta
from pathlib import Path

import pytest

np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("pandas", reason="basinkit_model needs pandas")

from basinkit_model import _native, methods  # noqa: E402
from basinkit_model._transform_methods import nrcs_shape  # noqa: E402

HERE = Path(__file__).parent / "data" / "published"
FILES = ["nrcs_uh.toml", "snyder_uh.toml", "user_uh.toml"]
EXAMPLES = [
    pytest.param(ex, id=f"{name}:{ex['name']}")
    for name in FILES
    for ex in tomllib.loads((HERE / name).read_text())["example"]
]


def _nrcs(ex: dict) -> None:
    tabulated, m = nrcs_shape(ex["peak_rate_factor"])
    u = np.frombuffer(_native.nrcs_uh([1.0], ex["step_s"], ex["unit_volume"], timedelta(seconds=ex["lag_s"]), tabulated, m))
    pub, tol = ex["published"], ex["tolerance"]
    dt = ex["step_s"]
    assert dt * u.sum() == pytest.approx(ex["unit_volume"], rel=1e-13)
    assert u.max() == pytest.approx(pub["peak"], rel=tol["peak_rel"])
    assert abs(int(np.argmax(u)) * dt - pub["time_to_peak_s"]) <= dt / 2
    k_peak = round(pub["time_to_peak_s"] / dt)
    for key, at in (("ratio_at_2tp", 2 * k_peak), ("ratio_at_half_tp", k_peak // 2)):
        if key in pub:
            assert u[at] / u[k_peak] == pytest.approx(pub[key], abs=tol["ratio_abs"])


def _snyder(ex: dict) -> None:
    dt = ex["step_s"]
    lag = timedelta(hours=ex["lag_h"])
    u = np.frombuffer(
        _native.snyder_uh([1.0], dt, ex["unit_volume"], ex["area"], lag, ex["peaking_coefficient"], *ex["coefficients"])
    )
    pub, tol = ex["published"], ex["tolerance"]
    assert dt * u.sum() == pytest.approx(ex["unit_volume"], rel=1e-13)
    # The published polygon: the peak tR / 2 + tpR after the excess starts, the widths a third before it.
    peak_h, q = dt / 7200 + pub["tpr_h"], pub["peak"]
    times = [0.0, peak_h - pub["w50_h"] / 3, peak_h - pub["w75_h"] / 3, peak_h,
             peak_h + 2 * pub["w75_h"] / 3, peak_h + 2 * pub["w50_h"] / 3, pub["tb_h"]]
    polygon = np.interp(np.arange(len(u)) * dt / 3600, times, [0.0, q / 2, 0.75 * q, q, 0.75 * q, q / 2, 0.0])
    assert np.abs(u - polygon).max() <= tol["ordinate"]
    # The base time where the last limb, through the last two ordinates above zero, meets zero.
    last = int(np.flatnonzero(u)[-1])
    tb_h = (last + u[last] / (u[last - 1] - u[last])) * dt / 3600
    assert abs(tb_h - pub["tb_h"]) <= tol["tb_h"]
    # The layer's own SI call (10 mm of excess) runs the US coefficients: a little more peak.
    layer = methods.snyder_unit_hydrograph(
        [10.0], timedelta(seconds=dt), ex["area"], lag, ex["peaking_coefficient"], units="si"
    )
    assert len(layer) == len(u) and np.abs(layer - polygon).max() <= tol["layer_ordinate"]


def _user(ex: dict) -> None:
    direct = methods.user_unit_hydrograph(ex["excess_in"], timedelta(seconds=ex["step_s"]), ex["area_acres"], ex["ordinates"])
    want = np.array(ex["published"]["direct_runoff"])
    # Nothing is cut off: the runoff runs on to the unit hydrograph's closing zero.
    assert not direct[len(want) :].any()
    direct = direct[: len(want)]
    np.testing.assert_allclose(direct, want, rtol=ex["tolerance"]["rel"], atol=0.0)
    # The same in SI: mm of excess, km^2, m^3/s per mm, m^3/s out.
    mm = methods.user_unit_hydrograph(
        np.multiply(ex["excess_in"], 25.4), timedelta(seconds=ex["step_s"]), ex["area_acres"] * 0.0040468564224,
        np.multiply(ex["ordinates"], 0.00111483648), units="si",
    )[: len(want)]
    np.testing.assert_allclose(mm, want * 0.028316846592, rtol=ex["tolerance"]["rel"], atol=0.0)


def _nrcs_table(ex: dict) -> None:
    dt = ex["step_s"]
    u = methods.nrcs_unit_hydrograph(
        [1.0], timedelta(seconds=dt), ex["area_acres"], timedelta(hours=ex["lag_h"]), ex["peak_rate_factor"]
    )
    pub = ex["published"]
    book = np.interp(np.arange(len(u)) * dt / 3600 / pub["rise_h"], pub["t_over_tr"], pub["q_cfs"])
    assert np.abs(u - book).max() <= ex["tolerance"]["cfs"]


def _snyder_peak(ex: dict) -> None:
    dt = ex["step_s"]
    u = methods.snyder_unit_hydrograph(
        [1.0], timedelta(seconds=dt), ex["area_acres"], timedelta(hours=ex["lag_h"]), ex["peaking_coefficient"]
    )
    pub, tol = ex["published"], ex["tolerance"]
    assert abs(u.max() - pub["peak"]) <= tol["peak"]
    assert abs(int(np.argmax(u)) * dt / 3600 - pub["time_to_peak_h"]) <= tol["time_to_peak_h"]


CHECKS = {
    "nrcs_uh": _nrcs,
    "nrcs_uh_table": _nrcs_table,
    "snyder_uh": _snyder,
    "snyder_peak": _snyder_peak,
    "user_uh": _user,
}


@pytest.mark.parametrize("ex", EXAMPLES)
def test_published_example(ex):
    for key in ("source", "edition", "example", "page", "units"):
        assert ex[key], key
    CHECKS[ex["method"]](ex)
