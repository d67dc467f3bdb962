"""Shape of the module tree: submodules, __all__ lists, class and function properties."""

import importlib
import importlib.machinery
import importlib.util
import operator
import os
import subprocess
import sys
import sysconfig
import textwrap
import types
from datetime import timedelta

import pytest

import basinkit

SUBMODULES = ["utils", "reach", "reservoir", "rainfall_transform", "rainfall_loss", "baseflow",
              "metrics"]

# Module path (below basinkit) -> members in registration order:
# (name, kind, text signature or None for a class without constructor).
TREE = {
    "utils": [
        ("ContinuousTimeSeries", "class", "(data, time_step, kind)"),
        ("IncrementalTimeSeries", "class", "(data, time_step, kind)"),
    ],
    "reach": [
        ("run_muskingum_routing", "function", "(inflow, k, x, sub_reaches, initial_outflow)"),
    ],
    "reservoir": [
        ("reservoir_utils", "submodule", None),
        ("run_level_pool_routing", "function",
         "(inflow, initial_elevation, elevation_storage, discharge_info)"),
        ("LevelPoolResult", "class", None),
    ],
    "reservoir.reservoir_utils": [
        ("ElevationDischarge", "class", "(elevation, discharge)"),
        ("ElevationStorage", "class", "(elevation, storage)"),
        ("ControlledDischargeInfo", "class",
         "(elevation_discharge, minimum_elevation=None, maximum_elevation=None, "
         "maximum_release=None)"),
        ("UnControlledDischargeInfo", "class", "(elevation_discharge, elevation_offset=None)"),
        ("SpecifiedDischargeInfo", "class",
         "(discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)"),
        ("ConstantDischargeInfo", "class",
         "(discharge, minimum_elevation=None, maximum_elevation=None)"),
    ],
    "rainfall_transform": [
        ("run_clark_uh", "function", "(rainfall, basin_area, tc, storage_r)"),
    ],
    "rainfall_loss": [
        ("DeficitConstantResult", "class", None),
        ("run_deficit_and_constant", "function",
         "(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)"),
    ],
    "baseflow": [
        ("run_linear_reservoir", "function", "(basin_area, rainfall, reservoirs)"),
        ("LinearReservoir", "class", "(k_duration, gw_fraction, initial_q, num_reservoir=1)"),
    ],
    "metrics": [
        ("calculate_kge", "function", "(sim, obs, use_log=False)"),
    ],
}

CLASSES = [(path, name, sig) for path, members in TREE.items()
           for name, kind, sig in members if kind == "class"]
FUNCTIONS = [(path, name, sig) for path, members in TREE.items()
             for name, kind, sig in members if kind == "function"]
FINAL_CLASSES = {"LinearReservoir"}
NO_CONSTRUCTOR = {"DeficitConstantResult", "LevelPoolResult"}

STANDALONE = [
    ("init_loss", "rainfall_loss"),
    ("init_transform", "rainfall_transform"),
    ("init_baseflow", "baseflow"),
    ("init_reach", "reach"),
    ("init_reservoir", "reservoir"),
    ("init_metrics", "metrics"),
]

# Attributes every module object carries on its own.
MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                  "__all__"}


def resolve(path, root=basinkit):
    return operator.attrgetter(path)(root)


def member(path, name):
    """The registered member."""
    return getattr(resolve(path), name)


def own_members(module):
    return {k for k in vars(module) if k not in MODULE_DUNDERS}


def ids(cases):
    return [f"{p}.{n}" for p, n, _ in cases]


# ---------------------------------------------------------------- top module


def test_top_module_lists_the_seven_submodules_and_nothing_else():
    assert basinkit.__all__ == SUBMODULES
    assert basinkit.__doc__ == ""
    assert own_members(basinkit) == set(SUBMODULES)
    assert not hasattr(basinkit, "__path__")


@pytest.mark.parametrize("path", list(TREE))
def test_every_all_list_is_exactly_the_documented_one(path):
    module = resolve(path)
    expected = [name for name, _, _ in TREE[path]]
    assert module.__all__ == expected
    assert own_members(module) == set(expected)


