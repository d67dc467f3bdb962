"""Peers written in plain Python and in NumPy.

`level_pool_python` is the routing algorithm in plain Python floats, in the
core's evaluation order, so it agrees bit for bit. `clark_uh_numpy` builds the
same unit hydrograph (translation through the reservoir plus its recession) and convolves
with `np.convolve`, whose summation order differs: it agrees within a
tolerance only.
"""

import math
from bisect import bisect_right

import numpy as np

UNCONTROLLED, CONTROLLED, CONSTANT = "uncontrolled", "controlled", "constant"


def _lookup(xs, ys, x, left):
    # x is at or below the last abscissa here; the interval is unique, so the
    # library search finds the same base as the halving search.
    base = bisect_right(xs, x) - 1
    if base < 0:
        base = 0
    if xs[base] == x:
        return ys[base]
    if xs[base] > x:
        return left
    x0 = xs[base]
    x1 = xs[base + 1]
    y0 = ys[base]
    y1 = ys[base + 1]
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0)


def _max_num(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return b if a < b else a


def _min_num(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return b if b < a else a


def _release(outlet, elevation):
    kind = outlet["kind"]
    if kind == CONSTANT:
        lo, hi = outlet.get("minimum_elevation"), outlet.get("maximum_elevation")
        if (lo is not None and elevation < lo) or (hi is not None and elevation > hi):
            return 0.0
        return outlet["discharge"]
    ce, cq = outlet["elevation"], outlet["discharge"]
    if kind == UNCONTROLLED:
        offset = outlet.get("elevation_offset")
        e = elevation + (offset if offset is not None else 0.0)
    else:
        e = elevation
        hi = outlet.get("maximum_elevation_clamped")
        if e < outlet["minimum_elevation_clamped"] or (hi is not None and e > hi):
            return 0.0
    if e > ce[-1]:
        raise ValueError(f"elevation {e} is above the maximum of the elevation-discharge curve")
    q = 0.0 if e < ce[0] else _lookup(ce, cq, e, 0.0)
    cap = outlet.get("maximum_release") if kind == CONTROLLED else None
    return _min_num(q, cap) if cap is not None else q


def level_pool_python(inflow, dt, initial_elevation, es_elevation, es_storage, outlets):
    """Records (storage, elevation, total, per-outlet lists); outlets in list order."""
    inflow = [float(v) for v in inflow]
    es_elevation = [float(v) for v in es_elevation]
    es_storage = [float(v) for v in es_storage]
    n = len(inflow)
    elevation = initial_elevation
    if not (es_elevation[0] <= elevation <= es_elevation[-1]):
        raise ValueError("initial elevation outside the elevation-storage curve")
    storage = _lookup(es_elevation, es_storage, elevation, None)
    storage_rec, elevation_rec, total_rec = [storage], [elevation], []
    outlet_rec = [[] for _ in outlets]
    inflow_prev = inflow[0]
    end = (n - 1) * dt
    next_record = dt
    lo_s, hi_s = es_storage[0], es_storage[-1]
    for t in range(dt, end + 1):
        record = t == next_record
        total = 0.0
        for k, outlet in enumerate(outlets):
            q = _release(outlet, elevation)
            if record:
                outlet_rec[k].append(q)
            total = total + q
        if record:
            total_rec.append(total)
            next_record += dt
            if t == dt:
                continue
        p = t / dt
        i = int(p)
        if i >= n - 1:
            inflow_t = inflow[n - 1]
        else:
            inflow_t = inflow[i] + (p - i) * (inflow[i + 1] - inflow[i])
        storage = _max_num((storage + ((inflow_prev + inflow_t) * 0.5) * 1.0) - (total * 1.0), 0.0)
        if not (lo_s <= storage <= hi_s):
            raise ValueError(f"storage {storage} is outside the elevation-storage curve")
        elevation = _lookup(es_storage, es_elevation, storage, None)
        if record:
            storage_rec.append(storage)
            elevation_rec.append(elevation)
        inflow_prev = inflow_t
    return storage_rec, elevation_rec, total_rec, outlet_rec


# ------------------------------------------------------------------ Clark


def clark_unit_hydrograph_numpy(dt, basin_area, tc_s, r_s):
    """Translation ordinates, each at the end of its interval after a zero
    inflow at time 0, through the reservoir from U_0 = 0.0; then its
    recession while each |ordinate| exceeds 1e-9 of the largest so far (at
    most 1,000,000). n = ceil(tc / dt), at least 1: a zero tc is its limit."""
    n = max(math.ceil(tc_s / dt), 1)
    # math.pow is the C library's pow, as in the core (np.power may round
    # differently in the last bit).
    area = []
    for j in range(1, n + 1):
        t = min((dt * j) / tc_s, 1.0) if tc_s > 0.0 else 1.0
        area.append(math.pow(t, 1.5) * 1.414 if t < 0.5 else math.pow(1.0 - t, 1.5) * (-1.414) + 1.0)
    dt_h = dt / 3600.0
    inflow = [0.0] + [(((a - b) * basin_area) * 1.00833) / dt_h
                      for a, b in zip(area, [0.0] + area[:-1])]
    two_k = r_s + r_s
    den = dt + two_k
    c0 = c1 = dt / den
    c2 = (two_k - dt) / den
    u = [0.0] * (n + 1)
    largest = 0.0
    for i in range(1, n + 1):
        u[i] = c2 * u[i - 1] + (c1 * inflow[i - 1] + c0 * inflow[i])
        largest = max(largest, abs(u[i]))
    last, q_prev = u[-1], inflow[-1]
    tail = []
    while len(tail) < 1_000_000:
        last = c2 * last + (c1 * q_prev + c0 * 0.0)
        q_prev = 0.0
        if not abs(last) > 1e-9 * largest:
            break
        largest = max(largest, abs(last))
        tail.append(last)
    return np.array(u + tail)


def clark_uh_numpy(rainfall, dt, basin_area, tc_s, r_s):
    """Discharge of L + m - 1 values from `np.convolve` with the extended UH."""
    uh = clark_unit_hydrograph_numpy(dt, basin_area, tc_s, r_s)
    return np.convolve(np.asarray(rainfall, dtype=np.float64), uh)
