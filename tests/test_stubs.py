"""The hand-written stubs describe exactly the module tree that exists at run time."""

import ast
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import basinkit

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "basinkit-stubs"

MODULES = {
    "utils": ("utils.pyi", lambda: basinkit.utils),
    "reach": ("reach.pyi", lambda: basinkit.reach),
    "reservoir": ("reservoir/__init__.pyi", lambda: basinkit.reservoir),
    "reservoir_utils": ("reservoir/reservoir_utils.pyi", lambda: basinkit.reservoir.reservoir_utils),
    "rainfall_transform": ("rainfall_transform.pyi", lambda: basinkit.rainfall_transform),
    "rainfall_loss": ("rainfall_loss.pyi", lambda: basinkit.rainfall_loss),
    "baseflow": ("baseflow.pyi", lambda: basinkit.baseflow),
    "metrics": ("metrics.pyi", lambda: basinkit.metrics),
}


def stub_members(path):
    """Public classes and functions a stub file defines, with their AST nodes."""
    tree = ast.parse((STUBS / path).read_text())
    members = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_"):
            members[node.name] = node
        elif isinstance(node, ast.ImportFrom) and node.module is None and node.level == 1:
            for alias in node.names:  # "from . import x as x" re-exports a submodule
                if alias.asname == alias.name:
                    members[alias.name] = node
    return members


def stub_params(fn):
    args = fn.args.args
    names = [a.arg for a in args if a.arg not in ("self", "cls")]
    n_defaults = len(fn.args.defaults)
    defaults = {a.arg: ast.literal_eval(d) for a, d in zip(args[len(args) - n_defaults :], fn.args.defaults)}
    return names, defaults


def runtime_params(obj):
    sig = inspect.signature(obj)
    names = [p.name for p in sig.parameters.values() if p.name not in ("self", "cls")]
    defaults = {
        p.name: p.default for p in sig.parameters.values() if p.default is not inspect.Parameter.empty
    }
    return names, defaults


@pytest.mark.parametrize("name", MODULES)
def test_stub_lists_exactly_the_runtime_members(name):
    path, get = MODULES[name]
    assert set(stub_members(path)) == set(get().__all__)


def callables():
    for name, (path, get) in MODULES.items():
        for member, node in stub_members(path).items():
            if isinstance(node, ast.FunctionDef):
                yield pytest.param(get, member, node, None, id=f"{name}.{member}")
            elif isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        yield pytest.param(get, member, node, item, id=f"{name}.{member}.{item.name}")


@pytest.mark.parametrize("get,member,node,item", list(callables()))
def test_stub_signatures_match_runtime(get, member, node, item):
    obj = getattr(get(), member)
    if item is None:
        assert stub_params(node) == runtime_params(obj)
        return
    decorators = {ast.unparse(d) for d in item.decorator_list}
    if item.name == "__new__":
        if obj.__text_signature__ is None:
            pytest.fail(f"{member} has a constructor in the stub but none at run time")
        assert stub_params(item) == runtime_params(obj)
    elif "property" in decorators or any(d.endswith(".setter") for d in decorators):
        descriptor = inspect.getattr_static(obj, item.name)
        assert inspect.isdatadescriptor(descriptor)
        if any(d.endswith(".setter") for d in decorators):
            # Settable at run time exactly where the stub says so.
            assert item.name in {"gw_fraction", "initial_q", "num_reservoir"}
    elif item.name == "__buffer__":
        memoryview(obj.__new__(obj, [], __import__("datetime").timedelta(seconds=1), "volume"))
    else:
        assert stub_params(item) == runtime_params(getattr(obj, item.name))


def test_result_classes_have_no_constructor_in_stub():
    for path, member in [("rainfall_loss.pyi", "DeficitConstantResult"), ("reservoir/__init__.pyi", "LevelPoolResult")]:
        node = stub_members(path)[member]
        assert not any(isinstance(i, ast.FunctionDef) and i.name == "__new__" for i in node.body)


def test_examples_type_check(tmp_path):
    pytest.importorskip("mypy")
    # MYPYPATH wants the package under its import name.
    shutil.copytree(STUBS, tmp_path / "basinkit")
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-incremental",
         str(ROOT / "examples" / "storm_event.py"), str(ROOT / "tests" / "typing_usage.py")],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_level_pool_stub_docstrings_keep_the_runtime_text_and_state_the_clock():
    node = stub_members("reservoir/__init__.pyi")["LevelPoolResult"]
    cls = basinkit.reservoir.LevelPoolResult
    assert ast.get_docstring(node).startswith(cls.__doc__)
    properties = [i for i in node.body if isinstance(i, ast.FunctionDef)]
    assert len(properties) == 4
    for item in properties:
        doc = ast.get_docstring(item)
        runtime = inspect.getattr_static(cls, item.name).__doc__
        assert doc.startswith(runtime + "\n\n"), item.name
        assert "(k + 1) * dt" in doc, item.name
