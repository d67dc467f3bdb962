"""The same algorithms as basinkit's cores, written as a numba user who cares
about speed would write them, checked against basinkit before timing.

Every kernel keeps the evaluation order of the C++ core operation for
operation, so results agree bit for bit; otherwise each is the plain tight
loop for its job (no generality the job does not need). fastmath stays off (no reassociation,
no contraction to fused multiply-add) and error_model="numpy" gives IEEE
division instead of Python's ZeroDivisionError. `assert_no_fma` checks the
generated machine code as well.
"""

import re

import numba
import numpy as np

jit = numba.njit(fastmath=False, error_model="numpy", cache=False, nogil=False)


# ------------------------------------------------------------------ Muskingum


@jit
def _muskingum_pass(src, dst, initial, dt, k, x):
    # dst may be src: each inflow is read before its slot is written.
    n = src.shape[0]
    prev_in = src[0]
    prev_out = initial
    dst[0] = prev_out
    if n == 1:
        return
    two_k = k + k
    omx = 1.0 - x
    two_kx = two_k * x
    two_k1mx = two_k * omx
    den = dt + two_k1mx
    c0 = (dt - two_kx) / den
    c1 = (dt + two_kx) / den
    c2 = (two_k1mx - dt) / den
    for i in range(1, n):
        cur = src[i]
        prev_out = c2 * prev_out + (c1 * prev_in + c0 * cur)
        prev_in = cur
        dst[i] = prev_out


@jit
def _muskingum_steps(inflow, out, initial, dt, k, x, passes):
    # Step by step through every pass, each with its own previous inflow and
    # outflow: the passes' recurrences overlap in the processor instead of
    # running one after another.
    n = inflow.shape[0]
    two_k = k + k
    omx = 1.0 - x
    two_kx = two_k * x
    two_k1mx = two_k * omx
    den = dt + two_k1mx
    c0 = (dt - two_kx) / den
    c1 = (dt + two_kx) / den
    c2 = (two_k1mx - dt) / den
    prev_in = np.full(passes, initial)
    prev_out = np.full(passes, initial)
    prev_in[0] = inflow[0]
    out[0] = initial
    for i in range(1, n):
        v = inflow[i]
        for p in range(passes):
            routed = c2 * prev_out[p] + (c1 * prev_in[p] + c0 * v)
            prev_in[p] = v
            prev_out[p] = routed
            v = routed
        out[i] = v


@jit
def muskingum_reach(inflow, dt, k_s, x, sub_reaches, initial_outflow):
    """Outflow of a reach of `sub_reaches` equal passes (k_s in seconds): one
    pass as a plain loop, several step by step through all of them (faster
    from two passes on than pass after pass)."""
    return muskingum_segments(inflow, dt, k_s / float(sub_reaches), x, sub_reaches, initial_outflow)


@jit
def muskingum_segments(inflow, dt, k_seg, x, sub_reaches, initial_outflow):
    """The reach's loops, given each sub-reach's K (seconds) itself."""
    out = np.empty_like(inflow)
    if sub_reaches == 1 or inflow.shape[0] == 1:
        _muskingum_pass(inflow, out, initial_outflow, dt, k_seg, x)
    else:
        _muskingum_steps(inflow, out, initial_outflow, dt, k_seg, x, sub_reaches)
    return out


# ------------------------------------------------------------------ baseflow


@jit
def linear_reservoir(basin_area, rainfall, dt_s, k_secs, fractions, initial_qs, counts):
    """Total and per-layer baseflow; layers in array order."""
    dt_h = dt_s / 3600.0
    half_dt = dt_h * 0.5
    area_factor = basin_area * 1.00833
    n = rainfall.shape[0]
    layers = k_secs.shape[0]
    total = np.zeros(n)
    components = np.empty((layers, n))
    for l in range(layers):
        k_per_res = (k_secs[l] / 3600.0) / float(counts[l])
        if k_per_res < half_dt:
            raise ValueError("unstable layer")
    for l in range(layers):
        k_per_res = (k_secs[l] / 3600.0) / float(counts[l])
        c = dt_h / (half_dt + k_per_res)
        d = 1.0 - c
        f = fractions[l]
        state = np.full(counts[l], initial_qs[l])
        row = components[l]
        for i in range(n):
            flow = area_factor * ((f * rainfall[i]) / dt_h)
            for j in range(counts[l]):
                flow = (c * flow) + (d * state[j])
                state[j] = flow
            row[i] = flow
            total[i] = flow + total[i]
    return total, components


# ------------------------------------------------------------------ level pool
# The loop a numba user would write for one reservoir with a spillway, a
# capped gate and a gated minimum release: tables as float64 arrays, the
# outlets written out in a fixed order with no dispatch on their kind and no
# helper returning a tuple, and each table's search started at the segment
# found the step before (the level moves by a tiny fraction of a segment per
# one-second step; the segment holding a value is unique, so the answer does
# not depend on where the search starts). The records are taken at the end of
# each inflow step (an inner loop of dt one-second steps). Same operations in
# the same order as the core, so the results agree bit for bit.


@jit
def _bisect(xs, x):
    # Largest index whose abscissa is <= x, or 0.
    base = 0
    size = xs.shape[0]
    while size > 1:
        half = size // 2
        mid = base + half
        if xs[mid] <= x:
            base = mid
        size -= half
    return base


@jit
def _interp(xs, ys, x):
    # x lies within [xs[0], xs[-1]] here.
    b = _bisect(xs, x)
    x0 = xs[b]
    if x0 == x:
        return ys[b]
    return ys[b] + ((x - x0) / (xs[b + 1] - x0)) * (ys[b + 1] - ys[b])