def test_registered_members_follow_the_documented_order():
    for path, members in TREE.items():
        module = resolve(path)
        registered = module.__all__
        assert type(registered) is list
        documented = [n for n, _, _ in members]
        assert [n for n in documented if n in registered] == registered, path
        assert own_members(module) == set(registered), path


# ---------------------------------------------------------------- submodules


@pytest.mark.parametrize("path", list(TREE))
def test_submodule_is_a_plain_module_outside_sys_modules(path):
    if "." in path:
        parent, short = path.rsplit(".", 1)
        module = member(parent, short)
    else:
        short = path
        module = resolve(path)
    assert type(module) is types.ModuleType
    assert module.__name__ == short
    assert module.__doc__ is None
    assert not hasattr(module, "__file__")
    assert not hasattr(module, "__path__")
    assert sys.modules.get(short) is not module
    assert f"basinkit.{path}" not in sys.modules
    assert all(m is not module for m in list(sys.modules.values()))


@pytest.mark.parametrize("dotted", ["basinkit.utils", "basinkit.reach",
                                    "basinkit.reservoir.reservoir_utils"])
def test_dotted_import_of_a_submodule_fails(dotted):
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module(dotted)


def test_import_statement_forms():
    scope = {}
    with pytest.raises(ModuleNotFoundError):
        exec("import basinkit.utils", scope)
    exec("from basinkit import utils", scope)
    assert scope["utils"] is basinkit.utils
    with pytest.raises(ModuleNotFoundError):
        exec("from basinkit.utils import ContinuousTimeSeries", scope)


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("path,name,sig", CLASSES, ids=ids(CLASSES))
def test_class_properties(path, name, sig):
    cls = member(path, name)
    assert isinstance(cls, type)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == sig
    # The signature header is consumed, not left in the prose.
    doc = cls.__doc__
    assert doc is not None
    assert not doc.startswith(name + "(")
    assert "\n--\n" not in doc
    # No per-instance dict and no weak-reference slot.
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert "__dict__" not in dir(cls)


@pytest.mark.parametrize("path,name,sig", CLASSES, ids=ids(CLASSES))
def test_subclassing(path, name, sig):
    cls = member(path, name)
    if name in FINAL_CLASSES:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    else:
        sub = type("Sub", (cls,), {"extra": 1})
        assert issubclass(sub, cls)
        assert sub.extra == 1


@pytest.mark.parametrize("path,name", [("rainfall_loss", "DeficitConstantResult"),
                                       ("reservoir", "LevelPoolResult")])
def test_result_classes_cannot_be_instantiated(path, name):
    cls = member(path, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)
    sub = type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        sub()


def test_series_instances_have_no_dict():
    for cls in (basinkit.utils.ContinuousTimeSeries, basinkit.utils.IncrementalTimeSeries):
        s = cls([1.0], timedelta(seconds=60), "discharge")
        assert not hasattr(s, "__dict__")
        with pytest.raises(AttributeError):
            s.anything = 1
        # A Python subclass gets a dict of its own, as usual.
        sub = type("Sub", (cls,), {})([1.0], timedelta(seconds=60), "discharge")
        sub.anything = 1
        assert sub.anything == 1


def _cts(cls=None, data=(10.0, 20.0, 30.0, 20.0, 10.0)):
    cls = cls or basinkit.utils.ContinuousTimeSeries
    return cls(list(data), timedelta(hours=1), "discharge")


def _its(cls=None):
    cls = cls or basinkit.utils.IncrementalTimeSeries
    return cls([0.5, 1.0, 0.2], timedelta(hours=1), "rainfall")


def _series_outcome(result):
    return type(result), result.data, result.time_step, result.kind


