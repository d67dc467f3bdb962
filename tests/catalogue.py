"""One catalogue of valid calls: every public function and class of basinkit,
each with a small call and, where its work can grow without its input, a
large one that runs for seconds.

An entry is data (its series generator, the (length, work) of its small and
large calls) and a builder (`make(values, work)` -> argument objects, `call`
on them). The leak, thread, interrupt, large-buffer and fuzz tests build
their calls from here, so a new entry point is added once.
"""

import math
from dataclasses import dataclass
from datetime import timedelta
from typing import Any, Callable

import numpy as np

import basinkit
from cases import CTS, HOUR, ITS, LR, RU

SECOND = timedelta(seconds=1)
LONGEST_STEP = 2**31 - 1  # seconds: the longest step a series or reservoir keeps


def flow_values(n, seed=0):
    """Discharge-like values; the first k of n are the values for k."""
    return (100.0 + 900.0 * np.random.default_rng(seed).random(n)).tolist()


def rain_values(n, seed=0):
    """Depths, about half of them zero; the first k of n are the values for k."""
    u = np.random.default_rng(seed).random((n, 2))
    return np.where(u[:, 1] < 0.5, 0.0, 0.1 * u[:, 0] ** 3).tolist()


@dataclass(frozen=True)
class Entry:
    name: str
    data: Callable[[int, int], list]
    make: Callable[[list, int], dict]
    call: Callable[[dict], Any]
    small: tuple[int, int]
    # (length, work) of a call that keeps the module busy for seconds.
    large: tuple[int, int] | None = None
    # The call changes its arguments: never share them between threads.
    mutates: bool = False

    def args(self, n=None, work=None, seed=0):
        n = self.small[0] if n is None else n
        return self.make(self.data(n, seed), self.small[1] if work is None else work)

    def run(self, args):
        return plain(self.call(args))


def plain(result):
    """A result as nested tuples of plain values, so that results compare."""
    if isinstance(result, (CTS, ITS)):
        return tuple(result.data)
    if isinstance(result, dict):
        return tuple((k, plain(v)) for k, v in sorted(result.items()))
    if isinstance(result, (list, tuple)):
        return tuple(plain(v) for v in result)
    if isinstance(result, (bool, int, float, str, bytes, timedelta, type(None))):
        return result
    # A result class, curve, outlet or reservoir: its attributes by name
    # (each read makes a fresh copy).
    return tuple((a, plain(getattr(result, a))) for a in dir(result)
                 if not a.startswith("_") and not callable(getattr(result, a)))


