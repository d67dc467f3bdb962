"""Lag routing: a shift by whole steps, the fraction of a step as linear interpolation."""

import math


def lag(inflow, time_step, lag_seconds):
    """out[i] = (1 - f) in[i - m] + f in[i - m - 1], in[j < 0] = in[0], lag = (m + f) dt."""
    steps = lag_seconds / float(time_step)
    whole = math.floor(steps)
    f = steps - whole
    g = 1.0 - f
    first = inflow[0]
    out = []
    for i in range(len(inflow)):
        a = inflow[i - whole] if i >= whole else first
        b = inflow[i - whole - 1] if i >= whole + 1 else first
        out.append(g * a + f * b)
    return out
