"""Clark unit hydrograph and its convolution with excess rainfall."""

import math

from . import muskingum
from .arith import ACRE_INCH_HOUR, convolve, min_num, seconds

MAX_RECESSION = 1_000_000


def time_area(t):
    """Cumulative contributing share at relative time t; 1.414 on both halves."""
    if t < 0.5:
        return math.pow(t, 1.5) * 1.414
    return math.pow(1.0 - t, 1.5) * (-1.414) + 1.0


def unit_hydrograph(dt, basin_area, tc_s, r_s, bug=None):
    """Ordinates (cfs per inch) U_0..U_n, then the recession.

    The translation ordinates q_1..q_n, n = ceil(tc / dt) and at least 1 (a
    zero tc is its limit), are the inflow at the end of each interval after a
    zero inflow at time 0; they pass the reservoir (x = 0, K = R) from
    U_0 = 0.0. The recession runs on with zero inflow while each |ordinate|
    exceeds 1e-9 of the largest magnitude so far (at most 1,000,000).

    Faults: "point_values" (q_1..q_n from time 0 with no zero in front),
    "stops_at_negative" (the cutoff compares signed ordinates).
    """
    n = max(math.ceil(tc_s / dt), 1)
    c = muskingum.coefficients(dt, r_s, 0.0)
    dt_h = dt / 3600.0
    q, a_prev = [], 0.0
    for j in range(1, n + 1):
        # Python refuses the division by a zero tc; its quotient is +inf.
        a = time_area(min_num((dt * j) / tc_s, 1.0) if tc_s > 0.0 else 1.0)
        q.append((((a - a_prev) * basin_area) * ACRE_INCH_HOUR) / dt_h)
        a_prev = a
    inflow = q if bug == "point_values" else [0.0] + q
    u, largest = [0.0], 0.0
    for i in range(1, len(inflow)):
        u.append(muskingum.step(c, u[-1], inflow[i - 1], inflow[i]))
        largest = max(largest, abs(u[-1]))
    last, q_prev = u[-1], inflow[-1]
    for _ in range(MAX_RECESSION):
        last = muskingum.step(c, last, q_prev, 0.0)
        q_prev = 0.0
        if not (last if bug == "stops_at_negative" else abs(last)) > 1e-9 * largest:
            break
        largest = max(largest, abs(last))
        u.append(last)
    return u


def clark(rain, time_step, basin_area, tc, storage_r, bug=None):
    """Discharge for excess `rain` per `time_step` seconds (tc and storage_r
    timedeltas): each value sums its terms in increasing rainfall index from
    0.0, zero rainfall skipped; L zeros for a step below 1 s."""
    if time_step < 1:
        return [0.0] * len(rain)
    return convolve(rain, unit_hydrograph(float(time_step), basin_area, seconds(tc), seconds(storage_r), bug))
