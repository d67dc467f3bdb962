"""Kling-Gupta efficiency."""

import math


def kge(sim, obs, use_log=False, bug=None):
    """Fault: "sample_std" (n - 1 in the observed standard deviation)."""
    eps = 1e-6
    if use_log:
        sim = [math.log(v + eps) for v in sim]
        obs = [math.log(v + eps) for v in obs]
    n = float(len(obs))
    ms, mo = sum(sim, -0.0) / n, sum(obs, -0.0) / n
    sss = soo = sso = 0.0
    for s, o in zip(sim, obs):
        ds, do = s - ms, o - mo
        sss += ds * ds
        soo += do * do
        sso += ds * do
    den = math.sqrt(soo * sss)
    r_term = 1.0 if den < eps else (sso / den - 1.0) ** 2
    std_s = math.sqrt(sss / n)
    std_o = math.sqrt(soo / (n - 1 if bug == "sample_std" else n))
    if abs(mo) < eps:
        mo = eps
    if std_o < eps:
        std_o = eps
    beta, gamma = ms / mo, std_s / std_o
    return 1.0 - math.sqrt((gamma - 1.0) ** 2 + ((beta - 1.0) ** 2 + r_term))