# Calls that take an instance of a class; the same call with an instance of a
# Python subclass must give the same outcome.
SUBCLASS_USES = {
    "reach.run_muskingum_routing": (
        ("utils", "ContinuousTimeSeries"),
        lambda f, inflow: _series_outcome(
            f(inflow, timedelta(hours=2), 0.2, 2, 10.0))),
    "rainfall_transform.run_clark_uh": (
        ("utils", "IncrementalTimeSeries"),
        lambda f, rain: _series_outcome(
            f(rain, 100.0, timedelta(hours=3), timedelta(hours=2)))),
    "reservoir.run_level_pool_routing": (
        ("reservoir.reservoir_utils", "ElevationStorage"),
        lambda f, curve: _series_outcome(
            f(_cts(data=(0.0, 5.0, 0.0)), 105.0, curve, {}).reservoir_elevation)),
}


def _make_arg(path, name, cls):
    if name == "ContinuousTimeSeries":
        return _cts(cls)
    if name == "IncrementalTimeSeries":
        return _its(cls)
    if name == "ElevationStorage":
        return cls([100.0, 110.0], [0.0, 100000.0])
    raise AssertionError(name)


@pytest.mark.parametrize("use", list(SUBCLASS_USES))
def test_subclass_instance_accepted_where_the_class_is_required(use):
    fpath, fname = use.rsplit(".", 1)
    fn = member(fpath, fname)
    (cpath, cname), run = SUBCLASS_USES[use]
    cls = member(cpath, cname)
    sub = type("Sub", (cls,), {})
    assert run(fn, _make_arg(cpath, cname, sub)) == run(fn, _make_arg(cpath, cname, cls))


@pytest.mark.parametrize("use", list(SUBCLASS_USES))
def test_unrelated_object_refused_with_the_class_name(use):
    fpath, fname = use.rsplit(".", 1)
    fn = member(fpath, fname)
    (cpath, cname), run = SUBCLASS_USES[use]
    with pytest.raises(TypeError, match=f"is not an instance of '{cname}'"):
        run(fn, object())


# ---------------------------------------------------------------- functions


@pytest.mark.parametrize("path,name,sig", FUNCTIONS, ids=ids(FUNCTIONS))
def test_function_properties(path, name, sig):
    fn = member(path, name)
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__self__ is None
    assert fn.__module__ == path
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__text_signature__ == sig
    assert fn.__doc__ is not None and not fn.__doc__.startswith(name + "(")


# ---------------------------------------------------------------- re-import


@pytest.mark.thread_unsafe(reason="takes basinkit out of sys.modules for a while")
def test_reimport_builds_new_submodules_around_the_same_classes():
    old = sys.modules["basinkit"]
    old_utils = old.utils
    before = {(p, n): resolve(f"{p}.{n}", old) for p, n, _ in CLASSES}
    instance = old.utils.ContinuousTimeSeries([1.0], timedelta(seconds=60), "discharge")
    old_functions = {(p, n): resolve(f"{p}.{n}", old) for p, n, _ in FUNCTIONS}
    del sys.modules["basinkit"]
    try:
        new = importlib.import_module("basinkit")
        assert new is not old
        assert new.__all__ == old.__all__
        for name in SUBMODULES:
            assert getattr(new, name) is not getattr(old, name)
        assert new.utils.__all__ is not old_utils.__all__
        for (p, n), cls in before.items():
            assert resolve(f"{p}.{n}", new) is cls
        for (p, n), fn in old_functions.items():
            fresh = resolve(f"{p}.{n}", new)
            assert fresh is not fn
            assert fresh.__module__ == fn.__module__
        assert isinstance(instance, new.utils.ContinuousTimeSeries)
        assert new.utils.IncrementalTimeSeries([2.0], timedelta(seconds=60),
                                               "rainfall").data == [2.0]
    finally:
        sys.modules["basinkit"] = old


# ---------------------------------------------------------------- stand-alone modules


def _load_standalone(tmp_path, modname):
    # A link to the very library, not a copy: a copy would be loaded as a
    # second library with class objects of its own.
    target = tmp_path / (modname + importlib.machinery.EXTENSION_SUFFIXES[0])
    try:
        os.symlink(basinkit.__file__, target)
    except OSError:
        os.link(basinkit.__file__, target)
    loader_spec = importlib.util.spec_from_file_location(modname, target)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("modname,area", STANDALONE, ids=[s[0] for s in STANDALONE])
