"""basinkit_model methods: declared fields drive checks, files, paths and listings; a new method is one class."""

from __future__ import annotations

import math
import random
import subprocess
import sys
import tomllib
from dataclasses import dataclass
from datetime import timedelta

import pytest

pd = pytest.importorskip("pandas", reason="basinkit_model needs pandas (no wheel for this interpreter?)")
np = pytest.importorskip("numpy", reason="basinkit_model needs NumPy")
pytest.importorskip("scipy", reason="basinkit_model needs SciPy (no wheel for this interpreter?)")
tomli_w = pytest.importorskip("tomli_w", reason="basinkit_model needs tomli-w")

import basinkit_model as bm  # noqa: E402
from basinkit_model import _checks, _registry  # noqa: E402
from basinkit_model._methods import Loss, LossSplit  # noqa: E402
from basinkit_model._registry import Count, Curve, Duration, Number, Series, declare, to_table  # noqa: E402
from basinkit_model._transform_methods import Flag, Ordinates  # noqa: E402
from model_basins import CURVE_E, CURVE_S, H, outlets, storm_rain, subbasin  # noqa: E402


@dataclass(frozen=True)
class LostShare(Loss, tag="test_lost_share"):
    """A fixed share of every interval's rain is lost (tests only)."""

    share: float = declare(Number("-", "share of the rain lost", low=0.0, high=1.0))

    def split(self, rain, clock):
        loss = rain * self.share
        return LossSplit(rain - loss, loss, {})


def test_a_new_method_is_one_class(tmp_path):
    b = bm.Basin([subbasin(loss=LostShare(0.4), downstream="channel"), bm.Reach("channel", bm.Muskingum(2 * H, 0.2))])
    b.save(tmp_path / "b.toml")
    assert 'method = "test_lost_share"' in (tmp_path / "b.toml").read_text()
    again = bm.load(tmp_path / "b.toml")
    assert again == b and again.get("upper.loss.share") == 0.4
    assert again.with_values({"upper.loss.share": 0.25}).element("upper").loss == LostShare(0.25)
    with pytest.raises(ValueError, match="LostShare.share must be at most 1.0"):
        LostShare(1.5)

    rain = storm_rain()
    run = b.run(rain, extend=48 * H)
    upper = run.element("upper")
    assert np.allclose(upper["excess"].iloc[:-1], rain.reindex(upper.index[:-1]).fillna(0.0) * 0.6)
    assert abs(run.balance.loc["upper", "residual_pct"]) < 1e-9

    observed = run.flows["channel"]
    fit = bm.calibrate(
        b.with_values({"upper.loss.share": 0.1}), rain, observed, "channel", {"upper.loss.share": (0.0, 0.9)},
        seed=1, maxiter=10, popsize=5, extend=48 * H, objective="rmse",
    )
    assert abs(fit.values["upper.loss.share"] - 0.4) < 0.01


# ---------------------------------------------------------------- every registered method


def _good(field):
    """A valid value of a declared field, and a second valid one no larger."""
    if isinstance(field, Number):
        low = field.low if field.low is not None else 0.0
        high = field.high if field.high is not None else low + 2.0
        return (low + high) / 2.0, low + (high - low) / 4.0
    if isinstance(field, Duration):
        return field.minimum + 2 * H, field.minimum + H
    if isinstance(field, Count):
        return field.low + 1, field.low
    if isinstance(field, Curve):
        return (1.0, 2.0, 3.0), (1.0, 2.0, 4.0)
    if isinstance(field, Ordinates):
        return (0.0, 2.0, 1.0), None
    if isinstance(field, Flag):
        return True, False
    assert isinstance(field, Series)
    idx = pd.date_range("2024-06-01", periods=24 + 6 + 1, freq="h")
    return pd.Series(np.linspace(1.0, 2.0, len(idx)), index=idx), None


def _bad(field):
    """A value its checks refuse."""
    if isinstance(field, Number):
        return math.nan
    if isinstance(field, Duration):
        return field.minimum - timedelta(seconds=1)
    if isinstance(field, Count):
        return field.low - 1
    if isinstance(field, Curve):
        return (2.0, 1.0)
    if isinstance(field, Ordinates):
        return (1.0, 2.0)
    if isinstance(field, Flag):
        return "yes"
    return pd.Series([1.0, math.nan], index=pd.date_range("2024-06-01", periods=2, freq="h"))


