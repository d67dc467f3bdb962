"""Deficit and constant loss."""

import math

from .arith import seconds


def deficit_and_constant(rain, step, initial, maximum, per_hr, dry, bug=None):
    """(excess, loss, deficit) lists for rainfall depths per `step` seconds.

    Faults for the property tests: "uncapped_recovery", "overfill",
    "excess_ignores_constant_loss", "loss_without_fill".
    """
    dt_h = step / 3600.0
    t = seconds(dry)
    k = 1.0 - math.exp(dt_h / (t / -3600.0)) if t > 0 else 0.0
    cap = per_hr * dt_h
    d = initial
    excess, loss, deficit = [], [], []
    for p in rain:
        d = d + k * max(maximum - d, 0.0)
        if bug != "uncapped_recovery":
            d = min(d, maximum)
        e = f = cl = 0.0
        if p > 0.0:
            cl = min(p, cap)
            r = p - cl
            f = min(r, d) if bug != "overfill" else r
            d = d - f
            e = r - f if bug != "excess_ignores_constant_loss" else p - f
        excess.append(e)
        loss.append(cl + f if bug != "loss_without_fill" else cl)
        deficit.append(d)
    return excess, loss, deficit
