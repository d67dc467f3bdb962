"""Builds one fuzz case from a choice source, runs it and judges the outcome.

A case calls one public entry point (constructor, function, method, getter,
setter, deleter, buffer export, copy) with generated arguments, laid out by
position and keyword, sometimes with a deliberately broken binding. The
outcome must be a result that passes the case's checks, or an exception of
an allowed class. PanicException is allowed only for the inputs that are
documented to reach an internal fault; anything else is a Fault.
"""

import copy
import importlib.machinery
import math
import os
import pickle
import signal
import subprocess
import sys
import tempfile
import warnings
from datetime import timedelta

import basinkit
import catalogue
from reference.arith import seconds as td_seconds

from .values import (
    FAIL, UNKNOWN, Boom, DictSub, Hook, StrSub, V, bits_equal, gen_float, gen_flag, gen_int,
    gen_kind, gen_length, gen_optional_float, gen_sequence, gen_timedelta, lists_equal,
    non_decreasing, sorted_strict, _values,
)

# Work units (roughly one inner-loop step each) one case may cost; the long
# run raises it through the environment.
BUDGET = int(os.environ.get("BASINKIT_FUZZ_BUDGET", "300000"))

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, UserWarning, Boom)


class Fault(AssertionError):
    """A fuzz input made the module misbehave."""


def is_panic(exc):
    t = type(exc)
    return t.__name__ == "PanicException" and t.__bases__ == (BaseException,)


utils = basinkit.utils
CTS = utils.ContinuousTimeSeries
ITS = utils.IncrementalTimeSeries
LinearReservoir = basinkit.baseflow.LinearReservoir
RU = basinkit.reservoir.reservoir_utils
ES = RU.ElevationStorage
ED = RU.ElevationDischarge
CONST = RU.ConstantDischargeInfo
SPECIFIED = RU.SpecifiedDischargeInfo
CTRL = RU.ControlledDischargeInfo
UNCTRL = RU.UnControlledDischargeInfo
run_level_pool_routing = basinkit.reservoir.run_level_pool_routing


def _subclass(cls):
    return type(cls.__name__ + "Sub", (cls,), {"extra": 1})


CTSSub, ITSSub = _subclass(CTS), _subclass(ITS)
ESSub, EDSub = _subclass(ES), _subclass(ED)
CONSTSub, SPECIFIEDSub, CTRLSub, UNCTRLSub = map(_subclass, (CONST, SPECIFIED, CTRL, UNCTRL))