def test_standalone_module_mirrors_its_submodule(tmp_path, modname, area):
    module = _load_standalone(tmp_path, modname)
    sub = getattr(basinkit, area)
    assert module.__name__ == modname
    assert module.__doc__ == ""
    assert modname not in basinkit.__all__
    assert module.__all__ == sub.__all__
    assert own_members(module) == own_members(sub)
    for name in sub.__all__:
        mine, theirs = getattr(module, name), getattr(sub, name)
        if isinstance(theirs, type):
            assert mine is theirs, name
        elif isinstance(theirs, types.ModuleType):
            assert mine is not theirs
            assert mine.__all__ == theirs.__all__
            for inner in theirs.__all__:
                assert getattr(mine, inner) is getattr(theirs, inner), inner
        else:
            assert mine is not theirs
            assert mine.__name__ == theirs.__name__
            assert mine.__text_signature__ == theirs.__text_signature__
            assert mine.__self__ is None


@pytest.mark.parametrize("modname,area", STANDALONE, ids=[s[0] for s in STANDALONE])
def test_standalone_module_has_the_documented_members(tmp_path, modname, area):
    module = _load_standalone(tmp_path, modname)
    assert module.__all__ == [n for n, _, _ in TREE[area]]


# ---------------------------------------------------------------- immutable classes


@pytest.mark.parametrize("path,name,sig", CLASSES, ids=ids(CLASSES))
def test_class_attributes_can_be_neither_set_nor_deleted(path, name, sig):
    cls = member(path, name)
    before = dict(vars(cls))
    for attr in [*before, "__new__", "__init__", "__release_buffer__", "brand_new"]:
        with pytest.raises(TypeError):
            setattr(cls, attr, None)
        with pytest.raises(TypeError):
            delattr(cls, attr)
    assert dict(vars(cls)) == before
    if name in FINAL_CLASSES:
        return
    # A Python subclass stays an ordinary, mutable class.
    sub = type("Sub", (cls,), {})
    sub.extra = 1
    sub.__repr__ = lambda self: "sub"
    del sub.extra
    assert not hasattr(sub, "extra")


