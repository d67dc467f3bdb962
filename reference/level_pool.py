"""Reservoir outlets and level pool routing with one-second explicit steps."""

from dataclasses import dataclass

from .arith import lookup, max_num, min_num, series_value


@dataclass(frozen=True)
class Constant:
    discharge: float
    minimum_elevation: float | None = None
    maximum_elevation: float | None = None


@dataclass(frozen=True)
class Uncontrolled:
    elevation: list
    discharge: list
    elevation_offset: float | None = None


@dataclass(frozen=True, kw_only=True)
class _Gated:
    """Elevation gates and a release cap, given by keyword."""

    minimum_elevation: float | None = None
    maximum_elevation: float | None = None
    maximum_release: float | None = None


@dataclass(frozen=True)
class Controlled(_Gated):
    elevation: list
    discharge: list


@dataclass(frozen=True)
class Specified(_Gated):
    values: list
    time_step: int


def _outside(e, low, high):
    # Strict tests: an elevation exactly at a gate releases.
    return (low is not None and e < low) or (high is not None and e > high)


def _read_curve(xs, ys, e):
    if e > xs[-1]:
        raise ValueError(f"elevation {e} is above the maximum of the elevation-discharge curve")
    return 0.0 if e < xs[0] else lookup(xs, ys, e)


def release(outlet, e, t):
    """Discharge of one outlet at elevation `e`, `t` seconds into the run."""
    if isinstance(outlet, Constant):
        return 0.0 if _outside(e, outlet.minimum_elevation, outlet.maximum_elevation) \
            else outlet.discharge
    if isinstance(outlet, Uncontrolled):
        offset = outlet.elevation_offset
        return _read_curve(outlet.elevation, outlet.discharge,
                           e + (offset if offset is not None else 0.0))
    if isinstance(outlet, Controlled):
        # The gates are clamped into the curve when the outlet is made.
        xs = outlet.elevation
        low = xs[0] if outlet.minimum_elevation is None else max_num(outlet.minimum_elevation,
                                                                     xs[0])
        high = None if outlet.maximum_elevation is None else min_num(outlet.maximum_elevation,
                                                                     xs[-1])
        if _outside(e, low, high):
            return 0.0
        q = _read_curve(xs, outlet.discharge, e)
    else:
        if _outside(e, outlet.minimum_elevation, outlet.maximum_elevation):
            return 0.0
        if t > (len(outlet.values) - 1) * outlet.time_step:
            raise ValueError("past the end of the specified discharge series")
        q = series_value(outlet.values, outlet.time_step, t)
    cap = outlet.maximum_release
    return q if cap is None else min_num(q, cap)


def level_pool(inflow, step, initial_elevation, elevation, storage, outlets, bug=None):
    """(storage, elevation, total, per-outlet) records at every multiple of
    `step` seconds; `outlets` is a list in summation order. The first instant
    records the releases at the initial elevation without moving storage.

    Faults: "no_floor" (storage may go below 0.0), "spill_over_top" (storage
    above the curve goes on instead of failing), "advances_at_the_first_instant"
    (storage moves at the first instant too), "right_rectangle" (the inflow of
    each second taken at its end only).
    """
    s = lookup(elevation, storage, initial_elevation)
    if s is None:
        raise ValueError("initial elevation outside the elevation-storage curve")
    e = initial_elevation
    storage_rec, elevation_rec, total_rec = [s], [e], []
    outlet_rec = [[] for _ in outlets]
    i_prev = inflow[0]
    next_record = step
    for t in range(step, (len(inflow) - 1) * step + 1):
        record = t == next_record
        total = 0.0
        for k, outlet in enumerate(outlets):
            q = release(outlet, e, t)
            if record:
                outlet_rec[k].append(q)
            total = total + q
        if record:
            total_rec.append(total)
            next_record += step
            if t == step and bug != "advances_at_the_first_instant":
                continue
        i_t = series_value(inflow, step, t)
        if bug == "right_rectangle":
            i_prev = i_t
        s = (s + ((i_prev + i_t) * 0.5) * 1.0) - (total * 1.0)
        if bug != "no_floor":
            s = max_num(s, 0.0)
        e = lookup(storage, elevation, s)
        if e is None:
            if bug == "spill_over_top" and s > storage[-1]:
                e = elevation[-1] + (s - storage[-1]) * 1e-6
            else:
                raise ValueError(f"storage {s} is outside the elevation-storage curve")
        if record and t != step:
            storage_rec.append(s)
            elevation_rec.append(e)
        i_prev = i_t
    return storage_rec, elevation_rec, total_rec, outlet_rec
