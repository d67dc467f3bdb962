"""Argument binding, value conversion and error mapping, seen through the bound callables."""

import array
import math
import operator
from datetime import timedelta
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import basinkit
from cases import CTS, HOUR, ITS, exact

NEW = "ContinuousTimeSeries.__new__()"
DIS = "IncrementalTimeSeries.disaggregate()"


def data_of(value):
    return CTS(value, HOUR, "discharge").data


def registered(path):
    return operator.attrgetter(path)(basinkit)


# ---------------------------------------------------------------- binding


def _disaggregate(*args, **kwargs):
    return ITS([1.0], HOUR, "rainfall").disaggregate(*args, **kwargs)


@pytest.mark.parametrize("call,message", [
    (lambda: CTS(), f"{NEW} missing 3 required positional arguments: "
                    "'data', 'time_step', and 'kind'"),
    (lambda: CTS([1.0]), f"{NEW} missing 2 required positional arguments: "
                         "'time_step' and 'kind'"),
    (lambda: CTS([1.0], HOUR), f"{NEW} missing 1 required positional argument: 'kind'"),
    (lambda: CTS(kind="volume"), f"{NEW} missing 2 required positional arguments: "
                                 "'data' and 'time_step'"),
    (lambda: CTS([1.0], kind="volume"), f"{NEW} missing 1 required positional argument: "
                                        "'time_step'"),
    (lambda: CTS(time_step=HOUR), f"{NEW} missing 2 required positional arguments: "
                                  "'data' and 'kind'"),
    (lambda: ITS(), "IncrementalTimeSeries.__new__() missing 3 required positional arguments: "
                    "'data', 'time_step', and 'kind'"),
    (lambda: _disaggregate(), f"{DIS} missing 1 required positional argument: 'target_step'"),
], ids=["none", "two", "one", "kw-only-kind", "middle", "ends", "incremental", "method"])
def test_missing_arguments(call, message):
    with pytest.raises(TypeError, match=exact(message)) as info:
        call()
    assert type(info.value) is TypeError


@pytest.mark.parametrize("call,message", [
    (lambda: CTS([1.0], HOUR, "discharge", 4),
     f"{NEW} takes 3 positional arguments but 4 were given"),
    (lambda: CTS(1, 2, 3, 4, 5, 6), f"{NEW} takes 3 positional arguments but 6 were given"),
    (lambda: _disaggregate(60, 60), f"{DIS} takes 1 positional arguments but 2 were given"),
    (lambda: CTS([1.0], HOUR, "discharge", bogus=1),
     f"{NEW} got an unexpected keyword argument 'bogus'"),
    (lambda: CTS(data=[1.0], time_step=HOUR, kind="discharge", Data=[1.0]),
     f"{NEW} got an unexpected keyword argument 'Data'"),
    (lambda: _disaggregate(step=60), f"{DIS} got an unexpected keyword argument 'step'"),
    (lambda: CTS([1.0], HOUR, "discharge", data=[2.0]),
     f"{NEW} got multiple values for argument 'data'"),
    (lambda: CTS([1.0], HOUR, kind="volume", time_step=HOUR),
     f"{NEW} got multiple values for argument 'time_step'"),
    (lambda: _disaggregate(60, target_step=60),
     f"{DIS} got multiple values for argument 'target_step'"),
], ids=["one-extra", "many-extra", "method-extra", "unknown", "case-sensitive",
        "method-unknown", "twice", "twice-middle", "method-twice"])
def test_surplus_unknown_and_duplicate_arguments(call, message):
    with pytest.raises(TypeError, match=exact(message)):
        call()


def test_binding_comes_before_conversion():
    # Bad values everywhere, but the surplus argument is reported.
    with pytest.raises(TypeError, match=exact(f"{NEW} takes 3 positional arguments but 4 were given")):
        CTS("x", 1, 2, 3)
    with pytest.raises(TypeError, match=exact(f"{NEW} missing 1 required positional argument: 'kind'")):
        CTS("x", 1)


