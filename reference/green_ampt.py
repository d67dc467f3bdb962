"""Green-Ampt loss with ponding inside a step, in the core's order of operations."""

from .arith import log, min_num

MAX_ITERATIONS = 50


def ponded(f0, hours, k, sd):
    """F after `hours` of ponded infiltration from `f0`, by Newton's method from f0 + k hours."""
    target = k * hours
    if sd == 0.0:
        return f0 + target
    base = f0 + sd
    x = f0 + target
    for it in range(MAX_ITERATIONS):
        g = x - f0 - sd * log((x + sd) / base) - target
        dg = x / (x + sd)
        nxt = x - g / dg
        if it > 0 and not nxt < x:
            break
        x = nxt
    return x


def green_ampt(rain, step, initial, saturated, suction, k, impervious_pct):
    """(excess, loss, cumulative infiltration) lists for rainfall depths per `step` seconds."""
    sd = suction * (saturated - initial)
    dt = step / 3600.0
    imp = impervious_pct / 100.0
    perv = 1.0 - imp
    f = 0.0
    excess, loss, state = [], [], []
    for p in rain:
        p = p if p > 0.0 else 0.0
        infiltration = p
        if p > 0.0:
            i = p / dt
            if i > k:
                fp = k * sd / (i - k)
                if f >= fp:
                    infiltration = min_num(ponded(f, dt, k, sd) - f, p)
                elif f + p > fp:
                    tp = (fp - f) / i
                    infiltration = min_num(ponded(fp, dt - tp, k, sd) - f, p)
        f = f + infiltration
        e = min_num(imp * p + perv * (p - infiltration), p)
        excess.append(e)
        loss.append(p - e)
        state.append(f)
    return excess, loss, state
