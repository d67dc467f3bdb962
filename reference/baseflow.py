"""Linear reservoir baseflow: named layers, each a chain of reservoirs."""

from .arith import ACRE_INCH_HOUR, whole_seconds


def linear_reservoir(basin_area, rain, step, layers, bug=None):
    """(total, components) for `layers`, a list of (k timedelta, gw_fraction,
    initial_q, num_reservoir) in summation order.

    Faults: "leaky" (outflow weight too small), "floor" (flow floored at 0.01).
    """
    dt_h = step / 3600.0
    total = [0.0] * len(rain)
    components = []
    for k, fraction, q0, n in layers:
        k_res = (whole_seconds(k) / 3600.0) / n
        c = dt_h / (dt_h * 0.5 + k_res)
        d = 1.0 - c
        if bug == "leaky":
            d = 1.0 - c * 1.01
        state = [q0] * n
        out = []
        for i, p in enumerate(rain):
            flow = (basin_area * ACRE_INCH_HOUR) * ((fraction * p) / dt_h)
            for j in range(n):
                flow = (c * flow) + (d * state[j])
                if bug == "floor":
                    flow = max(flow, 0.01)
                state[j] = flow
            out.append(flow)
            total[i] = flow + total[i]
        components.append(out)
    return total, components
