// Registration: module-level functions and methods, and the members of the
// module tree with their `__all__` lists.
#pragma once

#include "boundary/classes.hpp"
#include "boundary/ref.hpp"

namespace basinkit::py {

using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

// A module-level function: fast call with keywords, no module object passed.
inline PyMethodDef function_def(const char *name, FastFunction fn, const char *doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
}

// A method: fast call with keywords, handed the instance.
inline PyMethodDef method_def(const char *name, FastFunction fn, const char *doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

bool add_class(PyObject *module, ClassBase &cls);
bool add_function(PyObject *module, PyMethodDef *def);
bool add_submodule(PyObject *module, PyObject *submodule);
// A plain module object with a short name, not entered in sys.modules.
PyObject *new_module(const char *name);

} // namespace basinkit::py
