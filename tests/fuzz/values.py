"""Argument values for the fuzzer: well-formed ones, odd-but-valid ones and
hostile ones, each paired with what a correct conversion must make of it.

A generator returns a `V`: the object to pass and its expected value, which
is either the converted value, FAIL (the conversion must raise) or UNKNOWN
(the object changes things while it is converted, so no single answer).
"""

import array
import math
from datetime import date, datetime, timedelta
from decimal import Decimal
from fractions import Fraction

import numpy as np


class _Marker:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


FAIL = _Marker("FAIL")
UNKNOWN = _Marker("UNKNOWN")


class V:
    __slots__ = ("obj", "val")

    def __init__(self, obj, val):
        self.obj = obj
        self.val = val

    def __repr__(self):
        return f"V({_short(self.obj)}, {_short(self.val)})"


def _short(o):
    try:
        r = repr(o)
    except Exception:  # noqa: BLE001 - hostile objects may refuse repr
        r = f"<{type(o).__name__}>"
    return r if len(r) <= 80 else r[:77] + "..."


class Boom(Exception):
    """Raised on purpose by hostile argument objects."""


# ---------------------------------------------------------------- hostile types


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class TimedeltaSub(timedelta):
    pass


class HasFloat:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class HasIndex:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BothLie:
    """__float__ and __index__ disagree: a float takes one, a count the other."""

    def __float__(self):
        return 1.5

    def __index__(self):
        return 7


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class IndexRaises:
    def __index__(self):
        raise Boom("__index__")


class FloatReturnsStr:
    def __float__(self):
        return "1.0"


class IndexReturnsFloat:
    def __index__(self):
        return 1.5


class FloatReturnsSub:
    def __float__(self):
        return FloatSub(2.5)


class Hook:
    """A float whose conversion first runs a callback (set by the case that
    uses it), for arguments that change other arguments while converted."""

    def __init__(self, v):
        self.v = v
        self.callback = None

    def __float__(self):
        if self.callback is not None:
            cb, self.callback = self.callback, None
            cb()
        return self.v


class LenLies:
    """A sequence whose __len__ claims far more items than iteration yields."""

    def __init__(self, items, claimed):
        self.items = items
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


class LenRaises:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, i):
        return self.items[i]


class GetItemOnly:
    """Old-style sequence: no __len__, no __iter__, IndexError at the end."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class IterRaises:
    def __init__(self, items, after):
        self.items = items
        self.after = after

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, x in enumerate(self.items):
            if i == self.after:
                raise Boom("__iter__")
            yield x
        raise Boom("__iter__ at end")


class IterNotIterator:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        return 5


class ListMutator:
    """An element whose conversion edits the list being converted."""

    def __init__(self, target, how):
        self.target = target
        self.how = how

    def __float__(self):
        lst = self.target
        if self.how == "clear":
            lst.clear()
        elif self.how == "append":
            if len(lst) < 64:
                lst.append(0.25)
        elif self.how == "pop":
            if lst:
                lst.pop()
        elif self.how == "replace":
            for i in range(len(lst)):
                lst[i] = 3.5
        return 1.0


SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 100.0, 1e-300, 5e-324, -5e-324, 1e308, -1e308,
    math.inf, -math.inf, math.nan, 2.0 ** 53, 0.1, 3600.0,
]


def bits_equal(a, b):
    """Float equality that treats every NaN alike and tells -0.0 from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) and math.isnan(b):
            return True
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    return a == b


def lists_equal(a, b):
    return len(a) == len(b) and all(bits_equal(float(x), float(y)) for x, y in zip(a, b))


# ---------------------------------------------------------------- numbers


def any_double(src):
    if src.chance(60):
        return src.choice(SPECIAL_FLOATS)
    return src.real()


def kind_of(src, hostile_range, clean):
    """Which form a generator makes: any form in a hostile case, one of the
    `clean` (valid, if odd) forms otherwise."""
    if getattr(src, "hostile", True):
        return src.integer(0, hostile_range)
    return src.choice(clean)


