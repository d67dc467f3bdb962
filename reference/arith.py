"""Shared arithmetic: the unit constant, NaN-ignoring minimum and maximum,
durations, lookups."""

import math
from bisect import bisect_right

# One inch of water over one acre in one hour, in cfs, as the models take it.
ACRE_INCH_HOUR = 1.00833


def max_num(a, b):
    """The larger value; a NaN operand is ignored; on a tie, the first."""
    return b if a != a or (b == b and a < b) else a


def min_num(a, b):
    """The smaller value; a NaN operand is ignored; on a tie, the first."""
    return b if a != a or (b == b and b < a) else a


def seconds(td):
    """A timedelta as seconds: the sub-second term first."""
    return td.microseconds * 1000 / 1e9 + (td.days * 86400 + td.seconds)


def log(x):
    """The C library's log: -inf at zero and NaN below it, not an exception."""
    if x > 0.0:
        return math.log(x)
    return -math.inf if x == 0.0 else math.nan


def whole_seconds(td):
    """A timedelta as whole seconds, the microseconds dropped."""
    return td.days * 86400 + td.seconds


def lookup(xs, ys, x, left=None, right=None):
    """Piecewise-linear lookup in a strictly increasing table; `left` below
    it and `right` above it. An exact hit returns its ordinate."""
    if x < xs[0]:
        return left
    if x > xs[-1]:
        return right
    # The interval holding x is unique, so any search finds the same base.
    base = bisect_right(xs, x) - 1
    if xs[base] == x:
        return ys[base]
    x0, x1, y0, y1 = xs[base], xs[base + 1], ys[base], ys[base + 1]
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0)


def series_value(values, step, t):
    """A continuous series read at `t` seconds inside its span."""
    p = t / step
    i = math.floor(p)
    if i >= len(values) - 1:
        return values[-1]
    return values[i] + (p - i) * (values[i + 1] - values[i])


def convolve(excess, uh):
    """q_j = sum of p_i u_(j-i) from 0.0 in increasing i, zero excess skipped:
    len(excess) + len(uh) - 1 values."""
    q = [0.0] * (len(excess) + len(uh) - 1)
    for i, p in enumerate(excess):
        if p == 0.0:
            continue
        for k, u in enumerate(uh):
            q[i + k] = q[i + k] + p * u
    return q
