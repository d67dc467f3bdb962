"""Clark unit hydrograph and its convolution with excess rainfall."""

import math

from . import muskingum
from .arith import min_num, seconds

MAX_RECESSION = 1_000_000


def time_area(t):
    """Cumulative contributing share at relative time t; 1.414 on both halves."""
    if t < 0.5:
        return math.pow(t, 1.5) * 1.414
    return math.pow(1.0 - t, 1.5) * (-1.414) + 1.0


def unit_hydrograph(dt, basin_area, tc_s, r_s):
    """Ordinates (cfs per inch): the ceil(tc / dt) translation ordinates
    through the reservoir (x = 0, K = R), then its recession with zero inflow
    while each ordinate exceeds 1e-9 of the largest so far."""
    n = math.ceil(tc_s / dt)
    c = muskingum.coefficients(dt, r_s, 0.0)
    dt_h = dt / 3600.0
    u, a_prev, q_prev, largest = [], 0.0, 0.0, 0.0
    for j in range(1, n + 1):
        a = time_area(min_num((dt * j) / tc_s, 1.0))
        q = (((a - a_prev) * basin_area) * 1.00833) / dt_h
        a_prev = a
        # The reservoir starts empty: the first ordinate is 0.0.
        o = 0.0 if j == 1 else muskingum.step(c, u[-1], q_prev, q)
        u.append(o)
        if o > largest:
            largest = o
        q_prev = q
    last = u[-1]
    for _ in range(MAX_RECESSION):
        last = muskingum.step(c, last, q_prev, 0.0)
        q_prev = 0.0
        if not last > 1e-9 * largest:
            break
        if last > largest:
            largest = last
        u.append(last)
    return u


def clark(rain, time_step, basin_area, tc, storage_r):
    """Discharge for excess `rain` per `time_step` seconds (tc and storage_r
    timedeltas): each value sums its terms in increasing rainfall index from
    0.0, zero rainfall skipped; L zeros for a zero tc or a step below 1 s."""
    tc_s, r_s = seconds(tc), seconds(storage_r)
    if tc_s <= 0.0 or time_step < 1:
        return [0.0] * len(rain)
    u = unit_hydrograph(float(time_step), basin_area, tc_s, r_s)
    q = [0.0] * (len(rain) + len(u) - 1)
    for i, p in enumerate(rain):
        if p == 0.0:
            continue
        for k, uk in enumerate(u):
            q[i + k] = q[i + k] + p * uk
    return q