def _child(code, *args, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


# Each ran into a crash or a leak while the classes could be patched; in a
# child process, so that a crash fails the test instead of ending the run.
REPRODUCTIONS = {
    "patched_new": """
        import basinkit
        ru = basinkit.reservoir.reservoir_utils
        try:
            ru.ElevationDischarge.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
        except TypeError:
            pass
        for make in (ru.ElevationDischarge,
                     type("Sub", (ru.ElevationDischarge,),
                          {"__new__": lambda c, *a, **k: object.__new__(c)})):
            try:
                ru.ControlledDischargeInfo(make())
            except TypeError:
                pass
        print("ok")
    """,
    "release_buffer_deleted": """
        import tracemalloc
        from datetime import timedelta
        import basinkit
        CTS = basinkit.utils.ContinuousTimeSeries
        try:
            del CTS.__release_buffer__
        except TypeError:
            pass
        series = CTS([1.0] * 10, timedelta(hours=1), "volume")
        tracemalloc.start()
        for _ in range(20000):
            memoryview(series).release()
        grew = tracemalloc.get_traced_memory()[0]
        assert grew < 20000 * 8, grew
        print("ok")
    """,
    "patch_outlives_reimport": """
        import sys
        from datetime import timedelta
        import basinkit
        CTS = basinkit.utils.ContinuousTimeSeries
        try:
            CTS.total_duration = lambda self: -1
        except TypeError:
            pass
        del sys.modules["basinkit"]
        import basinkit
        assert basinkit.utils.ContinuousTimeSeries([1.0, 2.0], timedelta(seconds=7),
                                                   "volume").total_duration() == 7
        print("ok")
    """,
}


@pytest.mark.parametrize("name", REPRODUCTIONS)
def test_patching_a_class_cannot_crash_or_leak(name):
    run = _child(REPRODUCTIONS[name])
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr


# ---------------------------------------------------------------- one interpreter


SUBINTERPRETERS = """
    import sys
    from datetime import timedelta
    import _interpreters

    kind, order, folder = sys.argv[1:4]
    names = ["basinkit", "init_loss", "init_transform", "init_baseflow", "init_reach",
             "init_reservoir", "init_metrics"]
    sys.path.insert(0, folder)

    def in_subinterpreter(code):
        interp = _interpreters.create(kind)
        try:
            return _interpreters.run_string(interp, code)
        finally:
            _interpreters.destroy(interp)

    if order == "main-first":
        import basinkit
    for name in names:
        failure = in_subinterpreter(f"import sys; sys.path.insert(0, {folder!r}); import {name}")
        assert failure is not None and failure.type.__name__ == "ImportError", (name, failure)
        print(failure.msg)
    # A subinterpreter of its own classes beside ours, as an application would have.
    assert in_subinterpreter("class Other:\\n    kind = 'other'\\nOther().kind") is None
    import basinkit
    import init_reach
    series = basinkit.utils.ContinuousTimeSeries([100.0, 300.0, 200.0], timedelta(minutes=1),
                                                 "discharge")
    assert series.kind == "discharge"
    out = init_reach.run_muskingum_routing(series, timedelta(hours=2), 0.2, 3, 50.0)
    print(repr(out.data))
"""


@pytest.mark.parametrize("order", ["main-first", "main-never"])
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_import_in_a_subinterpreter_fails_and_the_main_one_works(tmp_path, kind, order):
    for modname, _ in STANDALONE:
        os.symlink(basinkit.__file__,
                   tmp_path / (modname + importlib.machinery.EXTENSION_SUFFIXES[0]))
    run = _child(SUBINTERPRETERS, kind, order, tmp_path)
    assert run.returncode == 0, run.stderr
    *messages, data = run.stdout.splitlines()
    assert len(messages) == 1 + len(STANDALONE)
    if kind == "legacy" and not sysconfig.get_config_var("Py_GIL_DISABLED"):
        # Only the module's own check stops an interpreter that shares the GIL
        # (a free-threaded CPython checks the module's slot in every one).
        assert set(messages) == {"basinkit cannot be imported in a subinterpreter: "
                                 "its classes are shared by the whole process"}
    else:
        assert all(m.endswith("does not support loading in subinterpreters")
                   or m.startswith("basinkit cannot be imported in a subinterpreter")
                   for m in messages), messages
    series = basinkit.utils.ContinuousTimeSeries([100.0, 300.0, 200.0], timedelta(minutes=1),
                                                 "discharge")
    expected = basinkit.reach.run_muskingum_routing(series, timedelta(hours=2), 0.2, 3, 50.0)
    assert data == repr(expected.data)


NATIVE_IN_SUBINTERPRETER = """
    import sys
    import _interpreters

    kind, path = sys.argv[1:3]
    interp = _interpreters.create(kind)
    try:
        failure = _interpreters.run_string(interp, (
            "import importlib.util\\n"
            f"spec = importlib.util.spec_from_file_location('basinkit_model._native', {path!r})\\n"
            "spec.loader.exec_module(importlib.util.module_from_spec(spec))"))
    finally:
        _interpreters.destroy(interp)
    print(failure.type.__name__ + ": " + failure.msg)
    from basinkit_model import _native
    print(_native.muskingum([1.0, 2.0], 60, timedelta(hours=1), 0.2, 1, 1.0) is not None)
"""


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_private_extension_refuses_subinterpreters_too(kind):
    # Loaded from its file alone: the package around it needs NumPy, which
    # has a refusal of its own.
    native = pytest.importorskip("basinkit_model._native")
    run = _child("from datetime import timedelta\n" + textwrap.dedent(NATIVE_IN_SUBINTERPRETER),
                 kind, native.__file__)
    assert run.returncode == 0, run.stderr
    failure, works = run.stdout.splitlines()
    ours = ("ImportError: basinkit_model._native cannot be imported in a subinterpreter: "
            "its state is shared by the whole process")
    slot = failure.startswith("ImportError: ") and failure.endswith(
        "does not support loading in subinterpreters")
    assert failure == ours or (slot and (kind == "isolated" or sysconfig.get_config_var("Py_GIL_DISABLED")))
    assert works == "True"
