"""The same algorithms as basinkit's cores, compiled with numba, checked
against basinkit and the reference models of `reference`.

Every kernel keeps the evaluation order of the C++ core operation for
operation, so results agree bit for bit. fastmath stays off (no reassociation,
no contraction to fused multiply-add) and error_model="numpy" gives IEEE
division instead of Python's ZeroDivisionError. `assert_no_fma` checks the
generated machine code as well.
"""

import re

import numba
import numpy as np
from reference import arith

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
def muskingum_reach(inflow, dt, k_s, x, sub_reaches, initial_outflow):
    """Outflow of a reach of `sub_reaches` equal passes (k_s in seconds),
    routed pass by pass: the first into a new array, the others in place."""
    k_seg = k_s / float(sub_reaches)
    out = np.empty_like(inflow)
    _muskingum_pass(inflow, out, initial_outflow, dt, k_seg, x)
    for _ in range(1, sub_reaches):
        _muskingum_pass(out, out, out[0], dt, k_seg, x)
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

UNCONTROLLED, CONTROLLED, CONSTANT = 0, 1, 3


@jit
def _bisect(xs, length, x):
    # Largest index whose abscissa is <= x, or 0 (the halving search).
    base = 0
    size = length
    while size > 1:
        half = size // 2
        mid = base + half
        if xs[mid] <= x:
            base = mid
        size -= half
    return base


@jit
def _hinted(xs, length, x, hint):
    # The interval holding x is unique, so any search finds the same base; this
    # one starts at the last interval, as the core does.
    h = hint[0]
    if xs[h] <= x:
        if h + 1 == length or x < xs[h + 1]:
            return h
        if h + 2 == length or x < xs[h + 2]:
            hint[0] = h + 1
            return h + 1
    elif h == 0:
        return 0
    elif xs[h - 1] <= x:
        hint[0] = h - 1
        return h - 1
    b = _bisect(xs, length, x)
    hint[0] = b
    return b


@jit
def _finish(xs, ys, length, x, base, left):
    # x lies at or below the top of the table here.
    if xs[base] == x:
        return ys[base]
    if xs[base] > x:
        return left
    x0 = xs[base]
    x1 = xs[base + 1]
    y0 = ys[base]
    y1 = ys[base + 1]
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0)


@jit
def _lookup(xs, ys, length, x, left, hint, hinted):
    if hinted:
        base = _hinted(xs, length, x, hint)
    else:
        base = _bisect(xs, length, x)
    return _finish(xs, ys, length, x, base, left)


_max_num = jit(arith.max_num)
_min_num = jit(arith.min_num)


@jit
def level_pool(
    inflow,
    dt,
    initial_elevation,
    es_elevation,
    es_storage,
    kinds,
    curve_e,
    curve_q,
    curve_len,
    offset,
    min_elev,
    has_min,
    max_elev,
    has_max,
    cap,
    has_cap,
    discharge,
    hinted,
):
    """Storage, elevation, total and per-outlet records (outlets in array order).

    Uncontrolled outlets read `offset` (0.0 when absent, as the core adds);
    controlled ones have their gates already clamped into the curve.
    """
    n = inflow.shape[0]
    outlets = kinds.shape[0]
    es_len = es_elevation.shape[0]
    rec = n - 1 if n >= 2 else 0
    storage_rec = np.empty(max(rec, 1))
    elevation_rec = np.empty(max(rec, 1))
    total_rec = np.empty(rec)
    outlet_rec = np.empty((outlets, rec))
    hints = np.zeros(outlets + 1, dtype=np.int64)

    elevation = initial_elevation
    if not (es_elevation[0] <= elevation <= es_elevation[es_len - 1]):
        raise ValueError("initial elevation outside the elevation-storage curve")
    storage = _lookup(es_elevation, es_storage, es_len, elevation, 0.0, hints[outlets:], False)
    storage_rec[0] = storage
    elevation_rec[0] = elevation
    kept = 1
    recorded = 0
    inflow_prev = inflow[0]
    end = (n - 1) * dt
    next_record = dt
    for t in range(dt, end + 1):
        record = t == next_record
        total = 0.0
        for k in range(outlets):
            kind = kinds[k]
            q = 0.0
            if kind == CONSTANT:
                if (has_min[k] and elevation < min_elev[k]) or (
                    has_max[k] and elevation > max_elev[k]
                ):
                    q = 0.0
                else:
                    q = discharge[k]
            else:
                length = curve_len[k]
                ce = curve_e[k]
                e = elevation
                gated = False
                if kind == UNCONTROLLED:
                    e = elevation + offset[k]
                else:
                    if e < min_elev[k] or (has_max[k] and e > max_elev[k]):
                        gated = True
                if not gated:
                    if e > ce[length - 1]:
                        raise ValueError("elevation above the elevation-discharge curve")
                    if e < ce[0]:
                        q = 0.0
                    else:
                        q = _lookup(ce, curve_q[k], length, e, 0.0, hints[k : k + 1], hinted)
                    if kind == CONTROLLED and has_cap[k]:
                        q = _min_num(q, cap[k])
            if record:
                outlet_rec[k, recorded] = q
            total = total + q
        if record:
            total_rec[recorded] = total
            recorded += 1
            next_record += dt
            if t == dt:
                continue
        p = t / dt
        i = int(p)
        if i >= n - 1:
            inflow_t = inflow[n - 1]
        else:
            inflow_t = inflow[i] + (p - i) * (inflow[i + 1] - inflow[i])
        storage = _max_num((storage + ((inflow_prev + inflow_t) * 0.5) * 1.0) - (total * 1.0), 0.0)
        if not (es_storage[0] <= storage <= es_storage[es_len - 1]):
            raise ValueError("storage outside the elevation-storage curve")
        elevation = _lookup(es_storage, es_elevation, es_len, storage, 0.0, hints[outlets:], hinted)
        if record:
            storage_rec[kept] = storage
            elevation_rec[kept] = elevation
            kept += 1
        inflow_prev = inflow_t
    return storage_rec[:kept], elevation_rec[:kept], total_rec, outlet_rec


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