class DupKey(str):
    """Hashes by identity, so a dict can hold it beside an equal str."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


# ---------------------------------------------------------------- cases


class Case:
    def __init__(self, name, call, *, must_fail=False, panic_ok=False, allowed=(), check=None,
                 warn_error=False, detail="", strict=False, on_error=None):
        self.name = name
        # Every argument is well-formed: a conversion error would be a fault.
        self.strict = strict and not must_fail
        self.call = call
        self.must_fail = must_fail
        self.panic_ok = panic_ok
        self.allowed = allowed
        self.check = check
        self.warn_error = warn_error
        self.detail = detail
        # Called with an allowed exception; raises Fault if its message is wrong.
        self.on_error = on_error

    def __repr__(self):
        return f"{self.name}: {self.detail}"


def bind(src, fn, names, required, vals):
    """Calls `fn` with `vals` laid out by position and keyword. Returns the
    thunk, whether the layout is broken on purpose, and a description."""
    args, kwargs = [], {}
    odd_key = None
    positional = True
    for name, v in zip(names, vals):
        if v is None:  # an optional parameter left out
            positional = False
            continue
        if positional and src.chance(60):
            args.append(v.obj)
        else:
            positional = False
            kwargs[name] = v.obj
    broken = False
    if getattr(src, "hostile", True) and src.chance(12):
        mutation = src.integer(0, 3)
        if mutation == 0:
            # Leave out a required argument (a positional one only from the end).
            victim = src.integer(0, required - 1)
            if names[victim] in kwargs:
                del kwargs[names[victim]]
                broken = True
            elif victim == len(args) - 1:
                args.pop()
                broken = True
        elif mutation == 1:
            # One positional argument too many.
            args = args + [kwargs.pop(n) for n in names[len(args):] if n in kwargs]
            args += [0.0] * (len(names) + 1 - len(args))
            broken = True
        elif mutation == 2:
            odd_key = src.choice(["bogus", "Data", "self", "time_step_", names[0] + "_",
                                  "a\x00b", names[0] + "\x00", "\ud800", "x\udfff'", "é\u2603"])
            kwargs[odd_key] = 1.0
            broken = True
        elif args:
            # The same parameter by position and by keyword.
            kwargs[names[src.integer(0, len(args) - 1)]] = 1.0
            broken = True

    def thunk():
        if odd_key is None:
            return fn(*args, **kwargs)
        # Binding comes first, so the odd name is what the call reports.
        try:
            return fn(*args, **kwargs)
        except TypeError as exc:
            if "unexpected keyword argument" in str(exc):
                expect(str(exc).endswith(f"unexpected keyword argument '{shown(odd_key)}'"),
                       f"unexpected keyword {odd_key!r} reported as {str(exc)!r}")
            raise
        except Exception as exc:  # noqa: BLE001 - any other class is the fault
            raise Fault(f"unexpected keyword {odd_key!r} gave {type(exc).__name__}: {exc}")

    detail = f"args={[_r(a) for a in args]} kwargs={ {_r(k): _r(v) for k, v in kwargs.items()} }"
    return thunk, broken, detail


def shown(name):
    """A keyword name as messages show it: whole, or escaped as repr would
    escape it when it cannot be written as UTF-8."""
    try:
        name.encode()
    except UnicodeEncodeError:
        return repr(name)[1:-1]
    return name


def _r(o):
    try:
        s = repr(o)
    except Exception:  # noqa: BLE001
        s = f"<{type(o).__name__}>"
    return s if len(s) <= 120 else s[:117] + "..."


def failing(*vals):
    return any(v is not None and v.val is FAIL for v in vals)


def known(*vals):
    return all(v is None or (v.val is not FAIL and v.val is not UNKNOWN) for v in vals)


def expect(cond, what):
    if not cond:
        raise Fault(what)


# ---------------------------------------------------------------- instances


def good_values(src, cap):
    return _values(src, gen_length(src, cap))


def make_series(src, cls=None, cap=1000, values=None, step=None):
    """A valid series with its expected contents."""
    cls = cls or src.choice([CTS, CTS, CTSSub, ITS, ITSSub])
    values = good_values(src, cap) if values is None else values
    step = step or src.choice([1, 2, 30, 60, 90, 3600, 86400, 2 ** 31 - 1])
    kind = src.choice(["discharge", "rainfall", "elevation", "volume"])
    return cls(values, timedelta(seconds=step), kind), values, step, kind


def series_arg(src, want, cap=1000, step_pick=None):
    """An argument that should be a `want` series; sometimes something else.
    Value: (values, step) or FAIL."""
    k = src.integer(0, 9) if src.hostile else 0
    if k < 8:
        cls = want if src.chance(70) else {CTS: CTSSub, ITS: ITSSub}[want]
        step = src.choice(step_pick) if step_pick else None
        obj, values, step, _ = make_series(src, cls, cap, step=step)
        return V(obj, (values, step))
    other = {CTS: ITS, ITS: CTS}[want]
    bad = src.choice([other([1.0], timedelta(hours=1), "rainfall"), None, [1.0, 2.0], 5.0,
                      "series", object()])
    return V(bad, FAIL)


def make_curve_values(src, n, allow_inf=True):
    return sorted_strict(src, n, allow_inf), sorted_strict(src, n, allow_inf)


def es_arg(src):
    """An ElevationStorage argument. Value: (elevations, storages) or FAIL."""
    if src.hostile and src.chance(8):
        return V(src.choice([None, 5, [1.0, 2.0], timedelta(1)]), FAIL)
    n = src.choice([0, 1, 2, 2, 3, 4, 6])
    e, s = make_curve_values(src, n)
    cls = ES if src.chance(80) else ESSub
    return V(cls(e, s), (e, s))


def ed_arg(src):
    if src.hostile and src.chance(8):
        return V(src.choice([None, 5, [1.0, 2.0]]), FAIL)
    n = src.choice([2, 2, 3, 5])
    e = sorted_strict(src, n, allow_inf=True)
    q = non_decreasing(src, n)
    cls = ED if src.chance(80) else EDSub
    return V(cls(e, q), (e, q))


def outlet_arg(src, cap_series=64):
    """A valid outlet instance, or something that is none. Value: a tuple
    describing it, or FAIL."""
    if src.hostile and src.chance(10):
        return V(src.choice([5, None, "outlet", 1.5, ES and ES([], [])]), FAIL)
    kind = src.choice(["const", "specified", "ctrl", "unctrl"])
    opt = [gen_optional_float(src, small=True) if src.chance(70) else V(None, None)
           for _ in range(3)]
    opt = [o if o.val is not FAIL and o.val is not UNKNOWN else V(None, None) for o in opt]
    vals = [o.val for o in opt]
    if kind == "const":
        cls = src.choice([CONST, CONSTSub])
        d = gen_float(src, small=True)
        if d.val is FAIL or d.val is UNKNOWN:
            d = V(10.0, 10.0)
        return V(cls(d.obj, opt[0].obj, opt[1].obj), ("const", d.val, vals[0], vals[1]))
    if kind == "specified":
        cls = src.choice([SPECIFIED, SPECIFIEDSub])
        obj, values, step, _ = make_series(src, CTS, cap_series,
                                           step=src.choice([1, 2, 60, 3600]))
        return V(cls(obj, *[o.obj for o in opt]), ("specified", values, step) + tuple(vals))
    e = ed_arg(src)
    if e.val is FAIL:
        e = V(ED([0.0, 1000.0], [0.0, 10.0]), ([0.0, 1000.0], [0.0, 10.0]))
    if kind == "ctrl":
        cls = src.choice([CTRL, CTRLSub])
        return V(cls(e.obj, *[o.obj for o in opt]), ("ctrl", e.val) + tuple(vals))
    cls = src.choice([UNCTRL, UNCTRLSub])
    return V(cls(e.obj, opt[0].obj), ("unctrl", e.val, vals[0]))


def name_key(src, i):
    k = src.integer(0, 19) if src.hostile else src.choice([0, 15, 16])
    if k < 15:
        return V(f"n{i}", f"n{i}")
    if k == 15:
        return V(StrSub(f"s{i}"), f"s{i}")
    if k == 16:
        return V(DupKey("dup"), "dup")
    if k == 17:
        return V(src.choice(["", "é\u2603", "a\x00b", "\ud800"]) + str(i), UNKNOWN)
    return V(src.choice([1, None, b"x", (1,), 2.5]), FAIL)


def named_arg(src, make_value, max_items=4):
    """A named-components dict. Value: list of (name, value) or FAIL."""
    if src.hostile and src.chance(6):
        return V(src.choice([None, [("a", 1)], "abc", 5, {1, 2}]), FAIL)
    d = DictSub() if src.chance(20) else {}
    items = []
    fail = False
    for i in range(src.integer(0, max_items)):
        key = name_key(src, i)
        value = make_value(src)
        d[key.obj] = value.obj
        if key.val is FAIL or value.val is FAIL:
            fail = True
        items.append((key.val, value.val))
    if fail:
        return V(d, FAIL)
    if any(k is UNKNOWN or v is UNKNOWN for k, v in items):
        return V(d, UNKNOWN)
    return V(d, items)


# ---------------------------------------------------------------- targets


def t_series_new(src):
    cls = src.choice([CTS, ITS, CTSSub, ITSSub])
    data = gen_sequence(src, cap=min(BUDGET, 100000))
    step = gen_timedelta(src, [timedelta(seconds=s) for s in (1, 60, 3600, 86400, 0.5)])
    kind = gen_kind(src)
    vals = [data, step, kind]
    how = src.integer(0, 9)
    cross = False
    if how == 0:
        fn = lambda *a, **k: cls.__new__(cls, *a, **k)  # noqa: E731
    elif how == 1:
        other = src.choice([CTS, ITS])
        cross = not issubclass(cls, other)
        fn = lambda *a, **k: other.__new__(cls, *a, **k)  # noqa: E731
    else:
        fn = cls
    thunk, broken, detail = bind(src, fn, ["data", "time_step", "kind"], 3, vals)
    must_fail = broken or cross or failing(*vals)
    step_s = None
    if step.val not in (FAIL,):
        secs = td_seconds(step.val)
        step_s = 2 ** 31 - 1 if secs >= 2147483647.0 else int(secs)
        if step_s < 1:
            must_fail = True

    def check(obj):
        expect(isinstance(obj, cls), "constructor returned another class")
        if known(data):
            expect(lists_equal(obj.data, data.val), "data differs from the input values")
        expect(obj.kind == kind.val, "kind differs")
        expect(obj.time_step == timedelta(seconds=step_s), "time_step differs")
        n = len(obj.data)
        span = step_s * (n - 1) if issubclass(cls, CTS) else step_s * n
        expect(obj.total_duration() == span, "total_duration differs")
        mv = memoryview(obj)
        expect(mv.readonly and mv.format == "d" and mv.shape == (n,), "buffer shape differs")
        expect(lists_equal(mv.tolist(), obj.data), "buffer differs from data")

    def on_error(exc):
        # User text reaches the message whole, NULs included.
        if isinstance(exc, ValueError) and str(exc).startswith("kind must be one of"):
            expect(str(exc).endswith(f"got '{kind.obj}'"), f"kind reported as {str(exc)!r}")

    return Case("series_new", thunk, strict=known(*vals), must_fail=must_fail, check=check,
                detail=detail, on_error=on_error)


def t_series_use(src):
    obj, values, step, kind = make_series(src, cap=min(BUDGET, 10000))
    n = len(values)
    op = src.integer(0, 11)
    if op == 0 and isinstance(obj, ITS):
        pick = [30, 60, 90, 1800, 3600, step, step // 2, step // 3, 29, 0, -60, 2 ** 31]
        target = gen_int(src, "i32", [p for p in pick if p])
        if isinstance(target.val, int) and target.val >= 30 and step % target.val == 0:
            if (step // target.val) * n > BUDGET:
                target = V(step, step)
        thunk, broken, detail = bind(src, obj.disaggregate, ["target_step"], 1, [target])
        t = target.val

        def check(res):
            expect(type(res) is ITS, "disaggregate returned another class")
            reps = step // t
            expect(len(res.data) == reps * n, "disaggregate length")
            factor = t / step
            expect(lists_equal(res.data, [factor * v for v in values for _ in range(reps)]),
                   "disaggregate values")
            expect(res.time_step == timedelta(seconds=t) and res.kind == kind,
                   "disaggregate step/kind")

        must_fail = broken or failing(target) or (
            isinstance(t, int) and (t < 30 or step % t != 0))
        return Case("disaggregate", thunk, must_fail=must_fail,
                    check=check if known(target) and not must_fail else None, detail=detail)
    if op == 1:
        extra = src.choice([(), (1,), ("x",)])
        return Case("total_duration", lambda: obj.total_duration(*extra),
                    must_fail=bool(extra), detail=repr(extra))
    if op == 2:
        attr = src.choice(["data", "time_step", "kind", "total_duration", "disaggregate"])
        value = src.choice([[1.0], None, timedelta(1), "volume"])
        setting = src.boolean()
        if setting:
            call = lambda: setattr(obj, attr, value)  # noqa: E731
        else:
            call = lambda: delattr(obj, attr)  # noqa: E731
        # Subclass instances carry a __dict__, where a method may be shadowed.
        sub = type(obj) in (CTSSub, ITSSub)
        shadow = sub and setting and attr in ("total_duration", "disaggregate")
        return Case("series_setattr", call, must_fail=not shadow, allowed=(AttributeError,),
                    detail=attr)
    if op == 3:
        # A descriptor of one class applied to an instance of the other.
        other = ITS if isinstance(obj, CTS) else CTS
        attr = src.choice(["data", "kind", "time_step"])
        return Case("foreign_getter", lambda: getattr(other, attr).__get__(obj, other),
                    must_fail=True, detail=attr)
    if op == 4:
        other = ITS if isinstance(obj, CTS) else CTS
        return Case("foreign_method", lambda: other.total_duration(obj), must_fail=True)
    if op == 5:
        how = src.choice(["copy", "deepcopy", "pickle"])
        fn = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle": pickle.dumps}[how]
        return Case("copy", lambda: fn(obj), allowed=(pickle.PicklingError,), detail=how)
    if op == 6:
        def use_buffer():
            import numpy as np
            a = np.asarray(obj)
            expect(a.dtype == np.float64 and not a.flags.writeable, "numpy view flags")
            expect(lists_equal(a.tolist(), values), "numpy view values")
            mv = memoryview(obj)
            expect(lists_equal(mv.cast("B").cast("d").tolist(), values), "byte view values")
            mv.release()
            return bytes(obj)

        return Case("buffer", use_buffer, allowed=(BufferError,))
    if op == 7:
        import ctypes

        def writable():
            ctypes.c_char.from_buffer(obj)

        return Case("buffer_writable", writable, must_fail=True,
                    allowed=(BufferError,), detail=str(n))
    if op == 8:
        # Feed a series (or its view) back in as a sequence of values.
        as_view = src.boolean()
        arg = memoryview(obj) if as_view else obj

        def check(res):
            expect(lists_equal(res.data, values), "series copied through its buffer")

        return Case("series_as_sequence", lambda: CTS(arg, timedelta(seconds=1), "volume"),
                    must_fail=not as_view, check=check if as_view else None)
    def reads():
        out = (obj.data, obj.kind, obj.time_step, obj.total_duration(), repr(obj), hash(obj),
               obj == obj, str(obj))
        expect(lists_equal(out[0], values) and out[1] == kind, "getters differ")
        return out

    return Case("series_reads", reads)


def t_loss(src):
    fn = basinkit.rainfall_loss.run_deficit_and_constant
    rain = series_arg(src, ITS, cap=min(BUDGET, 100000))
    vals = [rain, gen_float(src, small=True), gen_float(src, small=True),
            gen_float(src, small=True),
            gen_timedelta(src, [timedelta(hours=h) for h in (0, 1, 10, 48)])]
    thunk, broken, detail = bind(src, fn, ["rainfall", "initial_deficit", "max_deficit",
                                           "constant_loss_per_hr", "time_to_dry"], 5, vals)

    def check(res):
        parts = (res.excess, res.loss, res.deficit)
        values, step = rain.val
        for p in parts:
            expect(type(p) is ITS and p.kind == "rainfall", "loss result series class/kind")
            expect(len(p.data) == len(values), "loss result length")
            expect(p.time_step == timedelta(seconds=step), "loss result step")

    return Case("loss", thunk, strict=known(*vals), must_fail=broken or failing(*vals),
                check=None if failing(rain) else check, detail=detail)


def t_clark(src):
    fn = basinkit.rainfall_transform.run_clark_uh
    rain = series_arg(src, ITS, cap=min(BUDGET, 10000), step_pick=[60, 300, 3600, 1, 86400])
    area = gen_float(src, small=True)
    tc = gen_timedelta(src, [timedelta(hours=h) for h in (0, 1, 2, 2.5, 6)])
    r = gen_timedelta(src, [timedelta(hours=h) for h in (0, 0.5, 1, 3)])
    # Work: rainfall length x (translation steps + recession). The recession
    # lasts about 25 R/dt steps, or, alternating below R = dt/2, up to about
    # 6 dt/R (an R of zero ends it at once).
    if rain.val is not FAIL and tc.val is not FAIL and r.val is not FAIL:
        values, step = rain.val
        r_s = td_seconds(r.val)
        recession = 25 * r_s / step if 2 * r_s >= step or r_s == 0 else min(6 * step / r_s, 1e6)
        steps = math.ceil(td_seconds(tc.val) / step) + recession + 2
        if max(len(values), 1) * steps > BUDGET or steps > BUDGET:
            tc, r = V(timedelta(seconds=2 * step), timedelta(seconds=2 * step)), V(
                timedelta(seconds=step), timedelta(seconds=step))
    vals = [rain, area, tc, r]
    thunk, broken, detail = bind(src, fn, ["rainfall", "basin_area", "tc", "storage_r"], 4, vals)

    def check(res):
        values, step = rain.val
        expect(type(res) is CTS and res.kind == "discharge", "clark result class/kind")
        expect(res.time_step == timedelta(seconds=step), "clark result step")
        # At least U_0 and U_1 in the unit hydrograph, for a zero tc as well.
        expect(len(res.data) >= len(values) + 1, "clark result length")
        if values and all(math.isfinite(v) for v in values) and math.isfinite(area.val):
            expect(res.data[0] == 0.0, "first clark ordinate is zero")

    return Case("clark", thunk, strict=known(*vals), must_fail=broken or failing(*vals),
                check=check if known(*vals) else None, detail=detail)


def t_muskingum(src):
    fn = basinkit.reach.run_muskingum_routing
    inflow = series_arg(src, CTS, cap=min(BUDGET, 100000))
    k = gen_timedelta(src, [timedelta(hours=h) for h in (0, 1, 2, 0.25)])
    x = gen_float(src, small=True)
    if src.chance(50) and x.val is not FAIL:
        x = V(src.choice([0.0, 0.2, 0.5, -0.0, 0.1]), None)
        x.val = x.obj
    sub = gen_int(src, "i64", [1, 2, 3, 5, 0, -1])
    if isinstance(sub.val, int) and inflow.val is not FAIL:
        if sub.val * max(len(inflow.val[0]), 1) > BUDGET:
            sub = V(2, 2)
    init = gen_float(src)
    vals = [inflow, k, x, sub, init]
    thunk, broken, detail = bind(src, fn, ["inflow", "k", "x", "sub_reaches",
                                           "initial_outflow"], 5, vals)

    def check(res):
        values, step = inflow.val
        expect(type(res) is CTS and res.kind == "discharge", "routing result class/kind")
        expect(len(res.data) == len(values), "routing result length")
        expect(res.time_step == timedelta(seconds=step), "routing result step")
        if values:
            expect(bits_equal(res.data[0], init.val), "first outflow is initial_outflow")

    return Case("muskingum", thunk, strict=known(*vals), must_fail=broken or failing(*vals),
                check=check if known(*vals) else None, warn_error=src.chance(30),
                detail=detail)


def t_kge(src):
    fn = basinkit.metrics.calculate_kge
    n = gen_length(src, min(BUDGET, 100000))
    sim = gen_sequence(src, values=_values(src, n))
    obs = gen_sequence(src, values=_values(src, n) if src.chance(90) else None)
    flag = gen_flag(src) if src.chance(50) else None
    if src.hostile and src.chance(10) and isinstance(sim.obj, list) and isinstance(obs.obj, list):
        hook = Hook(1.0)
        target = obs.obj
        hook.callback = lambda: target.clear()
        sim.obj.append(hook)
        sim, obs = V(sim.obj, UNKNOWN), V(obs.obj, UNKNOWN)
    vals = [sim, obs, flag]
    thunk, broken, detail = bind(src, fn, ["sim", "obs", "use_log"], 2, vals)
    must_fail = broken or failing(*vals)
    if known(sim, obs) and not must_fail:
        must_fail = len(obs.val) == 0 or len(sim.val) != len(obs.val)

    def check(res):
        expect(type(res) is float, "kge returns a float")

    return Case("kge", thunk, strict=known(*vals), must_fail=must_fail, check=check, detail=detail)


RES_TYPICAL = [timedelta(hours=h) for h in (1, 2, 10, 100)]


def reservoir_value(src):
    """A LinearReservoir argument value: (k, fraction, q, n) or FAIL."""
    if src.hostile and src.chance(6):
        return V(src.choice([None, 5, {"k": 1}, CTS([1.0], timedelta(1), "volume")]), FAIL)
    k = src.choice(RES_TYPICAL)
    frac = src.choice([0.0, 0.1, 0.25, 0.5, 1.0])
    n = src.choice([1, 1, 2, 3, 10])
    res = LinearReservoir(k, frac, src.choice([0.0, 1.0, 5.0]), n)
    if src.chance(15):
        res.gw_fraction = src.choice([math.nan, 5.0, -1.0, 0.3])
    if src.chance(15):
        res.num_reservoir = src.choice([0, 1, 4, 10 ** 9, 2 ** 64 - 1, 150_000_000])
    return V(res, (int(k.total_seconds()), res.gw_fraction, res.initial_q, res.num_reservoir))


def t_reservoir_new(src):
    fn = LinearReservoir if src.chance(85) else (
        lambda *a, **k: LinearReservoir.__new__(LinearReservoir, *a, **k))
    k = gen_timedelta(src, RES_TYPICAL + [timedelta(seconds=1.9), timedelta(seconds=0.5)])
    frac = gen_float(src, small=True)
    q = gen_float(src)
    n = gen_int(src, "u64", [1, 2, 3, 10]) if src.chance(70) else None
    vals = [k, frac, q, n]
    thunk, broken, detail = bind(src, fn, ["k_duration", "gw_fraction", "initial_q",
                                           "num_reservoir"], 3, vals)
    must_fail = broken or failing(*vals)
    if known(*vals) and not must_fail:
        secs = k.val.days * 86400 + k.val.seconds
        must_fail = (secs < 1 or frac.val < 0 or frac.val > 1
                     or (n is not None and n.val == 0))

    def check(res):
        expect(type(res) is LinearReservoir, "constructor class")
        secs = min(k.val.days * 86400 + k.val.seconds, 2 ** 31 - 1)
        expect(res.k_duration == timedelta(seconds=secs), "k_duration read back")
        expect(bits_equal(res.gw_fraction, frac.val), "gw_fraction read back")
        expect(bits_equal(res.initial_q, q.val), "initial_q read back")
        expect(res.num_reservoir == (1 if n is None else n.val), "num_reservoir read back")

    return Case("reservoir_new", thunk, strict=known(*vals), must_fail=must_fail,
                check=check if known(*vals) else None, detail=detail)


def t_reservoir_attrs(src):
    res = LinearReservoir(timedelta(hours=2), 0.5, 1.0, 2)
    attr = src.choice(["gw_fraction", "initial_q", "num_reservoir", "k_duration"])
    op = src.integer(0, 5)
    if op == 0:
        return Case("reservoir_del", lambda: delattr(res, attr), must_fail=True,
                    allowed=(AttributeError,), detail=attr)
    if op == 1:
        return Case("reservoir_subclass", lambda: type("X", (LinearReservoir,), {}),
                    must_fail=True)
    if op == 2:
        other = CTS([1.0], timedelta(1), "volume")
        return Case("reservoir_foreign_set",
                    lambda: LinearReservoir.__dict__[attr].__set__(other, 1.0),
                    must_fail=True, allowed=(AttributeError,), detail=attr)
    value = gen_int(src, "u64", [0, 1, 5]) if attr == "num_reservoir" else gen_float(src)
    if attr == "k_duration":
        value = gen_timedelta(src)

    def set_and_read():
        setattr(res, attr, value.obj)
        return getattr(res, attr)

    def check(got):
        if attr == "num_reservoir":
            expect(got == value.val, "num_reservoir set and read")
        else:
            expect(bits_equal(got, value.val), f"{attr} set and read")

    must_fail = attr == "k_duration" or value.val is FAIL
    return Case("reservoir_set", set_and_read, must_fail=must_fail,
                allowed=(AttributeError,) if attr == "k_duration" else (),
                check=check if value.val is not UNKNOWN else None, detail=f"{attr}={value}")


def t_reservoir_run(src):
    fn = basinkit.baseflow.run_linear_reservoir
    area = gen_float(src, small=True)
    rain = series_arg(src, ITS, cap=min(BUDGET, 10000), step_pick=[60, 900, 3600, 7200])
    layers = named_arg(src, reservoir_value)
    if isinstance(layers.val, list) and rain.val is not FAIL:
        work = sum(min(v[3], 10 ** 12) for _, v in layers.val) * max(len(rain.val[0]), 1)
        chain_ok = all(v[3] <= 100_000_000 for _, v in layers.val)
        if work > BUDGET and chain_ok:
            for res in layers.obj.values():
                res.num_reservoir = 1
            layers = V(layers.obj, UNKNOWN)
    if src.hostile and src.chance(10) and isinstance(layers.obj, dict):
        hook = Hook(1.0)
        d = layers.obj
        hook.callback = lambda: (d.clear(), d.update({"late": 5}))
        area = V(hook, 1.0)
        layers = V(layers.obj, FAIL)
    vals = [area, rain, layers]
    thunk, broken, detail = bind(src, fn, ["basin_area", "rainfall", "reservoirs"], 3, vals)

    def check(res):
        total, comps = res
        values, step = rain.val
        expect(type(total) is CTS and len(total.data) == len(values), "baseflow total")
        expect(type(comps) is dict, "baseflow components dict")
        names = {n for n, _ in layers.val}
        if "dup" not in names:
            expect(set(comps) == names, "baseflow component names")
        for s in comps.values():
            expect(type(s) is CTS and len(s.data) == len(values) and s.kind == "discharge",
                   "baseflow component series")

    return Case("reservoir_run", thunk, strict=known(*vals), must_fail=broken or failing(*vals),
                check=check if known(*vals) else None, detail=detail)


def t_es(src):
    op = src.integer(0, 5)
    if op < 2:
        n = src.choice([0, 1, 2, 3, 5])
        e, s = make_curve_values(src, n)
        m = n if src.chance(85) else n + 1
        if src.chance(15) and n >= 2:
            i = src.integer(0, n - 2)
            e[i], e[i + 1] = e[i + 1], e[i]
        ev = gen_sequence(src, values=e) if src.chance(70) else gen_sequence(src)
        sv = gen_sequence(src, values=sorted_strict(src, m)) if src.chance(70) else \
            gen_sequence(src)
        cls = src.choice([ES, ESSub])
        thunk, broken, detail = bind(src, cls, ["elevation", "storage"], 2, [ev, sv])
        must_fail = broken or failing(ev, sv)
        if known(ev, sv) and not must_fail:
            must_fail = (len(ev.val) != len(sv.val) or not _strict(ev.val)
                         or not _strict(sv.val))

        def check(res):
            expect(lists_equal(res.elevation, ev.val) and lists_equal(res.storage, sv.val),
                   "curve read back")

        return Case("es_new", thunk, strict=known(ev, sv), must_fail=must_fail,
                    check=check if known(ev, sv) else None, detail=detail)
    curve = es_arg(src)
    if curve.val is FAIL:
        curve = V(ES([0.0, 1.0], [0.0, 1.0]), ([0.0, 1.0], [0.0, 1.0]))
    e, s = curve.val
    method = src.choice(["get_storage", "get_elevation"])
    xs, ys = (e, s) if method == "get_storage" else (s, e)
    if xs and src.chance(60):
        q = V(src.choice(xs) if src.boolean() else (xs[0] + xs[-1]) / 2, None)
        q.val = q.obj
    else:
        q = gen_float(src)
    fn = getattr(curve.obj, method)
    param = "elevation" if method == "get_storage" else "storage"
    thunk, broken, detail = bind(src, fn, [param], 1, [q])
    nan_query = isinstance(q.val, float) and math.isnan(q.val)
    panic_ok = not broken and q.val is not FAIL and (len(xs) < 2 or nan_query)

    def check(res):
        expect(type(res) is float, "lookup returns a float")
        if q.val in xs:
            expect(bits_equal(res, ys[xs.index(q.val)]), "lookup at a table point")

    outside = known(q) and (len(xs) < 2 or not (xs[0] <= q.val <= xs[-1]))
    return Case("es_lookup", thunk, strict=known(q), must_fail=broken or failing(q) or outside,
        panic_ok=panic_ok, check=check if known(q) else None, detail=f"{curve.val} {detail}")


def _strict(v):
    return all(a < b for a, b in zip(v, v[1:]))


def t_ed(src):
    n = src.choice([0, 1, 2, 3, 5])
    e = sorted_strict(src, n, allow_inf=True)
    q = non_decreasing(src, n)
    if src.chance(20) and n >= 2:
        q[src.integer(0, n - 1)] = src.choice([math.nan, -1e9])
    ev = gen_sequence(src, values=e) if src.chance(75) else gen_sequence(src)
    qv = gen_sequence(src, values=q) if src.chance(75) else gen_sequence(src)
    cls = src.choice([ED, EDSub])
    thunk, broken, detail = bind(src, cls, ["elevation", "discharge"], 2, [ev, qv])
    must_fail = broken or failing(ev, qv)
    if known(ev, qv) and not must_fail:
        ee, qq = ev.val, qv.val
        must_fail = (len(ee) != len(qq) or len(ee) < 2 or not _strict(ee)
                     or not all(a <= b for a, b in zip(qq, qq[1:])))

    def check(res):
        expect(lists_equal(res.elevation, ev.val) and lists_equal(res.discharge, qv.val),
               "rating curve read back")

    return Case("ed_new", thunk, strict=known(ev, qv), must_fail=must_fail,
                check=check if known(ev, qv) else None,
                detail=detail)


def t_outlet_new(src):
    kind = src.choice(["const", "specified", "ctrl", "unctrl"])
    if kind == "const":
        cls = src.choice([CONST, CONSTSub])
        names = ["discharge", "minimum_elevation", "maximum_elevation"]
        first = gen_float(src)
    elif kind == "specified":
        cls = src.choice([SPECIFIED, SPECIFIEDSub])
        names = ["discharge", "minimum_elevation", "maximum_elevation", "maximum_release"]
        first = series_arg(src, CTS, cap=100)
    else:
        cls = src.choice([CTRL, CTRLSub] if kind == "ctrl" else [UNCTRL, UNCTRLSub])
        names = (["elevation_discharge", "minimum_elevation", "maximum_elevation",
                  "maximum_release"] if kind == "ctrl"
                 else ["elevation_discharge", "elevation_offset"])
        first = ed_arg(src)
    opts = [gen_optional_float(src) if src.chance(50) else None for _ in names[1:]]
    vals = [first] + opts
    thunk, broken, detail = bind(src, cls, names, 1, vals)

    def check(res):
        expect(isinstance(res, cls), "outlet class")
        got = [getattr(res, n) for n in names[1:]]
        want = [None if o is None else o.val for o in opts]
        if kind == "ctrl":
            lo, hi = first.val[0][0], first.val[0][-1]
            want[0] = lo if want[0] is None or math.isnan(want[0]) else max(want[0], lo)
            if want[1] is not None:
                want[1] = hi if math.isnan(want[1]) else min(want[1], hi)
        for g, w in zip(got, want):
            same = (g is None and w is None) or (
                g is not None and w is not None and (g == w or bits_equal(g, w)))
            expect(same, "outlet option read")
        head = getattr(res, names[0])
        if kind == "const":
            expect(bits_equal(head, first.val), "constant discharge read")
        elif kind == "specified":
            expect(type(head) is CTS and lists_equal(head.data, first.val[0]), "series read")
        else:
            expect(type(head) is ED and lists_equal(head.elevation, first.val[0]),
                   "curve read")

    return Case("outlet_new", thunk, strict=known(*vals), must_fail=broken or failing(*vals),
                check=check if known(*vals) else None, detail=detail)


def t_level_pool(src):
    step = src.choice([1, 2, 5, 60, 3600, 86400, 2 ** 31 - 1])
    inflow = series_arg(src, CTS, cap=64, step_pick=[step])
    curve = es_arg(src)
    outlets = named_arg(src, outlet_arg)
    m = max(1, len(outlets.obj)) if isinstance(outlets.obj, dict) else 1
    if inflow.val is not FAIL:
        values, step = inflow.val
        if (max(len(values) - 2, 0) * step + 1) * m > BUDGET:
            keep = max(2, BUDGET // (step * m))
            obj = CTS(values[:min(len(values), keep)], timedelta(seconds=step), "discharge")
            if (max(len(obj.data) - 2, 0) * step + 1) * m > BUDGET:
                obj = CTS(values[:2], timedelta(seconds=step), "discharge")
            inflow = V(obj, (obj.data, step))
    if curve.val is not FAIL and curve.val[0] and src.chance(70):
        e = curve.val[0]
        init = V(src.choice(e) if src.boolean() else (e[0] + e[-1]) / 2, None)
        init.val = init.obj
    else:
        init = gen_float(src)
    if src.hostile and src.chance(10) and isinstance(outlets.obj, dict):
        hook = Hook(init.val if isinstance(init.val, float) else 0.0)
        d = outlets.obj
        hook.callback = lambda: d.update({"late": 5})
        init = V(hook, hook.v)
        outlets = V(outlets.obj, FAIL)
    vals = [inflow, init, curve, outlets]
    thunk, broken, detail = bind(src, run_level_pool_routing,
                                 ["inflow", "initial_elevation", "elevation_storage",
                                  "discharge_info"], 4, vals)
    panic_ok = False
    if not broken and not failing(*vals) and known(inflow, init, curve):
        e, s = curve.val
        finite = all(math.isfinite(v) and abs(v) < 1e300 for v in e + s)
        offsets_ok = all(v[0] != "unctrl" or v[2] is None or math.isfinite(v[2])
                         for _, v in outlets.val) if known(outlets) else False
        panic_ok = (not inflow.val[0] or math.isnan(init.val) or len(e) < 2 or not finite
                    or not offsets_ok)

    def check(res):
        values, step = inflow.val
        n = len(values)
        rec = max(n - 1, 1)
        expect(len(res.reservoir_storage.data) == rec, "storage record length")
        expect(len(res.reservoir_elevation.data) == rec, "elevation record length")
        expect(len(res.reservoir_total_outflow.data) == (n - 1 if n >= 2 else 0),
               "total record length")
        expect(res.reservoir_storage.kind == "volume" and
               res.reservoir_elevation.kind == "elevation", "record kinds")
        ind = res.reservoir_individual_outflows
        expect(type(ind) is dict, "outflows dict")
        names = {k for k, _ in outlets.val}
        if n >= 2 and "dup" not in names:
            expect(set(ind) == names, "one record per outlet")
            for series in ind.values():
                expect(len(series.data) == n - 1, "outlet record length")
        for v in res.reservoir_storage.data[1:]:
            expect(not v < 0.0, "storage never negative after an update")

    return Case("level_pool", thunk, strict=known(*vals), must_fail=broken or failing(*vals),
                panic_ok=panic_ok,
                check=check if known(*vals) else None, detail=detail)


def t_result_classes(src):
    cls = src.choice([basinkit.rainfall_loss.DeficitConstantResult,
                      basinkit.reservoir.LevelPoolResult])
    op = src.integer(0, 2)
    if op == 0:
        return Case("result_new", lambda: cls(), must_fail=True)
    if op == 1:
        sub = type("ResultSub", (cls,), {})
        return Case("result_sub_new", lambda: sub(), must_fail=True)
    return Case("result_object_new", lambda: object.__new__(cls), must_fail=True)


# ---------------------------------------------------------------- hardening


CLASSES = [CTS, ITS, LinearReservoir, ES, ED, CONST, SPECIFIED, CTRL, UNCTRL,
           basinkit.rainfall_loss.DeficitConstantResult, basinkit.reservoir.LevelPoolResult]
# What each class holds at import: no case may change it.
CLASS_DICTS = {cls: dict(vars(cls)) for cls in CLASSES}
ODD_ATTRS = ["__new__", "__init__", "__release_buffer__", "__buffer__", "__class__",
             "__dict__", "__bases__", "x", "", "a\x00b", "\ud800"]


def t_class_attrs(src):
    """Setting or deleting any attribute of a class fails; a Python subclass
    may do as it likes; an instance cannot change its class."""
    cls = src.choice(CLASSES)
    attr = src.choice(sorted(vars(cls)) + ODD_ATTRS)
    value = src.choice([None, 1, staticmethod(lambda c, *a, **k: object.__new__(c)),
                        lambda self, *a: None])
    op = src.integer(0, 3)

    def unchanged(_=None):
        expect(dict(vars(cls)) == CLASS_DICTS[cls], f"{cls.__name__} changed")

    if op == 0:
        call = lambda: setattr(cls, attr, value)  # noqa: E731
    elif op == 1:
        call = lambda: delattr(cls, attr)  # noqa: E731
    elif op == 2 and cls is not LinearReservoir:
        sub = type(cls.__name__ + "Sub", (cls,), {})

        def call():
            try:
                setattr(sub, attr, value)
                delattr(sub, attr)
            except (AttributeError, TypeError):
                pass
            unchanged()

        return Case("subclass_attrs", call, detail=f"{cls.__name__}.{attr!r}")
    else:
        a, b = src.choice([(CTSSub, ITSSub), (ESSub, EDSub), (CONSTSub, CTRLSub),
                           (SPECIFIEDSub, UNCTRLSub), (CTSSub, ESSub)])
        obj = {CTSSub: lambda: CTSSub([1.0], timedelta(1), "volume"),
               ESSub: lambda: ESSub([0.0, 1.0], [0.0, 1.0]),
               CONSTSub: lambda: CONSTSub(1.0),
               SPECIFIEDSub: lambda: SPECIFIEDSub(CTS([1.0], timedelta(1), "volume"))}[a]()
        return Case("instance_class", lambda: setattr(obj, "__class__", b), must_fail=True,
                    detail=f"{a.__name__} -> {b.__name__}")
    return Case("class_attrs", call, must_fail=True, check=unchanged, on_error=unchanged,
                detail=f"{'set' if op == 0 else 'del'} {cls.__name__}.{attr!r}")


class Interrupted(Exception):
    """Raised by the alarm handler of the interruption cases."""


_alarm = {"armed": False, "installed": False}


def _on_alarm(signum, frame):
    if _alarm["armed"]:
        _alarm["armed"] = False
        raise Interrupted


def interrupted_run(call, delay):
    """Runs `call` with an alarm `delay` seconds in whose handler raises;
    returns the result, or the Interrupted exception."""
    if not _alarm["installed"]:
        # Installed for good: a signal that arrives just after the case finds
        # the handler disarmed rather than missing.
        signal.signal(signal.SIGALRM, _on_alarm)
        _alarm["installed"] = True
    # The alarm may also fire after the call returned, while the timer is
    # being cancelled: the outer handler catches that one too (the result is
    # then reported as interrupted, which the case accepts).
    try:
        try:
            _alarm["armed"] = True
            signal.setitimer(signal.ITIMER_REAL, delay)
            return call()
        finally:
            _alarm["armed"] = False
            signal.setitimer(signal.ITIMER_REAL, 0)
    except Interrupted as exc:
        return exc


def _long_call(src):
    """A call of the catalogue whose work outgrows its input, sized by the
    budget (a level pool step costs one unit per outlet, four of them)."""
    entry = src.choice(catalogue.LARGE)
    n = src.integer(1, 4)
    work = src.integer(1, max(1, max(BUDGET, 1000) // (4 * n)))
    args = entry.args(n, work, seed=src.integer(0, 255))
    return f"{entry.name} ({n} x {work})", lambda: entry.run(args)


def t_interrupt(src):
    """A long call interrupted at a random point by a signal whose handler
    raises: the call ends with that exception or completes exactly, and the
    next call gives exactly the uninterrupted values."""
    kind, call = _long_call(src)
    delay = src.integer(1, 3000) / 1e6

    def run():
        reference = call()
        outcome = interrupted_run(call, delay)
        if not isinstance(outcome, Interrupted):
            expect(catalogue.same(outcome, reference), f"{kind}: differs")
        expect(catalogue.same(call(), reference), f"{kind}: differs after interrupt")
        return "interrupted" if isinstance(outcome, Interrupted) else "completed"

    return Case("interrupt", run, detail=f"{kind} after {delay * 1e6:.0f} us")


_SUBINTERPRETER = """
import sys
import _interpreters