def same(a, b):
    """Equal as results: floats bit for bit (any NaN alike), containers item by item."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) and math.isnan(b):
            return True
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, tuple) and isinstance(b, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


# ---------------------------------------------------------------- argument builders


def _curve(n=4):
    return RU.ElevationStorage([100.0, 105.0, 110.0, 120.0][:n], [0.0, 2e5, 6e5, 2e6][:n])


def _rating():
    return RU.ElevationDischarge([100.0, 104.0, 120.0], [0.0, 20.0, 300.0])


def _outlets(plan_step):
    rating = _rating()
    return {
        "spill": RU.UnControlledDischargeInfo(rating, elevation_offset=-2.0),
        "gate": RU.ControlledDischargeInfo(rating, minimum_elevation=101.0, maximum_release=25.0),
        "pump": RU.ConstantDischargeInfo(3.0, maximum_elevation=115.0),
        "plan": RU.SpecifiedDischargeInfo(CTS([1.0, 4.0, 2.0], timedelta(seconds=plan_step),
                                              "discharge")),
    }


def _level_pool_args(values, work, only=None):
    """Inflow at `work` seconds a step into a pool that holds all of it."""
    span = max(len(values) - 1, 1) * work
    volume = max(values, default=1.0) * span + 1e6
    curve = RU.ElevationStorage([100.0, 105.0, 110.0, 120.0],
                                [0.0, 0.25 * volume, 0.6 * volume, 2.0 * volume + 1.0])
    # The planned release covers the whole run in two steps.
    outlets = _outlets(max(1, -(-span // 2)))
    if only:
        outlets = {only: outlets[only]}
    return dict(inflow=CTS(values, timedelta(seconds=work), "discharge"), curve=curve,
                outlets=outlets)


def _level_pool(a):
    return basinkit.reservoir.run_level_pool_routing(a["inflow"], 101.0, a["curve"], a["outlets"])


def _baseflow_args(values, chain):
    # At one-second steps a chain of any length up to 4e9 stays stable.
    return dict(rain=ITS(values, SECOND, "rainfall"),
                layers={"near": LR(HOUR, 0.25, 0.0, 2),
                        "deep": LR(timedelta(seconds=LONGEST_STEP), 0.5, 1.0, chain)})


def _reservoir_reads(layer):
    return layer.gw_fraction, layer.initial_q, layer.num_reservoir, layer.k_duration


def _set_reservoir(a):
    a["layer"].gw_fraction = 0.3
    a["layer"].initial_q = 2.0
    a["layer"].num_reservoir = 3
    return _reservoir_reads(a["layer"])


def _outlet_reads(a):
    return [(name, getattr(o, attr)) for name, o in sorted(a["outlets"].items())
            for attr in dir(o) if not attr.startswith("_")]


def _curve_lookups(a):
    return ([a["curve"].get_storage(100.0 + i * 0.37) for i in range(50)]
            + [a["curve"].get_elevation(i * 3.7e4) for i in range(50)]
            + a["curve"].elevation + a["rating"].discharge)


def _increasing(values, start):
    return [start + i + 1e-3 * v for i, v in enumerate(values)]


SMALL = 1000

ENTRIES = {e.name: e for e in [
    Entry("continuous_series", flow_values, lambda v, w: dict(values=v),
          lambda a: CTS(a["values"], HOUR, "discharge"), (SMALL, 0)),
    Entry("incremental_series", rain_values, lambda v, w: dict(array=np.array(v)),
          lambda a: ITS(a["array"], HOUR, "volume"), (SMALL, 0)),
    Entry("series_reads", flow_values,
          lambda v, w: dict(flow=CTS(v, HOUR, "discharge"), rain=ITS(v, HOUR, "rainfall")),
          lambda a: (a["flow"].data, a["flow"].time_step, a["flow"].kind,
                     a["flow"].total_duration(), bytes(a["flow"]), a["rain"].kind,
                     a["rain"].total_duration()), (SMALL, 0)),
    # Each value split into `work` pieces of 30 s.
    Entry("disaggregate", rain_values,
          lambda v, w: dict(rain=ITS(v, timedelta(seconds=30 * w), "rainfall")),
          lambda a: a["rain"].disaggregate(30), (SMALL, 3), large=(4, 71_582_788)),
    Entry("deficit_and_constant", rain_values, lambda v, w: dict(rain=ITS(v, HOUR, "rainfall")),
          lambda a: basinkit.rainfall_loss.run_deficit_and_constant(
              a["rain"], 0.5, 1.0, 0.1, timedelta(hours=10)), (SMALL, 0)),
    # A tc of `work` one-second steps.
    Entry("clark", rain_values, lambda v, w: dict(rain=ITS(v, SECOND, "rainfall"), tc=w),
          lambda a: basinkit.rainfall_transform.run_clark_uh(
              a["rain"], 100.0, timedelta(seconds=a["tc"]), timedelta(seconds=10)),
          (SMALL, 50), large=(2, 10**8)),
    Entry("linear_reservoir_new", rain_values, lambda v, w: {},
          lambda a: LR(timedelta(hours=5), 0.5, 1.0, 3), (0, 0)),
    Entry("linear_reservoir_reads", rain_values,
          lambda v, w: dict(layer=LR(timedelta(hours=20), 0.4, 2.0, 3)),
          lambda a: _reservoir_reads(a["layer"]), (0, 0)),
    Entry("linear_reservoir_set", rain_values,
          lambda v, w: dict(layer=LR(timedelta(hours=10), 0.4, 1.0, 2)), _set_reservoir, (0, 0),
          mutates=True),
    # A deep layer of `work` reservoirs.
    Entry("baseflow", rain_values, _baseflow_args,
          lambda a: basinkit.baseflow.run_linear_reservoir(100.0, a["rain"], a["layers"]),
          (SMALL, 3), large=(900, 10**7)),
    # `work` sub-reaches.
    Entry("muskingum", flow_values,
          lambda v, w: dict(inflow=CTS(v, timedelta(minutes=1), "discharge"), passes=w),
          lambda a: basinkit.reach.run_muskingum_routing(
              a["inflow"], timedelta(hours=2), 0.2, a["passes"], 50.0),
          (SMALL, 3), large=(3, 10**9)),
    Entry("kge", flow_values,
          lambda v, w: dict(sim=v, obs=np.array([0.9 * x + 1.0 for x in v])),
          lambda a: basinkit.metrics.calculate_kge(a["sim"], a["obs"], use_log=True),
          (SMALL, 0)),
    Entry("elevation_storage_new", flow_values,
          lambda v, w: dict(elevation=_increasing(v, 100.0), storage=_increasing(v, 0.0)),
          lambda a: RU.ElevationStorage(a["elevation"], a["storage"]), (SMALL, 0)),
    Entry("elevation_discharge_new", flow_values,
          lambda v, w: dict(elevation=_increasing(v, 100.0), discharge=_increasing(v, 0.0)),
          lambda a: RU.ElevationDischarge(a["elevation"], a["discharge"]), (SMALL, 0)),
    Entry("curve_lookups", flow_values, lambda v, w: dict(curve=_curve(), rating=_rating()),
          _curve_lookups, (0, 0)),
    Entry("outlets_new", flow_values,
          lambda v, w: dict(rating=_rating(), plan=CTS(v, HOUR, "discharge")),
          lambda a: (RU.ControlledDischargeInfo(a["rating"], 90.0, 130.0, 10.0),
                     RU.UnControlledDischargeInfo(a["rating"], elevation_offset=-1.0),
                     RU.SpecifiedDischargeInfo(a["plan"], maximum_release=3.0),
                     RU.ConstantDischargeInfo(5.0, minimum_elevation=101.0)), (SMALL, 0)),
    Entry("outlet_reads", flow_values, lambda v, w: dict(outlets=_outlets(3600)), _outlet_reads,
          (0, 0)),
    # Inflow at steps of `work` seconds, through every kind of outlet.
    Entry("level_pool", flow_values, _level_pool_args, _level_pool, (SMALL, 1),
          large=(3, LONGEST_STEP)),
    Entry("level_pool_gate", flow_values, lambda v, w: _level_pool_args(v, w, only="gate"),
          _level_pool, (SMALL, 1)),
]}

# Entries whose work grows without their input: the interruptible ones.
LARGE = [e for e in ENTRIES.values() if e.large]
