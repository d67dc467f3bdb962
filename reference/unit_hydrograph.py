"""Unit hydrographs from ordinates (NRCS, Snyder, a user's table) and their
convolution with excess: the ordinates are scaled to hold exactly one depth
unit (`unit_volume`, flow x s) before the convolution."""

import math

from . import arith
from .arith import seconds

# NRCS NEH 630 ch. 16, Table 16-1: t/Tp and q/qp of the dimensionless curve.
TABLE_X = [0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1, 1.2, 1.3, 1.4, 1.5, 1.6,
           1.7, 1.8, 1.9, 2.0, 2.2, 2.4, 2.6, 2.8, 3.0, 3.2, 3.4, 3.6, 3.8, 4.0, 4.5, 5.0]
TABLE_Q = [0.000, 0.030, 0.100, 0.190, 0.310, 0.470, 0.660, 0.820, 0.930, 0.990, 1.000, 0.990,
           0.930, 0.860, 0.780, 0.680, 0.560, 0.460, 0.390, 0.330, 0.280, 0.207, 0.147, 0.107,
           0.077, 0.055, 0.040, 0.029, 0.021, 0.015, 0.011, 0.005, 0.000]


def log_gamma(z):
    """log Gamma(z), z > 0: shifted up to z >= 20, then Stirling's series."""
    shift = 0.0
    while z < 20.0:
        shift = shift + math.log(z)
        z = z + 1.0
    r = 1.0 / z
    r2 = r * r
    series = r * (1.0 / 12.0 - r2 * (1.0 / 360.0 - r2 * (1.0 / 1260.0 - r2 * (1.0 / 1680.0))))
    return (z - 0.5) * math.log(z) - z + 0.5 * math.log(2.0 * math.pi) + series - shift


def gamma_area(m):
    """Area of (t/Tp)^m exp(m (1 - t/Tp)) in Tp x qp."""
    return math.exp(m + log_gamma(m + 1.0) - (m + 1.0) * math.log(m))


def gamma_shape(area_ratio):
    """The m in [0.01, 1000] whose gamma curve has that area, by bisection."""
    lo, hi = 0.01, 1000.0
    if not (gamma_area(hi) <= area_ratio <= gamma_area(lo)):
        raise ValueError(f"no gamma curve has the area {area_ratio}")
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        if gamma_area(mid) > area_ratio:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


def curve(x, tabulated, m):
    """q/qp at t/Tp = x."""
    if not tabulated:
        return math.pow(x, m) * math.exp(m * (1.0 - x))
    if not x < TABLE_X[-1]:
        return 0.0
    i = 0
    while TABLE_X[i + 1] <= x:
        i += 1
    return TABLE_Q[i] + (TABLE_Q[i + 1] - TABLE_Q[i]) * ((x - TABLE_X[i]) / (TABLE_X[i + 1] - TABLE_X[i]))


def scale(shape, dt, unit_volume):
    """The ordinates scaled to hold unit_volume: one factor from their sum."""
    total = 0.0
    for f in shape:
        total += f
    if not (total > 0.0 and math.isfinite(total)):
        raise ValueError("the ordinates need a finite positive sum")
    factor = unit_volume / (dt * total)
    return [f * factor for f in shape]


def convolve(excess, uh):
    """As arith.convolve; no excess or no ordinates give zeros for the excess."""
    if not excess or not uh:
        return [0.0] * len(excess)
    return arith.convolve(excess, uh)


def nrcs_unit_hydrograph(time_step, unit_volume, lag, tabulated, m):
    """Ordinates at 0, dt, ...: the curve at (dt k) / Tp, Tp = dt / 2 + lag, to its first
    (near-)zero past the peak, then scaled."""
    dt = float(time_step)
    tp = 0.5 * dt + seconds(lag)
    reach = 5.0 if tabulated else (60.0 if m >= 1.0 else 60.0 / m)
    n = int(math.ceil((reach * tp) / dt) + 2.0)
    uh = [0.0]
    for k in range(1, n - 1):
        x = (dt * k) / tp
        f = curve(x, tabulated, m)
        if x > 1.0 and not f >= 1e-12:
            break
        uh.append(f)
    uh.append(0.0)
    return scale(uh, dt, unit_volume)


