"""Muskingum-Cunge with constant parameters: the constants, then Muskingum passes."""

from .muskingum import one_pass


def constants(length, slope, reference_flow, reference_area, top_width, beta, sub_reaches):
    """(celerity, sub-reach length, K seconds, X) in the stated order of operations."""
    dx = length / sub_reaches
    c = beta * reference_flow / reference_area
    k = dx / c
    x = 0.5 * (1.0 - reference_flow / (top_width * slope * c * dx))
    return c, dx, k, x


def muskingum_cunge(inflow, time_step, length, slope, reference_flow, reference_area, top_width, beta,
                    sub_reaches):
    """Outflow starting at the first inflow; every later pass starts at its own first inflow."""
    _, _, k, x = constants(length, slope, reference_flow, reference_area, top_width, beta, sub_reaches)
    out = one_pass(inflow, None, float(time_step), k, x)
    for _ in range(sub_reaches - 1):
        out = one_pass(out, None, float(time_step), k, x)
    return out
