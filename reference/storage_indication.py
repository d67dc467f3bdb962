"""Storage-indication routing written from its equation, independent of the
native walk along a precomputed table: each step bisects the elevation until
2 S(E) / dt + O(E) meets (I1 + I2) + (2 S1 / dt - O1).

Outlets are the tuples basinkit_model._native takes. Only reservoirs whose
N(E) never falls are modelled (no gate with a maximum elevation inside the
pool, no release that closes above an elevation), where the root is unique;
a gate that opens leaves the pool at its elevation with the rest of the
balance passing it, as a bisection on a jump finds.
"""

import bisect
import math


def interp(xs, ys, x):
    """Straight line between the two table points around x (x inside the table)."""
    i = min(max(bisect.bisect_right(xs, x) - 1, 0), len(xs) - 2)
    if xs[i] == x:
        return ys[i]
    return ys[i] + (x - xs[i]) / (xs[i + 1] - xs[i]) * (ys[i + 1] - ys[i])


def release(outlet, e, t):
    """An outlet's release (cfs) at elevation e (ft) and t seconds; None above its rating."""
    kind = outlet[0]
    if kind == "spillway":
        _, xs, ys, offset = outlet
        e = e + (0.0 if offset is None else offset)
        if e > xs[-1]:
            return None
        return 0.0 if e < xs[0] else interp(xs, ys, e)
    if kind == "gate":
        _, xs, ys, lo, hi, cap = outlet
        lo = xs[0] if lo is None else max(lo, xs[0])
        hi = None if hi is None else min(hi, xs[-1])
        if e < lo or (hi is not None and e > hi):
            return 0.0
        if e > xs[-1]:
            return None
        q = interp(xs, ys, e)
        return q if cap is None else min(q, cap)
    if kind == "constant":
        _, q, lo, hi = outlet
        return 0.0 if (lo is not None and e < lo) or (hi is not None and e > hi) else q
    _, values, step, lo, hi, cap = outlet
    if (lo is not None and e < lo) or (hi is not None and e > hi):
        return 0.0
    if t > (len(values) - 1) * step:
        return None
    q = interp([k * step for k in range(len(values))], values, t)
    return q if cap is None else min(q, cap)


def route(inflow, dt, e0, elevations, storages, outlets):
    """(storage, elevation, total) lists from time 0, or None where the pool
    would leave the curve at either end or pass an outlet's rating."""

    def storage(e):
        return interp(elevations, storages, e)

    def released(e, t):
        qs = [release(o, e, t) for o in outlets.values()]
        return None if any(q is None for q in qs) else math.fsum(qs)

    s1, o1 = storage(e0), released(e0, 0)
    out_s, out_e, out_q = [s1], [e0], [o1]
    for k in range(1, len(inflow)):
        t = k * dt
        target = (inflow[k - 1] + inflow[k]) + (2.0 * s1 / dt - o1)

        def excess(e):
            q = released(e, t)
            return None if q is None else 2.0 * storage(e) / dt + q - target

        lo, hi = elevations[0], elevations[-1]
        f_lo, f_hi = excess(lo), excess(hi)
        if f_lo is None or f_lo > 0.0 or f_hi is None or f_hi < 0.0:
            return None
        for _ in range(200):
            mid = 0.5 * (lo + hi)
            if mid in (lo, hi):
                break
            f = excess(mid)
            if f is None:
                return None
            if f > 0.0:
                hi = mid
            else:
                lo = mid
        s1 = storage(hi)
        o1 = target - 2.0 * s1 / dt
        out_s.append(s1)
        out_e.append(hi)
        out_q.append(o1)
    return out_s, out_e, out_q
