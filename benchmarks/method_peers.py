"""Transforms, recession baseflow, lag and Muskingum-Cunge against numba, bit for bit."""

import importlib.util
from datetime import timedelta

import numpy as np

from benchmarks import harness as h

STEP = 900  # seconds
AREA_ACRES = 6400.0
LAG = timedelta(hours=2)


def _excess(n):
    """Storm bursts between dry spells, as a loss method leaves them: 40 % of the steps wet."""
    rng = np.random.default_rng(24)
    return rng.gamma(0.6, 0.05, n) * (rng.random(n) < 0.4)


def _hydrograph(n):
    """Direct runoff of one flood: a rise over a tenth of the record, then a long fall."""
    t = np.arange(n, dtype=np.float64) / (n / 10.0)
    return 900.0 * t**3 * np.exp(3.0 * (1.0 - t))


def _kernels():
    import math

    import numba

    from benchmarks.numba_peers import muskingum_segments

    jit = numba.njit(fastmath=False, error_model="numpy", cache=False, nogil=False)

    # NEH 630 ch. 16, Table 16-1, as the core holds it.
    table_x = np.array([0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0, 1.1, 1.2, 1.3, 1.4,
                        1.5, 1.6, 1.7, 1.8, 1.9, 2.0, 2.2, 2.4, 2.6, 2.8, 3.0, 3.2, 3.4, 3.6, 3.8,
                        4.0, 4.5, 5.0])
    table_q = np.array([0.000, 0.030, 0.100, 0.190, 0.310, 0.470, 0.660, 0.820, 0.930, 0.990, 1.000,
                        0.990, 0.930, 0.860, 0.780, 0.680, 0.560, 0.460, 0.390, 0.330, 0.280, 0.207,
                        0.147, 0.107, 0.077, 0.055, 0.040, 0.029, 0.021, 0.015, 0.011, 0.005, 0.000])

    @jit
    def close_and_scale(uh, count, dt, unit_volume):
        # A closing zero, then scaled to hold the unit volume: factor = volume / (dt * sum).
        uh[count] = 0.0
        count += 1
        total = 0.0
        for k in range(count):
            total += uh[k]
        factor = unit_volume / (dt * total)
        for k in range(count):
            uh[k] = uh[k] * factor
        return uh[:count]

    @jit
    def convolve(excess, uh):
        n, m = excess.shape[0], uh.shape[0]
        q = np.zeros(n + m - 1)
        for i in range(n):
            p = excess[i]
            if p == 0.0:
                continue
            for k in range(m):
                q[i + k] = q[i + k] + p * uh[k]
        return q

    @jit
    def nrcs_uh(excess, dt, unit_volume, lag_s):
        tp = 0.5 * dt + lag_s
        n = int(math.ceil((5.0 * tp) / dt) + 2.0)
        uh = np.empty(n + 1)
        uh[0] = 0.0
        count = 1
        last = table_x.shape[0] - 1
        for k in range(1, n - 1):
            x = (dt * float(k)) / tp
            f = 0.0
            if x < table_x[last]:
                i = 0
                while table_x[i + 1] <= x:
                    i += 1
                f = table_q[i] + (table_q[i + 1] - table_q[i]) * ((x - table_x[i]) / (table_x[i + 1] - table_x[i]))
            if x > 1.0 and not f >= 1e-12:
                break
            uh[count] = f
            count += 1
        return convolve(excess, close_and_scale(uh, count, dt, unit_volume))

    @jit
    def snyder_uh(excess, dt, unit_volume, area, lag_s, cp, c2, c50, c75):
        dt_h = dt / 3600.0
        tp = lag_s / 3600.0
        tr = tp / 5.5
        tp_r = tp + (dt_h - tr) / 4.0
        qp_r = (c2 * cp) / tp_r
        peak = qp_r * area
        spread = qp_r**1.08
        w50 = c50 / spread
        w75 = c75 / spread
        t_peak = 0.5 * dt_h + tp_r
        pt = np.array([0.0, (t_peak - w50 / 3.0) * 3600.0, (t_peak - w75 / 3.0) * 3600.0, t_peak * 3600.0,
                       (t_peak + (2.0 * w75) / 3.0) * 3600.0, (t_peak + (2.0 * w50) / 3.0) * 3600.0, 0.0])
        pq = np.array([0.0, 0.5 * peak, 0.75 * peak, peak, 0.75 * peak, 0.5 * peak, 0.0])
        held = 0.0
        for i in range(5):
            held = held + (0.5 * (pt[i + 1] - pt[i])) * (pq[i] + pq[i + 1])
        pt[6] = pt[5] + (4.0 * (unit_volume - held)) / peak
        uh = np.empty(int(math.ceil(pt[6] / dt) + 1.0) + 1)
        uh[0] = 0.0
        count = 1
        i = 0
        k = 1
        while True:
            t = dt * float(k)
            if not t < pt[6]:
                break
            while pt[i + 1] <= t:
                i += 1
            uh[count] = pq[i] + (pq[i + 1] - pq[i]) * ((t - pt[i]) / (pt[i + 1] - pt[i]))
            count += 1
            k += 1
        return convolve(excess, close_and_scale(uh, count, dt, unit_volume))

    @jit
    def user_uh(excess, dt, ordinates, unit_volume):
        # The ordinates as given, closed by a zero unless they end with one.
        m = ordinates.shape[0]
        uh = np.empty(m + 1)
        uh[:m] = ordinates
        return convolve(excess, close_and_scale(uh, m if ordinates[m - 1] != 0.0 else m - 1, dt, unit_volume))

    @jit
    def recession(direct, dt, initial_q, k, ratio):
        n = direct.shape[0]
        kd = k ** (dt / 86400.0)
        b = np.empty(n)
        b[0] = initial_q
        peak = 0
        top = direct[0] + b[0]
        for i in range(1, n):
            b[i] = b[i - 1] * kd
            total = direct[i] + b[i]
            if total > top:
                top = total
                peak = i
        threshold = ratio * top
        c = peak + 1
        while c < n and not direct[c] + b[c] < threshold:
            c += 1
        if c >= n:
            return b, -1
        q = direct[c] + b[c]
        for i in range(c + 1, n):
            q = q * kd
            b[i] = q - direct[i]
        return b, c

    @jit
    def lag(inflow, dt, lag_s):
        n = inflow.shape[0]
        steps = lag_s / dt
        whole = math.floor(steps)
        f = steps - whole
        g = 1.0 - f
        m = n if whole >= n else int(whole)
        first = inflow[0]
        out = np.empty(n)
        for i in range(min(m + 1, n)):
            a = inflow[i - m] if i >= m else first
            out[i] = g * a + f * first
        for i in range(m + 1, n):
            out[i] = g * inflow[i - m] + f * inflow[i - m - 1]
        return out

    return {"nrcs_uh": nrcs_uh, "snyder_uh": snyder_uh, "user_uh": user_uh, "recession": recession,
            "lag": lag, "muskingum_cunge": muskingum_segments, "convolve": convolve,
            "close_and_scale": close_and_scale}


