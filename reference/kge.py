"""Kling-Gupta efficiency."""

import math

from .arith import log


def kge(sim, obs, use_log=False, bug=None):
    """The score with the module's summation order: plain sums from -0.0
    (not Python's compensated sum), then the deviations.

    Fault: "sample_std" (n - 1 in the observed standard deviation).
    """
    eps = 1e-6
    if use_log:
        sim = [log(v + eps) for v in sim]
        obs = [log(v + eps) for v in obs]
    n = float(len(obs))
    s_sum = o_sum = -0.0
    for s, o in zip(sim, obs):
        s_sum, o_sum = s_sum + s, o_sum + o
    ms, mo = s_sum / n, o_sum / n
    sss = soo = sso = 0.0
    for s, o in zip(sim, obs):
        ds, do = s - ms, o - mo
        sss, soo, sso = sss + ds * ds, soo + do * do, sso + ds * do
    den = math.sqrt(soo * sss)
    r_term = 1.0 if den < eps else (sso / den - 1.0) * (sso / den - 1.0)
    std_s = math.sqrt(sss / n)
    std_o = math.sqrt(soo / (n - 1 if bug == "sample_std" else n))
    if abs(mo) < eps:
        mo = eps
    if std_o < eps:
        std_o = eps
    beta, gamma = ms / mo, std_s / std_o
    t = (beta - 1.0) * (beta - 1.0) + r_term
    return 1.0 - math.sqrt((gamma - 1.0) * (gamma - 1.0) + t)