@jit
def level_pool(inflow, dt, initial_elevation, es_e, es_s, spill_e, spill_q, gate_e, gate_q,
               gate_min, gate_cap, release, release_min):
    """Storage, elevation, total and the three outlets' records."""
    n = inflow.shape[0]
    rec = n - 1
    storage_rec = np.empty(rec)
    elevation_rec = np.empty(rec)
    total_rec = np.empty(rec)
    outlet_rec = np.empty((3, rec))
    last = es_s.shape[0] - 1
    if not (es_e[0] <= initial_elevation <= es_e[last]):
        raise ValueError("initial elevation outside the elevation-storage curve")
    s_first, s_last, s_end = spill_e[0], spill_e[spill_e.shape[0] - 1], spill_e.shape[0] - 1
    g_first, g_last, g_end = gate_e[0], gate_e[gate_e.shape[0] - 1], gate_e.shape[0] - 1
    v_first, v_last = es_s[0], es_s[last]
    e = initial_elevation
    storage = _interp(es_e, es_s, e)
    storage_rec[0] = storage
    elevation_rec[0] = e
    # Each table's search starts at the segment found the step before.
    hs = _bisect(spill_e, e)
    hg = _bisect(gate_e, e)
    hv = _bisect(es_s, storage)
    inflow_prev = inflow[0]
    fdt = float(dt)
    q0 = q1 = q2 = total = 0.0
    # k = 1 records the releases at the initial elevation only.
    for k in range(1, n):
        t0 = (k - 1) * dt
        first = 1 if k > 1 else dt
        for s in range(first, dt + 1):
            # spillway (no offset)
            if e > s_last:
                raise ValueError("elevation above the spillway's rating")
            if e < s_first:
                q0 = 0.0
            else:
                while spill_e[hs] > e:
                    hs -= 1
                while hs < s_end and spill_e[hs + 1] <= e:
                    hs += 1
                x0 = spill_e[hs]
                if x0 == e:
                    q0 = spill_q[hs]
                else:
                    q0 = spill_q[hs] + ((e - x0) / (spill_e[hs + 1] - x0)) * (
                        spill_q[hs + 1] - spill_q[hs])
            # gate, capped
            q1 = 0.0
            if not (e < gate_min):
                if e > g_last:
                    raise ValueError("elevation above the gate's rating")
                if not (e < g_first):
                    while gate_e[hg] > e:
                        hg -= 1
                    while hg < g_end and gate_e[hg + 1] <= e:
                        hg += 1
                    x0 = gate_e[hg]
                    if x0 == e:
                        q1 = gate_q[hg]
                    else:
                        q1 = gate_q[hg] + ((e - x0) / (gate_e[hg + 1] - x0)) * (
                            gate_q[hg + 1] - gate_q[hg])
                if q1 != q1 or gate_cap < q1:  # min_num(q1, cap)
                    q1 = gate_cap
            q2 = 0.0 if e < release_min else release
            total = ((0.0 + q0) + q1) + q2
            if k == 1:
                break
            p = float(t0 + s) / fdt
            i = int(p)
            if i >= n - 1:
                inflow_t = inflow[n - 1]
            else:
                inflow_t = inflow[i] + (p - i) * (inflow[i + 1] - inflow[i])
            storage = (storage + (inflow_prev + inflow_t) * 0.5) - total
            if storage != storage or storage < 0.0:  # max_num(storage, 0.0)
                storage = 0.0
            if not (v_first <= storage <= v_last):
                raise ValueError("storage outside the elevation-storage curve")
            while es_s[hv] > storage:
                hv -= 1
            while hv < last and es_s[hv + 1] <= storage:
                hv += 1
            x0 = es_s[hv]
            if x0 == storage:
                e = es_e[hv]
            else:
                e = es_e[hv] + ((storage - x0) / (es_s[hv + 1] - x0)) * (es_e[hv + 1] - es_e[hv])
            inflow_prev = inflow_t
        outlet_rec[0, k - 1] = q0
        outlet_rec[1, k - 1] = q1
        outlet_rec[2, k - 1] = q2
        total_rec[k - 1] = total
        if k > 1:
            storage_rec[k - 1] = storage
            elevation_rec[k - 1] = e
    return storage_rec, elevation_rec, total_rec, outlet_rec


# ------------------------------------------------------------------ checks

_FMA = re.compile(r"\bv?f(n)?m(add|sub)\w*\b", re.IGNORECASE)


def assert_no_fma():
    """Fails when any kernel compiled so far (helpers included) uses a fused
    multiply-add instruction; says how many compiled signatures it read."""
    checked = 0
    for name, kernel in sorted(globals().items()):
        if not isinstance(kernel, numba.core.registry.CPUDispatcher):
            continue
        for sig in kernel.signatures:
            asm = kernel.inspect_asm(sig)
            found = sorted(set(m.group(0) for m in _FMA.finditer(asm)))
            assert not found, f"{name}{sig} uses fused multiply-add: {found}"
            checked += 1
    assert checked, "no compiled kernel to inspect"
    return f"no fused multiply-add in {checked} compiled signatures"


def fma_detector_works():
    """The detector itself sees contraction where fastmath allows it."""
    from pathlib import Path

    @numba.njit(fastmath=True)
    def contracted(a, b, c):
        s = 0.0
        for i in range(a.size):
            s += a[i] * b[i] + c[i]
        return s

    x = np.ones(8)
    contracted(x, x, x)
    cpuinfo = Path("/proc/cpuinfo")
    if not cpuinfo.exists() or " fma" not in cpuinfo.read_text():
        return "processor without fused multiply-add: detector not exercised"
    asm = contracted.inspect_asm(contracted.signatures[0])
    assert _FMA.search(asm), "the FMA detector missed a contracted kernel"
    return "the detector finds FMA in a fastmath=True kernel"
