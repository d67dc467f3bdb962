"""Recession baseflow beside a direct runoff, in the core's order of operations."""


def recession(direct, time_step, initial_q, k, ratio_to_peak, threshold_q):
    """(baseflow, crossing instant or None); exactly one threshold form is given."""
    kd = k ** (float(time_step) / 86400.0)
    n = len(direct)
    b = [initial_q]
    for _ in range(1, n):
        b.append(b[-1] * kd)
    peak, top = 0, direct[0] + b[0]
    for i in range(1, n):
        if direct[i] + b[i] > top:
            peak, top = i, direct[i] + b[i]
    threshold = ratio_to_peak * top if ratio_to_peak is not None else threshold_q
    c = next((i for i in range(peak + 1, n) if direct[i] + b[i] < threshold), None)
    if c is None:
        return b, None
    q = direct[c] + b[c]
    for i in range(c + 1, n):
        q = q * kd
        b[i] = q - direct[i]
    return b, c
