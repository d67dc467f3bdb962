"""Muskingum routing: one pass, and a reach of equal sub-reaches."""

from .arith import seconds


def coefficients(dt, k, x):
    """(c0, c1, c2) for step `dt` and constant `k` in seconds."""
    two_k = k + k
    two_kx = two_k * x
    two_k1mx = two_k * (1.0 - x)
    den = dt + two_k1mx
    return (dt - two_kx) / den, (dt + two_kx) / den, (two_k1mx - dt) / den


def step(c, prev_outflow, prev_inflow, inflow):
    """One step of the recurrence; the inflow terms are summed first."""
    c0, c1, c2 = c
    return c2 * prev_outflow + (c1 * prev_inflow + c0 * inflow)


def one_pass(inflow, initial, dt, k, x, bug=None):
    """Outflow starting at `initial`, or at the first inflow when None.

    Faults: "unbalanced" (wrong c2), "threshold" (outflow floored at 1.0).
    """
    c = coefficients(dt, k, x)
    if bug == "unbalanced":
        c = (c[0], c[1], (((k + k) * (1.0 - x)) - dt * 0.9) / (dt + (k + k) * (1.0 - x)))
    out = [inflow[0] if initial is None else initial]
    for i in range(1, len(inflow)):
        o = step(c, out[-1], inflow[i - 1], inflow[i])
        if bug == "threshold":
            o = max(o, 1.0)
        out.append(o)
    return out


def muskingum(inflow, time_step, k, x, sub_reaches, initial, bug=None):
    """A reach: `sub_reaches` passes with K = k / sub_reaches each (k a
    timedelta, `time_step` in seconds); later passes start at their inflow."""
    k_seg = seconds(k) / sub_reaches
    out = one_pass(inflow, initial, float(time_step), k_seg, x, bug)
    for _ in range(sub_reaches - 1):
        out = one_pass(out, None, float(time_step), k_seg, x, bug)
    return out
