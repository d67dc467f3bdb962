"""Griffe extension: basinkit's docstrings from the compiled module, onto its stubs.

basinkit is one compiled module whose signatures and types live in the
hand-written stubs (the `basinkit-stubs` package), while its docstrings live in
the module itself. Griffe reads the stubs statically; this extension imports
basinkit and copies each object's own docstring onto the stub object of the same
path. A stub object the module lacks is an error: stubs and module must agree.
"""

from __future__ import annotations

import importlib
import inspect
import re
from typing import Any

import griffe


# The module's docstrings head their sections `# Arguments`, `# Errors`: shown as
# bold labels, so they do not fill the page's table of contents.
_SECTION = re.compile(r"^#{1,6} +(.+?) *$", re.MULTILINE)


def _own_doc(obj: Any) -> str | None:
    doc = getattr(obj, "__doc__", None)
    # Plain values (a str, a list) carry their type's docstring, not basinkit's.
    if not isinstance(doc, str) or not doc.strip() or doc == type(obj).__doc__:
        return None
    return _SECTION.sub(r"**\1**", inspect.cleandoc(doc))


def _constructor_as_init(cls: griffe.Class) -> None:
    """Show a stub's `__new__` as the class signature (the handler merges `__init__` only)."""
    new = cls.members.get("__new__")
    if not isinstance(new, griffe.Function) or "__init__" in cls.members:
        return
    self_param = griffe.Parameter("self", kind=griffe.ParameterKind.positional_or_keyword)
    init = griffe.Function(
        "__init__",
        parameters=griffe.Parameters(self_param, *list(new.parameters)[1:]),
        lineno=new.lineno,
        endlineno=new.endlineno,
    )
    cls.set_member("__init__", init)


class RuntimeDocstrings(griffe.Extension):
    """Fill the docstrings of a stub-loaded package from the imported module."""

    def __init__(self, package: str = "basinkit") -> None:
        super().__init__()
        self.package = package

    def on_package(self, *, pkg: griffe.Module, **kwargs: Any) -> None:
        if pkg.name != self.package:
            return
        self._fill(pkg, importlib.import_module(self.package))

    def _fill(self, node: griffe.Object, runtime: Any) -> None:
        if isinstance(node, griffe.Class):
            _constructor_as_init(node)
        if node.docstring is None:
            doc = _own_doc(runtime)
            if doc is not None:
                node.docstring = griffe.Docstring(doc, parent=node)
        for name, member in node.members.items():
            # Imports (aliases) and private or dunder names are not documented.
            if member.is_alias or name.startswith("_"):
                continue
            try:
                child = inspect.getattr_static(runtime, name)
            except AttributeError:
                if isinstance(member, griffe.Attribute) and str(member.annotation) == "TypeAlias":
                    continue  # a name for type checkers only
                raise AttributeError(f"{member.path} is in the stubs but not in the module") from None
            if isinstance(member, (griffe.Module, griffe.Class, griffe.Function, griffe.Attribute)):
                self._fill(member, child)
