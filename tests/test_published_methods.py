"""Published and textbook examples of the design storms, recession baseflow and lag routing, read from tests/data/published."""

from __future__ import annotations

import tomllib
from datetime import timedelta
from pathlib import Path

import pytest

np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("pandas", reason="basinkit_model needs pandas")

from basinkit_model import methods, storms  # noqa: E402

HERE = Path(__file__).parent / "data" / "published"
FILES = ["design_storms.toml", "recession.toml", "lag.toml"]
EXAMPLES = [
    pytest.param(ex, id=f"{name}:{ex['name']}")
    for name in FILES
    for ex in tomllib.loads((HERE / name).read_text())["example"]
]
START = "2024-06-01 00:00"


def _balanced(ex: dict) -> None:
    step, n = timedelta(minutes=ex["step_min"]), ex["duration_min"] // ex["step_min"]
    c, e, f = ex["idf"]["c"], ex["idf"]["e"], ex["idf"]["f"]
    # Depth (in) of a duration of k steps from the IDF curve, in/h times hours.
    depths = {k * step: c / ((k * ex["step_min"]) ** e + f) * (k * ex["step_min"] / 60) for k in range(1, n + 1)}
    rain = storms.balanced(depths, START, step).to_numpy()
    pub, tol = ex["published"], ex["tolerance"]
    assert len(rain) == n
    # The blocks, largest first, are the published increments ...
    assert np.abs(np.sort(rain)[::-1] - pub["block_in"]).max() <= tol["block_in"]
    # ... and the wettest window of every duration holds the published depth.
    cum = np.concatenate([[0.0], np.cumsum(rain)])
    wettest = [max(cum[i + k] - cum[i] for i in range(n - k + 1)) for k in range(1, n + 1)]
    assert np.abs(np.array(wettest) - pub["depth_in"]).max() <= tol["depth_in"]
    # Largest in the interval ending at mid-storm, the others alternately right and left of it.
    order = np.argsort(-rain, kind="stable")
    assert list(order) == ex["slots"]


def _pattern(ex: dict) -> None:
    step = timedelta(minutes=ex["step_min"])
    curve = {timedelta(hours=h): f for h, f in zip(ex["hours"], ex["fractions"], strict=True)}
    depth = ex["total_depth_in"]
    rain = storms.pattern(depth, curve, START, step, timedelta(hours=ex["hours"][-1]))
    pub, tol = ex["published"], ex["tolerance"]
    cum = np.concatenate([[0.0], np.cumsum(rain.to_numpy())])
    per_hour = round(timedelta(hours=1) / step)
    for h, f in curve.items():
        assert abs(cum[round(h / step)] - depth * f) <= tol["mass_in"] * depth, h
    hourly = cum[per_hour:] - cum[:-per_hour]
    assert hourly.max() == pytest.approx(pub["wettest_hour_in"], abs=tol["wettest_hour_in"])
    assert int(hourly.argmax()) * step == timedelta(hours=pub["wettest_hour_start_h"])
    assert rain.index[0] == np.datetime64("2024-06-01T00:00") and rain.index[1] - rain.index[0] == step


def _recession(ex: dict) -> None:
    step = timedelta(hours=ex["step_h"])
    per_day = round(timedelta(days=1) / step)
    direct = np.zeros(ex["days"] * per_day + 1)
    base, crossing = methods.recession(
        direct, step, ex["initial_q"], ex["recession_constant"], threshold_q=0.0, units="si"
    )
    assert crossing is None
    pub = ex["published"]
    got = base[np.array(pub["day"]) * per_day]
    np.testing.assert_allclose(got, pub["flow"], rtol=ex["tolerance"]["rel"], atol=0.0)


def _lag(ex: dict) -> None:
    out = methods.lag(ex["inflow"], timedelta(hours=ex["step_h"]), timedelta(hours=ex["lag_h"]))
    np.testing.assert_allclose(out, ex["published"]["outflow"], rtol=0.0, atol=ex["tolerance"]["abs"])


CHECKS = {"balanced": _balanced, "pattern": _pattern, "recession": _recession, "lag": _lag}


@pytest.mark.parametrize("ex", EXAMPLES)
def test_published_example(ex):
    for key in ("source", "edition", "example", "page", "units"):
        assert ex[key], key
    CHECKS[ex["method"]](ex)