def _user_ordinates():
    """A triangle holding one inch over the area, a little off so that it is scaled."""
    from basinkit_model._transform_methods import unit_volume

    base = 12
    shape = np.concatenate([np.linspace(0.0, 1.0, base // 3 + 1), np.linspace(1.0, 0.0, base - base // 3 + 1)[1:]])
    return shape * (unit_volume(AREA_ACRES) / (STEP * shape.sum())) * 1.004


def run(s: h.Session) -> None:
    from basinkit_model import _native, methods
    from basinkit_model._routing_methods import cunge_constants
    from basinkit_model._transform_methods import ACRES_PER_SQ_MILE, SNYDER_US, nrcs_shape, unit_volume

    numba = importlib.util.find_spec("numba") is not None
    if not numba:
        s.missing("numba")
    k = _kernels() if numba else {}
    n = s.size(1_000_000, 100_000)
    excess, flow = _excess(n), _hydrograph(n)
    step, lag_s, volume = timedelta(seconds=STEP), LAG.total_seconds(), unit_volume(AREA_ACRES)
    ordinates = _user_ordinates()
    ordinate_list = [float(u) for u in ordinates]
    mc = cunge_constants(30_000.0, 0.0005, 2_000.0, 800.0, 200.0, 5.0 / 3.0, 3)
    dt = float(STEP)
    # The natives as basinkit_model.methods calls them, their results read in place.
    tabulated, m = nrcs_shape(484.0)
    span = (2.4 * STEP)
    sq_mi = AREA_ACRES / ACRES_PER_SQ_MILE
    cases = [
        ("NRCS unit hydrograph (484)",
         lambda: np.frombuffer(_native.nrcs_uh(excess, STEP, volume, LAG, tabulated, m)),
         lambda: k["nrcs_uh"](excess, dt, volume, lag_s)),
        ("Snyder unit hydrograph",
         lambda: np.frombuffer(_native.snyder_uh(excess, STEP, volume, sq_mi, LAG, 0.6, *SNYDER_US)),
         lambda: k["snyder_uh"](excess, dt, volume, sq_mi, lag_s, 0.6, *SNYDER_US)),
        ("user unit hydrograph",
         lambda: np.frombuffer(_native.user_uh(excess, STEP, ordinate_list, volume, True)),
         lambda: k["user_uh"](excess, dt, ordinates, volume)),
        ("recession baseflow",
         lambda: _flow_and_crossing(_native.recession(flow, STEP, 40.0, 0.85, 0.2, None)),
         lambda: k["recession"](flow, dt, 40.0, 0.85, 0.2)),
        ("lag routing (2.4 steps)",
         lambda: np.frombuffer(_native.lag(flow, STEP, timedelta(seconds=span))),
         lambda: k["lag"](flow, dt, span)),
        ("Muskingum-Cunge, 3 sub-reaches",
         lambda: np.frombuffer(_native.muskingum_cunge(flow, STEP, mc.k, mc.x, 3, float(flow[0]))[0]),
         lambda: k["muskingum_cunge"](flow, dt, mc.k, mc.x, 3, float(flow[0]))),
    ]
    public = {
        "NRCS unit hydrograph (484)": lambda: methods.nrcs_unit_hydrograph(excess, step, AREA_ACRES, LAG),
        "Snyder unit hydrograph": lambda: methods.snyder_unit_hydrograph(excess, step, AREA_ACRES, LAG, 0.6),
        "user unit hydrograph": lambda: methods.user_unit_hydrograph(excess, step, AREA_ACRES, ordinates, True),
        "recession baseflow": lambda: methods.recession(flow, step, 40.0, 0.85, ratio_to_peak=0.2),
        "lag routing (2.4 steps)": lambda: methods.lag(flow, step, timedelta(seconds=span)),
        "Muskingum-Cunge, 3 sub-reaches": lambda: methods.muskingum_cunge(
            flow, step, 30_000.0, 0.0005, 2_000.0, 800.0, 200.0, sub_reaches=3),
    }
    for group, ours, theirs in cases:
        sides = {"basinkit": ours}
        if numba:
            sides["numba"] = theirs
        sides["basinkit_model.methods"] = public[group]
        s.compare(group, sides, _agree, steps=n)
    if numba:
        from benchmarks.numba_peers import _FMA

        def no_fma():
            checked = 0
            for kernel in k.values():
                for sig in kernel.signatures:
                    found = sorted(set(m.group(0) for m in _FMA.finditer(kernel.inspect_asm(sig))))
                    assert not found, f"{kernel}{sig} uses fused multiply-add: {found}"
                    checked += 1
            return f"no fused multiply-add in {checked} compiled signatures"

        s.check("method kernels", no_fma)
    for r in s.rows:
        if r["benchmark"] == s.benchmark and r["side"] == "numba":
            s.target(f"{r['group']}: basinkit no slower than numba", r["ratio"] >= 1.0, f"{r['ratio']:.2f}×")


def _flow_and_crossing(packed):
    flow, crossing = packed
    return np.frombuffer(flow), crossing


def _agree(ours, theirs, what):
    """Bit for bit; recession also gives the instant the total fell below its threshold."""
    if isinstance(ours, tuple):
        crossing = -1 if ours[1] is None else ours[1]
        if crossing != theirs[1]:
            raise h.Disagreement(f"{what}: crossing at {crossing}, numba {theirs[1]}")
        ours, theirs = ours[0], theirs[0]
    return h.same_bits(ours, theirs, what)