kind, first, name, folder = sys.argv[1:5]
sys.path.insert(0, folder)
if first == "main":
    __import__(name)
interp = _interpreters.create(kind)
failure = _interpreters.run_string(
    interp, f"import sys; sys.path.insert(0, {folder!r}); import {name}")
_interpreters.destroy(interp)
if failure is None or failure.type.__name__ != "ImportError":
    sys.exit(f"import in a subinterpreter gave {failure}")
module = __import__(name)
print(module.__all__)
"""
_subinterpreter_seen = {}
_standalone_dir = []


def _standalone_folder():
    """A folder where the library is also reachable under its stand-alone
    module names (links to the very file, not copies)."""
    if not _standalone_dir:
        folder = tempfile.mkdtemp(prefix="basinkit-fuzz-")
        suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
        for name in ("init_loss", "init_transform", "init_baseflow", "init_reach",
                     "init_reservoir", "init_metrics"):
            os.symlink(basinkit.__file__, os.path.join(folder, name + suffix))
        _standalone_dir.append(folder)
    return _standalone_dir[0]


def t_subinterpreter(src):
    """Importing in any subinterpreter fails with ImportError, with the main
    interpreter importing first or not at all; the main one works after.
    In a child process; each configuration runs once per process."""
    config = (src.choice(["legacy", "isolated"]), src.choice(["main", "sub"]),
              src.choice(["basinkit", "init_loss", "init_transform", "init_baseflow",
                          "init_reach", "init_reservoir", "init_metrics"]))

    def run():
        if config not in _subinterpreter_seen:
            child = subprocess.run(
                [sys.executable, "-c", _SUBINTERPRETER, *config, _standalone_folder()],
                capture_output=True, text=True, timeout=120)
            _subinterpreter_seen[config] = (child.returncode, child.stdout, child.stderr)
        code, out, err = _subinterpreter_seen[config]
        expect(code == 0 and out.startswith("["), f"child failed ({code}): {err[-400:]}")
        return out

    return Case("subinterpreter", run, detail=" ".join(config))


TARGETS = [
    ("series_new", t_series_new, 6, True),
    ("series_use", t_series_use, 5, True),
    ("loss", t_loss, 3, True),
    ("clark", t_clark, 3, True),
    ("muskingum", t_muskingum, 3, True),
    ("kge", t_kge, 3, True),
    ("reservoir_new", t_reservoir_new, 3, LinearReservoir is not None),
    ("reservoir_attrs", t_reservoir_attrs, 2, LinearReservoir is not None),
    ("reservoir_run", t_reservoir_run, 3, LinearReservoir is not None),
    ("es", t_es, 3, ES is not None),
    ("ed", t_ed, 2, ED is not None),
    ("outlet_new", t_outlet_new, 3, None not in (CONST, SPECIFIED, CTRL, UNCTRL, ED)),
    ("level_pool", t_level_pool, 5, run_level_pool_routing is not None and CONST is not None),
    ("result_classes", t_result_classes, 1, True),
    ("class_attrs", t_class_attrs, 2, True),
    ("interrupt", t_interrupt, 2, True),
    ("subinterpreter", t_subinterpreter, 1, True),
]
ACTIVE = [(name, fn) for name, fn, weight, on in TARGETS if on for _ in range(weight)]
ACTIVE_NAMES = sorted({name for name, _ in ACTIVE})


# ---------------------------------------------------------------- running


def build(src):
    src.hostile = src.chance(35)
    name, fn = src.choice(ACTIVE)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(src)


def judge(case):
    """Runs a case; returns a short outcome label or raises Fault."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if case.warn_error:
                warnings.simplefilter("error", UserWarning)
            result = case.call()
    except Fault:
        raise
    except BaseException as exc:  # noqa: BLE001 - every class is judged below
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
        if is_panic(exc):
            if not case.panic_ok:
                raise Fault(f"PanicException {exc.args!r} on {case!r}") from exc
            return "PanicException"
        if case.strict and isinstance(exc, (TypeError, OverflowError)):
            raise Fault(f"refused well-formed arguments: {type(exc).__name__}: {exc} "
                        f"on {case!r}") from exc
        if isinstance(exc, ALLOWED + tuple(case.allowed)):
            if case.on_error is not None:
                case.on_error(exc)
            return type(exc).__name__
        raise Fault(f"{type(exc).__name__}: {exc} on {case!r}") from exc
    if case.must_fail:
        raise Fault(f"accepted what it must refuse: {case!r} -> {_r(result)}")
    if case.check is not None:
        try:
            case.check(result)
        except Fault as f:
            raise Fault(f"{f} on {case!r}") from None
    return "ok"


def run_bytes(data):
    """Builds and judges the case encoded by `data`; returns (target, outcome)."""
    from .source import BytesSource

    case = build(BytesSource(data))
    return case.name, judge(case)