def nrcs(excess, time_step, unit_volume, lag, tabulated, m):
    """NRCS direct runoff of the excess."""
    return convolve(excess, nrcs_unit_hydrograph(time_step, unit_volume, lag, tabulated, m))


def user_unit_hydrograph(time_step, ordinates, unit_volume, normalise):
    """The user's ordinates (first 0), a 0 appended, checked to 1 % unless normalise, scaled."""
    uh = list(ordinates)
    if len(uh) < 2 or uh[0] != 0.0 or any(not (u >= 0.0 and math.isfinite(u)) for u in uh):
        raise ValueError("bad ordinates")
    if uh[-1] != 0.0:
        uh.append(0.0)
    dt = float(time_step)
    total = 0.0
    for u in uh:
        total += u
    volume = dt * total
    if not normalise and not abs(volume - unit_volume) <= 0.01 * unit_volume:
        raise ValueError("the unit hydrograph's volume is more than 1 % off one unit")
    return scale(uh, dt, unit_volume)


def user(excess, time_step, ordinates, unit_volume, normalise):
    """Direct runoff of the excess through the user's ordinates."""
    return convolve(excess, user_unit_hydrograph(time_step, ordinates, unit_volume, normalise))


def snyder_polygon(time_step, unit_volume, area, lag, cp, c2=640.0, c50=770.0, c75=440.0):
    """Snyder's seven points (s, flow): peak and widths at 75 % and 50 % with the lag adjusted
    to the step, and a base time that closes one unit of volume."""
    lag_s = seconds(lag)
    if not (lag_s > 0.0 and cp > 0.0 and area > 0.0 and unit_volume > 0.0):
        raise ValueError("Snyder's inputs must be > 0")
    dt_h = time_step / 3600.0
    tp = lag_s / 3600.0
    tr = tp / 5.5
    tp_r = tp + (dt_h - tr) / 4.0
    qp_r = (c2 * cp) / tp_r
    peak = qp_r * area
    spread = math.pow(qp_r, 1.08)
    w50 = c50 / spread
    w75 = c75 / spread
    t_peak = 0.5 * dt_h + tp_r
    t = [0.0, (t_peak - w50 / 3.0) * 3600.0, (t_peak - w75 / 3.0) * 3600.0, t_peak * 3600.0,
         (t_peak + (2.0 * w75) / 3.0) * 3600.0, (t_peak + (2.0 * w50) / 3.0) * 3600.0, 0.0]
    q = [0.0, 0.5 * peak, 0.75 * peak, peak, 0.75 * peak, 0.5 * peak, 0.0]
    if not t[1] > 0.0:
        raise ValueError("the width at half the peak starts before the excess")
    held = 0.0
    for i in range(5):
        held = held + (0.5 * (t[i + 1] - t[i])) * (q[i] + q[i + 1])
    if not held < unit_volume:
        raise ValueError("the widths hold a unit alone")
    t[6] = t[5] + (4.0 * (unit_volume - held)) / peak
    return t, q


def snyder_unit_hydrograph(time_step, unit_volume, area, lag, cp, c2=640.0, c50=770.0, c75=440.0):
    """The polygon read every step (linear, 0 from tb on), then scaled."""
    t, q = snyder_polygon(time_step, unit_volume, area, lag, cp, c2, c50, c75)
    dt = float(time_step)
    uh, i, k = [0.0], 0, 1
    while True:
        at = dt * k
        if not at < t[6]:
            break
        while t[i + 1] <= at:
            i += 1
        uh.append(q[i] + (q[i + 1] - q[i]) * ((at - t[i]) / (t[i + 1] - t[i])))
        k += 1
    uh.append(0.0)
    return scale(uh, dt, unit_volume)


def snyder(excess, time_step, unit_volume, area, lag, cp, c2=640.0, c50=770.0, c75=440.0):
    """Direct runoff of the excess through Snyder's unit hydrograph."""
    return convolve(excess, snyder_unit_hydrograph(time_step, unit_volume, area, lag, cp, c2, c50, c75))