def _basin(method):
    """A small basin holding `method` where its role goes, and the path of the method's table."""
    role = method.role.name
    if role == "reservoir method":
        lake = bm.Reservoir("lake", CURVE_E, CURVE_S, outlets(), 106.0, method=method.tag)
        return bm.Basin([subbasin(downstream="lake"), lake]), None
    parts = {"loss": "loss", "transform": "transform"}
    if role in parts:
        return bm.Basin([subbasin(downstream=None, **{parts[role]: method})]), f"upper.{parts[role]}"
    if role == "baseflow":
        return bm.Basin([subbasin(downstream=None, baseflow={"layer": method})]), "upper.baseflow.layer"
    if role == "routing":
        return bm.Basin([subbasin(), bm.Reach("channel", method)]), "channel.routing"
    assert role == "outlet"
    lake = bm.Reservoir("lake", CURVE_E, CURVE_S, {"o": method}, 106.0)
    return bm.Basin([subbasin(downstream="lake"), lake]), "lake.outlets.o"


METHODS = [
    pytest.param(cls, id=f"{role.name}:{tag}")
    for role in _registry.roles()
    for tag, cls in _registry.methods(role.name).items()
]


# Optional fields a method needs left unset in its example (one of two alternatives).
UNSET = {"recession": {"threshold_q"}}


@pytest.mark.parametrize("cls", METHODS)
def test_declared_fields_drive_checks_files_and_paths(tmp_path, cls):
    unset = UNSET.get(cls.tag, set())
    declared = list(cls.declared())
    method = cls(**{name: _good(field)[0] for name, field, _ in declared if name not in unset})
    basin, at = _basin(method)
    again = bm.loads(basin.to_toml())
    assert again == basin and again.to_toml() == basin.to_toml()
    if at is None:  # a reservoir method has no fields
        assert declared == [] and again.element("lake").method == cls.tag
        return
    # Every field reads at its path; calibratable ones change together, as a calibration sets them.
    assert {n: basin.get(f"{at}.{n}") for n, _, _ in declared} == method.values()
    changes = {f"{at}.{n}": _good(f)[1] for n, f, _ in declared if f.calibratable and n not in unset}
    changed = basin.with_values(changes)
    assert {p: changed.get(p) for p in changes} == changes and bm.loads(changed.to_toml()) == changed
    doc = tomllib.loads(basin.to_toml())
    *parents, last = at.split(".")
    node = doc
    for key in parents:
        node = node[key]
    for name, field, _ in declared:
        with pytest.raises((_checks.FieldError, _checks.FieldTypeError)) as info:
            cls(**{**method.values(), name: _bad(field)})
        assert info.value.field == name or info.value.field.startswith(f"{name}[")
        assert str(info.value).startswith(f"{cls.__name__}.{name}")
        # A wrong type in a file is reported at the field's key.
        node[last] = dict(to_table(method), **{name: "bad"})
        with pytest.raises(bm.BasinFileError, match=f"key '{at.split('.', 1)[1]}.{name}': "):
            bm.loads(tomli_w.dumps(doc))


def test_listings_name_every_method_and_field():
    text = _registry.reference_markdown()
    proc = subprocess.run(
        [sys.executable, "-m", "basinkit_model", "methods"], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    for role in _registry.roles():
        for tag, cls in _registry.methods(role.name).items():
            assert f"### `{tag}`: `{cls.__name__}`" in text
            if tag != LostShare.tag:  # registered in this process only
                assert f"  {tag} ({cls.__name__}): " in proc.stdout
            for name, field, _ in cls.declared():
                assert f"| `{name}` | {field.unit} | {field.bounds()} |" in text
    assert "    x                  unit -         bounds 0 to 0.5" in proc.stdout


# ---------------------------------------------------------------- computation order


def _sweeps(basin):
    """The order rule as first written: each sweep places every element whose inflows are placed."""
    order, placed, waiting = [], set(), list(basin.names)
    while waiting:
        ready = [n for n in waiting if all(u in placed for u in basin.upstream(n))]
        order += ready
        placed.update(ready)
        waiting = [n for n in waiting if n not in placed]
    return tuple(order)


@pytest.mark.parametrize("seed", range(20))
def test_computation_order_is_the_sweep_order(seed):
    rng = random.Random(seed)
    names = [f"e{i}" for i in range(rng.randint(2, 40))]
    # A random tree: every element drains to a later one, or nowhere.
    down = {n: (names[rng.randint(i + 1, len(names) - 1)] if i < len(names) - 1 and rng.random() < 0.8 else None)
            for i, n in enumerate(names)}
    has_inflow = {d for d in down.values() if d is not None}
    elements = [
        bm.Junction(n, down[n]) if n in has_inflow else subbasin(n, down[n], baseflow=None) for n in names
    ]
    rng.shuffle(elements)
    basin = bm.Basin(elements)
    assert basin.order() == _sweeps(basin)