# Keyword names as Python allows them: a NUL stays in the message, a name
# that cannot be written as UTF-8 is shown escaped as repr would show it.
@pytest.mark.parametrize("name,shown", [
    ("a\x00b", "a\x00b"),
    ("\ud800", "\\ud800"),
    ("x\udfffy'", "x\\udfffy'"),
    ("é\u2603", "é\u2603"),
])
@pytest.mark.parametrize("call,callable_name", [
    (lambda kw: basinkit.metrics.calculate_kge([1.0], [1.0], **kw), "calculate_kge()"),
    (lambda kw: CTS([1.0], HOUR, "discharge", **kw), NEW),
    (lambda kw: _disaggregate(60, **kw), DIS),
], ids=["function", "constructor", "method"])
def test_unexpected_keyword_names_are_reported_whole(call, callable_name, name, shown):
    with pytest.raises(TypeError) as info:
        call({name: 1})
    assert type(info.value) is TypeError
    assert str(info.value) == f"{callable_name} got an unexpected keyword argument '{shown}'"


# User text inside model messages is reported whole, a NUL included.
@pytest.mark.parametrize("call,message", [
    (lambda: CTS([1.0], HOUR, "discharge\x00evil"),
     'kind must be one of ["discharge", "rainfall", "elevation", "volume"]; '
     "got 'discharge\x00evil'"),
    (lambda: basinkit.baseflow.run_linear_reservoir(
        1.0, ITS([1.0], timedelta(seconds=1), "rainfall"),
        {"lay\x00er": basinkit.baseflow.LinearReservoir(timedelta(days=20000), 0.5, 0.0,
                                                         100_000_001)}),
     "num_reservoir 100000001 of layer 'lay\x00er' is too large: at most 100000000 "
     "reservoirs can be chained."),
], ids=["kind", "layer-name"])
def test_user_text_with_a_nul_is_reported_whole(call, message):
    with pytest.raises((ValueError, MemoryError)) as info:
        call()
    assert str(info.value) == message


def test_type_names_with_a_nul_or_surrogate_reach_the_cast_message():
    odd = type("Odd", (), {})
    odd.__qualname__ = "O\x00d\ud800d"
    with pytest.raises(TypeError) as info:
        data_of(odd())
    assert str(info.value) == ("argument 'data': 'O\x00d\ud800d' object is not an instance "
                               "of 'Sequence'")
    outlet = registered("reservoir.run_level_pool_routing")
    curve = registered("reservoir.reservoir_utils.ElevationStorage")([0.0, 1.0], [0.0, 1.0])
    with pytest.raises(TypeError) as info:
        outlet(CTS([1.0, 1.0], HOUR, "discharge"), 0.5, curve, {"x": odd()})
    assert str(info.value).count("'O\x00d\ud800d' object is not an instance of") == 4


@pytest.mark.parametrize("path,args,message", [
    ("metrics.calculate_kge", ([1.0], [1.0], False, 4),
     "calculate_kge() takes from 2 to 3 positional arguments but 4 were given"),
    ("metrics.calculate_kge", ([1.0],),
     "calculate_kge() missing 1 required positional argument: 'obs'"),
    ("baseflow.LinearReservoir", (HOUR, 0.5, 0.0, 1, 5),
     "LinearReservoir.__new__() takes from 3 to 4 positional arguments but 5 were given"),
    ("reach.run_muskingum_routing", (),
     "run_muskingum_routing() missing 5 required positional arguments: "
     "'inflow', 'k', 'x', 'sub_reaches', and 'initial_outflow'"),
])
def test_binding_messages_of_other_callables(path, args, message):
    fn = registered(path)
    with pytest.raises(TypeError, match=exact(message)):
        fn(*args)


# ---------------------------------------------------------------- sequences of floats


