"""The loss methods (curve number, initial and constant, Green-Ampt) against numba, bit for bit."""

import importlib.util
from datetime import timedelta

import numpy as np

from benchmarks import harness as h

STEP = 900  # seconds


def _rain(n):
    """Storm bursts between dry spells: 40 % of the steps wet."""
    rng = np.random.default_rng(23)
    return rng.gamma(0.6, 0.12, n) * (rng.random(n) < 0.4)


def _kernels():
    import math

    import numba

    jit = numba.njit(fastmath=False, error_model="numpy", cache=False, nogil=False)

    @jit
    def either_num(a, b, take_b):
        # fmin/fmax as the core has them: a NaN side gives way to the other.
        if a != a:
            return b
        if b != b:
            return a
        return b if take_b else a

    @jit
    def min_num(a, b):
        return either_num(a, b, b < a)

    @jit
    def max_num(a, b):
        return either_num(a, b, a < b)

    @jit
    def curve_number(rain, cn, ratio, impervious_pct, per_inch):
        n = rain.shape[0]
        excess, loss, state = np.empty(n), np.empty(n), np.empty(n)
        s = (1000.0 / cn - 10.0) * per_inch
        ia = ratio * s
        imp = impervious_pct / 100.0
        perv = 1.0 - imp
        p_cum = 0.0
        q_cum = 0.0
        for i in range(n):
            p = rain[i] if rain[i] > 0.0 else 0.0
            p_cum = p_cum + p
            q = 0.0
            if p_cum > ia:
                d = p_cum - ia
                q = d * d / (d + s)
            dq = min_num(max_num(q - q_cum, 0.0), p)
            q_cum = q
            e = min_num(imp * p + perv * dq, p)
            excess[i] = e
            loss[i] = p - e
            state[i] = p_cum
        return excess, loss, state

    @jit
    def initial_constant(rain, step, initial_loss, rate_per_hr, impervious_pct):
        n = rain.shape[0]
        excess, loss, state = np.empty(n), np.empty(n), np.empty(n)
        cap = rate_per_hr * (step / 3600.0)
        imp = impervious_pct / 100.0
        perv = 1.0 - imp
        left = initial_loss
        for i in range(n):
            p = rain[i] if rain[i] > 0.0 else 0.0
            il = min_num(p, left)
            left = left - il
            r = p - il
            cl = min_num(r, cap)
            e = min_num(imp * p + perv * (r - cl), p)
            excess[i] = e
            loss[i] = p - e
            state[i] = left
        return excess, loss, state

    @jit
    def ponded(f0, hours, k, sd):
        target = k * hours
        if sd == 0.0:
            return f0 + target
        base = f0 + sd
        x = f0 + target
        for it in range(50):
            g = x - f0 - sd * math.log((x + sd) / base) - target
            dg = x / (x + sd)
            nxt = x - g / dg
            if it > 0 and not nxt < x:
                break
            x = nxt
        return x

    @jit
    def green_ampt(rain, step, initial, saturated, suction, k, impervious_pct):
        n = rain.shape[0]
        excess, loss, state = np.empty(n), np.empty(n), np.empty(n)
        sd = suction * (saturated - initial)
        dt = step / 3600.0
        imp = impervious_pct / 100.0
        perv = 1.0 - imp
        f = 0.0
        for j in range(n):
            p = rain[j] if rain[j] > 0.0 else 0.0
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
            excess[j] = e
            loss[j] = p - e
            state[j] = f
        return excess, loss, state

    return {"curve_number": curve_number, "initial_constant": initial_constant, "green_ampt": green_ampt}


CASES = {
    "curve_number": ((78.0, 0.2, 10.0, 1.0), lambda m, r, a: m.curve_number(r, *a[:3])),
    "initial_constant": ((0.5, 0.1, 10.0), lambda m, r, a: m.initial_constant(r, timedelta(seconds=STEP), *a)),
    "green_ampt": ((0.12, 0.43, 4.3, 0.04, 10.0),
                   lambda m, r, a: m.green_ampt(r, timedelta(seconds=STEP), *a)),
}


def run(s: h.Session) -> None:
    from basinkit_model import methods

    numba = importlib.util.find_spec("numba") is not None
    if not numba:
        s.missing("numba")
    kernels = _kernels() if numba else {}
    rain = _rain(s.size(1_000_000, 100_000))
    # numba's three outputs come from malloc. Once a process has freed a
    # large block, glibc keeps such buffers mapped instead of returning them
    # (it raises its mmap and trim thresholds): free one first, so that the
    # peer runs as in a long-lived process, without page faults per call,
    # also when this benchmark runs alone.
    freed = np.ones(2 << 20)  # 16 MiB: glibc raises its thresholds up to 32 MiB
    del freed
    for name, (args, ours) in CASES.items():
        sides = {"basinkit": lambda ours=ours, args=args: tuple(ours(methods, rain, args))}
        if numba:
            kernel = kernels[name]
            native_args = args if name == "curve_number" else (STEP, *args)
            sides["numba"] = lambda kernel=kernel, a=native_args: kernel(rain, *a)
        s.compare(f"{name} loss, NumPy in/out", sides, h.same_each, steps=rain.size)
    if numba:
        from benchmarks.numba_peers import _FMA

        def no_fma():
            checked = 0
            for kernel in kernels.values():
                for sig in kernel.signatures:
                    found = sorted(set(m.group(0) for m in _FMA.finditer(kernel.inspect_asm(sig))))
                    assert not found, f"{kernel}{sig} uses fused multiply-add: {found}"
                    checked += 1
            return f"no fused multiply-add in {checked} compiled signatures"

        s.check("loss kernels", no_fma)
    for r in s.rows:
        if r["benchmark"] == s.benchmark and r["side"] == "numba":
            s.target(f"{r['group']}: basinkit no slower than numba", r["ratio"] >= 1.0, f"{r['ratio']:.2f}×")
