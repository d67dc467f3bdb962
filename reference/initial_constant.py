"""Initial and constant loss, in the core's order of operations."""

from .arith import min_num


def initial_constant(rain, step, initial_loss, rate_per_hr, impervious_pct):
    """(excess, loss, initial loss left) lists for rainfall depths per `step` seconds."""
    cap = rate_per_hr * (step / 3600.0)
    imp = impervious_pct / 100.0
    perv = 1.0 - imp
    left = initial_loss
    excess, loss, state = [], [], []
    for p in rain:
        p = p if p > 0.0 else 0.0
        il = min_num(p, left)
        left = left - il
        r = p - il
        cl = min_num(r, cap)
        e = min_num(imp * p + perv * (r - cl), p)
        excess.append(e)
        loss.append(p - e)
        state.append(left)
    return excess, loss, state
