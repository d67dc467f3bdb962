"""Checked by mypy against the stubs (never run): typical calls type-check."""

from datetime import timedelta

import numpy as np

from basinkit import baseflow, metrics, rainfall_loss, rainfall_transform, reach, reservoir, utils

rain = utils.IncrementalTimeSeries(np.array([0.1, 0.5, 0.2]), timedelta(hours=1), "rainfall")
loss = rainfall_loss.run_deficit_and_constant(rain, 0.5, 1.0, 0.1, timedelta(hours=10))
q = rainfall_transform.run_clark_uh(loss.excess, 640, timedelta(hours=2), timedelta(hours=1))
total, layers = baseflow.run_linear_reservoir(
    640.0, loss.loss, {"gw": baseflow.LinearReservoir(timedelta(hours=4), 0.5, 0.0)}
)
routed = reach.run_muskingum_routing(q, timedelta(hours=1), 0.2, 2, 0.0)
ru = reservoir.reservoir_utils
curve = ru.ElevationStorage([100.0, 110.0], [0.0, 1e6])
res = reservoir.run_level_pool_routing(
    routed, 100.0, curve, {"c": ru.ConstantDischargeInfo(1.0), "s": ru.UnControlledDischargeInfo(ru.ElevationDischarge([100, 110], [0, 10]))}
)
score: float = metrics.calculate_kge(res.reservoir_total_outflow.data, routed.data[1:])
elev: list[float] = res.reservoir_elevation.data
arr = np.asarray(res.reservoir_storage)
layer_q: dict[str, utils.ContinuousTimeSeries] = layers