def gen_float(src, small=False):
    """A float argument. `small` keeps valid values in a modest range."""
    k = kind_of(src, 29, list(range(12)) * 3 + [12, 14, 15, 18, 19, 23, 24, 27])
    if k < 12:
        x = _moderate(src) if small else any_double(src)
        return V(x, x)
    if k == 12:
        i = src.choice([0, 1, -7, 3, 2 ** 53 + 1, 10 ** 20, -(10 ** 20)])
        return V(i, float(i))
    if k == 13:
        return V(src.choice([2 ** 1024, -(2 ** 1100), 10 ** 400]), FAIL)
    if k == 14:
        b = src.boolean()
        return V(b, float(b))
    if k == 15:
        x = _moderate(src)
        kind = src.integer(0, 3)
        if kind == 0:
            return V(np.float64(x), x)
        if kind == 1:
            return V(np.float32(x), float(np.float32(x)))
        if kind == 2:
            return V(np.int64(int(x)), float(int(x)))
        return V(np.bool_(x > 0), 1.0 if x > 0 else 0.0)
    if k == 16:
        d = src.choice(["2.5", "-0", "NaN", "1e-400", "Infinity", "sNaN"])
        return V(Decimal(d), FAIL if d == "sNaN" else float(Decimal(d)))
    if k == 17:
        if src.boolean():
            return V(Fraction(1, 3), 1 / 3)
        return V(Fraction(10 ** 400, 3), FAIL)
    if k == 18:
        x = any_double(src)
        return V(FloatSub(x), x)
    if k == 19:
        x = any_double(src)
        return V(HasFloat(x), x)
    if k == 20:
        i = src.choice([7, -2, 0, 2 ** 2000])
        return V(HasIndex(i), FAIL if abs(i) > 2 ** 1023 else float(i))
    if k == 21:
        return V(FloatRaises(), FAIL)
    if k == 22:
        return V(FloatReturnsStr(), FAIL)
    if k == 23:
        return V(FloatReturnsSub(), 2.5)
    if k == 24:
        return V(BothLie(), 1.5)
    if k == 25:
        return V(None, FAIL)
    if k == 26:
        bad = src.choice(["1.5", b"1", 1 + 2j, [], {}, timedelta(1), object(), IndexRaises()])
        return V(bad, FAIL)
    if k == 27:
        x = _moderate(src)
        return V(np.array(x), x)
    if k == 28:
        return V(IndexRaises(), FAIL)
    x = _moderate(src)
    return V(Hook(x), x)


def _moderate(src):
    if src.chance(50):
        return src.choice([0.0, 1.0, 0.5, 0.25, 2.0, 10.0, 100.0, 0.1, 1.5, 3.0, -1.0])
    return src.integer(-4000, 4000) / 8.0


def gen_optional_float(src, small=False):
    if src.chance(30):
        return V(None, None)
    v = gen_float(src, small)
    return V(None, None) if v.obj is None else v


COUNT_RANGES = {
    "u64": (0, 2 ** 64 - 1),
    "i64": (-(2 ** 63), 2 ** 63 - 1),
    "i32": (-(2 ** 31), 2 ** 31 - 1),
}

INTERESTING_INTS = [
    0, 1, 2, 3, 4, 5, 30, 60, 90, 120, 1800, 3600, 7200, -1, -30, 2 ** 31 - 1, 2 ** 31,
    -(2 ** 31), -(2 ** 31) - 1, 2 ** 32, 2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64,
    -(2 ** 63), -(2 ** 63) - 1, 10 ** 30, -(10 ** 30),
]


def gen_int(src, kind, pick=None):
    """An integer argument of width `kind`; `pick` suggests in-range values."""
    lo, hi = COUNT_RANGES[kind]

    def judged(i):
        return i if lo <= i <= hi else FAIL

    k = kind_of(src, 15, [0, 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6, 8, 9, 10])
    if k < 7:
        i = src.choice(pick) if pick and src.chance(70) else src.choice(INTERESTING_INTS)
        return V(i, judged(i))
    if k == 7:
        i = src.integer(-1000, 100000)
        return V(i, judged(i))
    if k == 8:
        b = src.boolean()
        return V(b, int(b))
    if k == 9:
        i = src.choice(pick or [5])
        return V(IntSub(i), judged(i))
    if k == 10:
        i = src.choice(pick or [5])
        if src.boolean():
            return V(np.int64(i), judged(i))
        return V(np.uint64(abs(i)), judged(abs(i)))
    if k == 11:
        i = src.choice((pick or []) + [2 ** 70, -5])
        return V(HasIndex(i), judged(i))
    if k == 12:
        return V(BothLie(), judged(7))
    if k == 13:
        return V(src.choice([IndexRaises(), IndexReturnsFloat(), HasIndex("3")]), FAIL)
    if k == 14:
        return V(src.choice([3.0, "3", None, Decimal(3), Fraction(3), np.float64(3.0), 1j]),
                 FAIL)
    return V(src.choice([[], {}, timedelta(seconds=60), math.nan]), FAIL)