class Seq:
    """A sequence by protocol only: __len__ and __getitem__."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class FloatList(list):
    pass


@pytest.mark.parametrize("value,expected", [
    ([1.0, 2.5, -3.0], [1.0, 2.5, -3.0]),
    ((1, 2, 3), [1.0, 2.0, 3.0]),
    ([], []),
    ((), []),
    (FloatList([4.0, 5.0]), [4.0, 5.0]),
    (Seq([1, 2.5]), [1.0, 2.5]),
    (Seq([1.0, 2.0], length=10**15), [1.0, 2.0]),  # iteration decides, not __len__
    (Seq([7.0], length=0), [7.0]),
    (range(3), [0.0, 1.0, 2.0]),
    (b"\x01\x02", [1.0, 2.0]),
    (array.array("d", [0.1, 0.2]), [0.1, 0.2]),
    (array.array("f", [0.5, 0.25]), [0.5, 0.25]),
    (array.array("i", [-1, 7]), [-1.0, 7.0]),
    (memoryview(array.array("d", [1.5, 2.5])), [1.5, 2.5]),
    (memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0]))[::2], [1.0, 3.0]),
    (memoryview(b"\x03\x04"), [3.0, 4.0]),
    ([True, False], [1.0, 0.0]),
    ([Fraction(1, 4), Decimal("0.5")], [0.25, 0.5]),
    ([np.float32(0.1), np.int64(3), np.float64(2.5)], [float(np.float32(0.1)), 3.0, 2.5]),
], ids=lambda v: type(v).__name__)
def test_sequence_kinds_are_accepted(value, expected):
    assert data_of(value) == expected


def test_special_floats_survive():
    out = data_of([math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308])
    assert math.isnan(out[0])
    assert out[1:3] == [math.inf, -math.inf]
    assert math.copysign(1.0, out[3]) == -1.0
    assert out[4:] == [5e-324, 1.7976931348623157e308]


@pytest.mark.parametrize("arr", [
    np.array([0.1, 0.2, 0.3]),
    np.array([1, -2, 2**53 + 1], dtype=np.int64),
    np.array([0.1, 1e30, -2.5], dtype=np.float32),
    np.arange(10.0)[::3],
    np.arange(12.0).reshape(3, 4)[:, 1],
    np.array([1.5, -2.25], dtype=">f8"),
    np.array([1.0, 2.0, 3.0])[::-1],
    np.array([], dtype=np.float64),
    np.array([True, False]),
    np.array([[1.0], [2.0]]),
    np.array([[1.0, 2.0], [3.0, 4.0]]),
    np.array(5.0),
], ids=["f8", "i8", "f4", "strided", "column", "big-endian", "reversed", "empty", "bool",
        "2d-single", "2d", "0d"])
def test_numpy_arrays_behave_like_iterating_them(arr):
    try:
        expected = [float(x) for x in arr]
    except TypeError as err:
        with pytest.raises(TypeError) as info:
            data_of(arr)
        assert str(info.value) == f"argument 'data': {err}"
        return
    assert data_of(arr) == expected


def test_read_only_and_fortran_arrays():
    arr = np.asfortranarray(np.array([3.0, 4.0]))
    arr.setflags(write=False)
    assert data_of(arr) == [3.0, 4.0]


def test_multi_dimensional_memoryview_behaves_like_iterating_it():
    view = memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0])).cast("B").cast("d", (2, 2))
    with pytest.raises(Exception) as expected:
        [float(x) for x in view]
    with pytest.raises(type(expected.value)) as info:
        data_of(view)
    if type(expected.value) is TypeError:
        assert str(info.value) == f"argument 'data': {expected.value}"
    else:
        assert str(info.value) == str(expected.value)


class BufferButDifferentItems:
    """Exports a buffer of doubles whose content differs from what iteration yields."""

    def __buffer__(self, flags):
        return memoryview(array.array("d", [100.0, 200.0, 300.0]))

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return float(i)


def test_iteration_decides_over_a_foreign_buffer():
    assert data_of(BufferButDifferentItems()) == [0.0, 1.0]


def test_data_is_copied_from_the_source():
    source = [1.0, 2.0]
    arr = np.array([1.0, 2.0])
    a, b = CTS(source, HOUR, "discharge"), CTS(arr, HOUR, "discharge")
    source[0] = 99.0
    arr[0] = 99.0
    assert a.data == [1.0, 2.0] and b.data == [1.0, 2.0]


@pytest.mark.parametrize("value,type_name", [
    (5, "int"),
    (2.5, "float"),
    ((x for x in [1.0]), "generator"),
    ({1.0, 2.0}, "set"),
    (frozenset(), "frozenset"),
    ({"a": 1.0}, "dict"),
    (iter([1.0]), "list_iterator"),
    (object(), "object"),
])
def test_non_sequences_are_refused_with_the_cast_message(value, type_name):
    with pytest.raises(TypeError, match=exact(
            f"argument 'data': '{type_name}' object is not an instance of 'Sequence'")):
        data_of(value)


def test_none_uses_the_none_form_of_the_cast_message():
    with pytest.raises(TypeError,
                       match=exact("argument 'data': 'None' is not an instance of 'Sequence'")):
        data_of(None)


def test_nested_class_is_named_by_qualified_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        data_of(Outer.Inner())
    assert str(info.value) == ("argument 'data': 'test_nested_class_is_named_by_qualified_name."
                               "<locals>.Outer.Inner' object is not an instance of 'Sequence'")


@pytest.mark.parametrize("value", ["123", "", type("S", (str,), {})("1.0")])
def test_text_is_not_a_sequence_of_floats(value):
    with pytest.raises(TypeError, match=exact("argument 'data': Can't extract `str` to `Vec`")):
        data_of(value)


@pytest.mark.parametrize("element", ["1.5", None, [1.0], object(), 1 + 2j])
def test_element_type_errors_carry_the_prefix(element):
    # The interpreter's own wording follows the prefix; no index is added.
    with pytest.raises(TypeError) as info:
        data_of([1.0, element])
    assert type(info.value) is TypeError
    message = str(info.value)
    assert message.startswith("argument 'data': ")
    assert type(element).__name__ in message
    assert "1" not in message.removeprefix("argument 'data': ")


class RaisesOnFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc,expected_type,expected_message", [
    (TypeError("bad number"), TypeError, "argument 'data': bad number"),
    (ValueError("bad number"), ValueError, "bad number"),
    (ZeroDivisionError("boom"), ZeroDivisionError, "boom"),
    (MyTypeError("subclass"), MyTypeError, "subclass"),
    (OverflowError("big"), OverflowError, "big"),
])
def test_errors_raised_by_elements_pass_through(exc, expected_type, expected_message):
    with pytest.raises(BaseException) as info:
        data_of([RaisesOnFloat(exc)])
    assert type(info.value) is expected_type
    assert str(info.value) == expected_message


def test_prefixed_error_keeps_the_cause():
    cause = KeyError("root")

    class Chained:
        def __float__(self):
            raise TypeError("outer") from cause

    with pytest.raises(TypeError) as info:
        data_of([Chained()])
    assert str(info.value) == "argument 'data': outer"
    assert info.value.__cause__ is cause


def test_first_failing_element_wins():
    with pytest.raises(ValueError, match="first"):
        data_of([1.0, RaisesOnFloat(ValueError("first")), RaisesOnFloat(TypeError("second"))])


def test_list_changed_by_an_element_does_not_crash():
    items = []

    class Clears:
        def __float__(self):
            items.clear()
            return 2.0

    class Grows:
        def __float__(self):
            if len(items) < 6:
                items.append(3.0)
            return 1.0

    items[:] = [1.0, Clears(), 5.0, 6.0]
    out = data_of(items)
    assert out[:2] == [1.0, 2.0] and len(out) <= 4
    items[:] = [Grows(), 0.0]
    out = data_of(items)
    assert out[0] == 1.0 and all(isinstance(v, float) for v in out) and len(out) <= 6


@pytest.mark.parametrize("element,expected", [
    (type("F", (float,), {"__float__": lambda self: 99.0})(1.5), 1.5),  # stored value read
    (type("I", (), {"__index__": lambda self: 7})(), 7.0),
    (type("Both", (), {"__float__": lambda self: 0.25, "__index__": lambda self: 9})(), 0.25),
    (2**53 + 1, 9007199254740992.0),
    (-(2**1023), -(2.0**1023)),
    (np.int64(-5), -5.0),
])
def test_float_like_elements(element, expected):
    assert data_of([element]) == [expected]


@pytest.mark.parametrize("big", [2**1024, -(2**1024), 10**400])
def test_int_too_large_for_a_float_overflows_without_prefix(big):
    with pytest.raises(OverflowError) as info:
        data_of([big])
    assert "argument" not in str(info.value)


# ---------------------------------------------------------------- durations


class Delta(timedelta):
    pass


@pytest.mark.parametrize("value,type_name", [
    (3600, "int"), (3600.0, "float"), ("1:00:00", "str"), (np.timedelta64(3600, "s"),
                                                          "timedelta64"),
])
def test_numbers_are_not_durations(value, type_name):
    with pytest.raises(TypeError) as info:
        CTS([1.0], value, "discharge")
    assert str(info.value) == (f"argument 'time_step': '{type_name}' object is not an instance "
                               "of 'timedelta'")


def test_none_is_not_a_duration():
    with pytest.raises(TypeError, match=exact(
            "argument 'time_step': 'None' is not an instance of 'timedelta'")):
        CTS([1.0], None, "discharge")


@pytest.mark.parametrize("delta,seconds", [
    (timedelta(seconds=60), 60),
    (Delta(minutes=5), 300),
    (timedelta(seconds=90, microseconds=500000), 90),
    (timedelta(seconds=1, microseconds=999999), 1),
    (timedelta(days=1), 86400),
    (timedelta(days=24855, seconds=11647), 2147483647),
    (timedelta(days=24855, seconds=11648), 2147483647),
    (timedelta.max, 2147483647),
])
def test_duration_conversion(delta, seconds):
    assert CTS([1.0], delta, "discharge").time_step == timedelta(seconds=seconds)


@pytest.mark.parametrize("delta", [
    timedelta(microseconds=-1), timedelta(seconds=-1), timedelta(days=-1, seconds=86399),
    timedelta.min, Delta(hours=-2),
])
def test_negative_durations_are_value_errors_without_prefix(delta):
    with pytest.raises(ValueError) as info:
        CTS([1.0], delta, "discharge")
    assert type(info.value) is ValueError
    message = str(info.value)
    assert "argument" not in message
    assert "negative" in message.lower()


# ---------------------------------------------------------------- signed integers


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("target,expected_len", [
    (1800, 2), (Index(1200), 3), (np.int64(900), 4), (np.int32(3600), 1),
])
def test_integer_like_targets(target, expected_len):
    assert len(ITS([1.0], HOUR, "rainfall").disaggregate(target).data) == expected_len


@pytest.mark.parametrize("target,type_name", [
    (1800.0, "float"), ("1800", "str"), (None, "NoneType"), (Fraction(1800), "Fraction"),
    (np.float64(1800.0), "numpy.float64"),
])
def test_non_integers_are_type_errors_with_prefix(target, type_name):
    with pytest.raises(TypeError) as info:
        _disaggregate(target)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'target_step': ")


@pytest.mark.parametrize("target", [2**31, -(2**31) - 1, 2**63, 2**64, -(2**70)])
def test_out_of_range_integers_overflow_without_prefix(target):
    with pytest.raises(OverflowError) as info:
        _disaggregate(target)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("target", [True, 0, -1, -(2**31), Index(29)])
def test_small_integers_convert_then_fail_validation(target):
    with pytest.raises(ValueError, match=exact("target_step must be >= 30 seconds.")):
        _disaggregate(target)


# ---------------------------------------------------------------- internal faults


PANIC_CASES = [
    (lambda rs: rs.ElevationStorage([], []).get_storage(1.0),
     "x_values and y_values each must have at least 2 elements."),
    (lambda rs: rs.ElevationStorage([1.0], [2.0]).get_elevation(2.0),
     "x_values and y_values each must have at least 2 elements."),
    (lambda rs: rs.ElevationStorage([1.0, 2.0], [1.0, 2.0]).get_storage(math.nan), None),
]


def _panic_class():
    return registered("reservoir.reservoir_utils")


@pytest.mark.parametrize("trigger,message", PANIC_CASES, ids=["empty", "single", "nan"])
def test_internal_fault_raises_panic_exception(capfd, trigger, message):
    rs = _panic_class()
    caught_by_exception = False
    try:
        try:
            trigger(rs)
        except Exception:
            caught_by_exception = True
    except BaseException as exc:  # noqa: B036 - the class is meant to escape `except Exception`
        panic = exc
    else:
        pytest.fail("no exception raised")
    assert not caught_by_exception
    cls = type(panic)
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert len(panic.args) == 1 and isinstance(panic.args[0], str) and panic.args[0]
    if message is not None:
        assert panic.args[0] == message
    err = capfd.readouterr().err
    assert panic.args[0] in err


def test_panic_leaves_the_object_usable():
    rs = _panic_class()
    curve = rs.ElevationStorage([1.0, 2.0], [10.0, 20.0])
    with pytest.raises(BaseException):
        curve.get_storage(math.nan)
    assert curve.get_storage(1.5) == 15.0
