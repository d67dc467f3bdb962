"""NRCS curve-number loss, in the core's order of operations."""

from .arith import max_num, min_num


def curve_number(rain, cn, ratio, impervious_pct, depth_per_inch):
    """(excess, loss, cumulative rain) lists for rainfall depths per step."""
    s = (1000.0 / cn - 10.0) * depth_per_inch
    ia = ratio * s
    imp = impervious_pct / 100.0
    perv = 1.0 - imp
    p_cum = q_cum = 0.0
    excess, loss, state = [], [], []
    for p in rain:
        p = p if p > 0.0 else 0.0
        p_cum = p_cum + p
        q = 0.0
        if p_cum > ia:
            d = p_cum - ia
            q = d * d / (d + s)
        dq = min_num(max_num(q - q_cum, 0.0), p)
        q_cum = q
        e = min_num(imp * p + perv * dq, p)
        excess.append(e)
        loss.append(p - e)
        state.append(p_cum)
    return excess, loss, state