def gen_flag(src):
    k = kind_of(src, 5, [0, 1, 2])
    if k < 2:
        b = src.boolean()
        return V(b, b)
    if k == 2:
        b = src.boolean()
        return V(np.bool_(b), b)
    return V(src.choice([1, 0, None, "True", np.int64(1), 1.0, IntSub(1)]), FAIL)


# ---------------------------------------------------------------- durations


def gen_timedelta(src, typical=None):
    """A duration argument. Its value is the timedelta itself, or FAIL for a
    non-timedelta or a negative one. `typical` suggests well-scaled values."""
    k = kind_of(src, 13, [0, 1, 2, 3, 4, 5, 6, 9, 10] if typical else [6, 7, 8, 9, 10])
    if k < 6 and typical:
        td = src.choice(typical)
    elif k < 9:
        td = src.choice([
            timedelta(0), timedelta(microseconds=1), timedelta(microseconds=999_999),
            timedelta(seconds=1), timedelta(seconds=1, microseconds=999_999),
            timedelta(seconds=30), timedelta(minutes=1), timedelta(hours=1),
            timedelta(hours=2, microseconds=500), timedelta(days=1),
            timedelta(microseconds=-1), timedelta(days=-1), timedelta.max, timedelta.min,
            timedelta(days=24855), timedelta(seconds=2 ** 31 - 1),
        ])
    elif k == 9:
        td = timedelta(days=src.integer(-3, 3), seconds=src.integer(0, 86399),
                       microseconds=src.integer(0, 999_999))
    elif k == 10:
        base = src.choice(typical) if typical else timedelta(hours=1)
        td = TimedeltaSub(seconds=base.total_seconds())
    else:
        bad = src.choice([3600, 3600.0, None, datetime(2020, 1, 1), date(2020, 1, 1),
                          np.timedelta64(1, "h"), "1h", HasFloat(3600.0)])
        return V(bad, FAIL)
    return V(td, FAIL if td.days < 0 else td)


# ---------------------------------------------------------------- text


VALID_KINDS = ["discharge", "rainfall", "elevation", "volume"]


def gen_kind(src):
    k = kind_of(src, 9, [0, 1, 2, 3, 4, 5, 6])
    if k < 6:
        s = src.choice(VALID_KINDS)
        return V(s, s)
    if k == 6:
        s = src.choice(VALID_KINDS)
        return V(StrSub(s), s)
    return V(src.choice(["Discharge", "", "volume\x00", "volume ", "\ud800", "é", None, 5,
                         b"discharge", ["volume"]]), FAIL)


# ---------------------------------------------------------------- sequences


def _values(src, n):
    if n <= 48:
        return [any_double(src) for _ in range(n)]
    # Long inputs: a drawn pattern repeated, so the byte cost stays bounded.
    pattern = [any_double(src) for _ in range(8)]
    return [pattern[i % 8] for i in range(n)]


def gen_length(src, cap):
    n = src.choice([0, 1, 2, 3, 4, 5, 8, 13, 32, 100, 1000, 0, 1, 2, 3])
    if src.chance(2):
        n = src.choice([10 ** 4, 10 ** 5])
    return min(n, cap)


def gen_sequence(src, cap=1000, values=None):
    """A sequence-of-floats argument holding `values` (drawn when None)."""
    if values is None:
        values = _values(src, gen_length(src, cap))
    n = len(values)
    k = kind_of(src, 39, [0] * 12 + list(range(12, 25)) + [27, 29, 30, 31, 38])
    if k < 12:
        return V(list(values), list(values))
    if k == 12:
        return V(tuple(values), list(values))
    if k == 13:
        return V(ListSub(values), list(values))
    if k == 14:
        return V(TupleSub(values), list(values))
    if k == 15:
        return V(array.array("d", values), list(values))
    if k == 16:
        a = array.array("f", _f32_safe(values))
        return V(a, [float(x) for x in a])
    if k == 17:
        return V(memoryview(array.array("d", values)), list(values))
    if k == 18:
        full = array.array("d", [x for v in values for x in (v, -1.0)])
        return V(memoryview(full)[::2], list(values))
    if k == 19:
        return V(np.array(values, dtype=np.float64), list(values))
    if k == 20:
        a = np.array(values, dtype=">f8")
        return V(a, list(values))
    if k == 21:
        a = np.array(_f32_safe(values), dtype=np.float32)
        return V(a, [float(x) for x in a])
    if k == 22:
        ints = [src.integer(-100, 100) for _ in range(min(n, 16))]
        dtype = src.choice([np.int8, np.int64, np.uint16, np.bool_])
        if dtype is np.uint16:
            ints = [abs(i) for i in ints]
        a = np.array(ints, dtype=dtype)
        return V(a, [float(x) for x in a])
    if k == 23:
        full = np.array([x for v in values for x in (v, 7.0)], dtype=np.float64)
        return V(full[::2], list(values))
    if k == 24:
        a = np.array(values, dtype=object)
        return V(a, list(values))
    if k == 25:
        shape = src.choice([(2, 3), (0, 2), (1, 1), (3, 1)])
        a = np.zeros(shape)
        return V(a, UNKNOWN)
    if k == 26:
        return V(np.array(1.5), FAIL)
    if k == 27:
        ints = list(range(src.integer(0, 20)))
        return V(range(len(ints)), [float(i) for i in ints])
    if k == 28:
        raw = bytes(src.integer(0, 255) for _ in range(min(n, 16)))
        return V(raw if src.boolean() else bytearray(raw), [float(b) for b in raw])
    if k == 29:
        return V(LenLies(list(values), src.choice([2 ** 62, 10 ** 9, 0, 2 ** 63])),
                 list(values))
    if k == 30:
        return V(LenRaises(list(values)), list(values))
    if k == 31:
        return V(GetItemOnly(list(values)), list(values))
    if k == 32:
        return V(IterRaises(list(values), src.integer(0, n)), FAIL)
    if k == 33:
        return V(IterNotIterator(), FAIL)
    if k == 34:
        return _mixed_list(src, values)
    if k == 35:
        lst = list(values[:16])
        lst.insert(src.integer(0, len(lst)), None)
        lst[src.integer(0, len(lst) - 1)] = ListMutator(
            lst, src.choice(["clear", "append", "pop", "replace"]))
        return V(lst, UNKNOWN)
    if k == 36:
        bad = src.choice(["1.5", StrSub("abc"), "", 5, None, {1.0: 2.0}, {1.0}, frozenset(),
                          (x for x in [1.0]), 3.5, timedelta(1), object()])
        return V(bad, FAIL)
    if k == 37:
        mv = memoryview(array.array("d", [0.0] * 6)).cast("B").cast("d", [2, 3])
        return V(mv, UNKNOWN)
    if k == 38:
        return V(np.array(values, dtype=np.float64, order="F")[::-1], list(values)[::-1])
    return V(np.array([complex(v, 1.0) if math.isfinite(v) else 0j for v in values[:8]]),
             UNKNOWN)


def _f32_safe(values):
    return [v if (not math.isfinite(v) or abs(v) < 3e38) else math.copysign(math.inf, v)
            for v in values]


def _mixed_list(src, values):
    """A list of assorted element objects, each converted on its own."""
    out = []
    expected = []
    for v in values[:12]:
        e = gen_float(src) if src.chance(50) else V(v, v)
        out.append(e.obj)
        expected.append(e.val)
    if any(x is FAIL for x in expected):
        return V(out, FAIL)
    if any(x is UNKNOWN for x in expected):
        return V(out, UNKNOWN)
    return V(out, expected)


def sorted_strict(src, n, allow_inf=False):
    """n strictly increasing doubles."""
    start = src.choice([0.0, 100.0, -50.0, 1e10, -1e300]) if src.chance(80) else any_double(src)
    if not math.isfinite(start) or abs(start) > 1e300:
        start = 0.0
    out = [start]
    for _ in range(n - 1):
        step = src.choice([0.5, 1.0, 10.0, 1e-9, 1e300, 3.0, 250.0])
        nxt = out[-1] + step
        if nxt <= out[-1]:
            nxt = math.nextafter(out[-1], math.inf)
        out.append(nxt)
    if allow_inf and n >= 2 and src.chance(15):
        if src.boolean():
            out[-1] = math.inf
        else:
            out[0] = -math.inf
    return out[:n]


def non_decreasing(src, n):
    out = []
    cur = src.choice([0.0, 0.0, 5.0, -10.0])
    for _ in range(n):
        out.append(cur)
        cur = cur + src.choice([0.0, 1.0, 25.0, 0.5])
    return out
