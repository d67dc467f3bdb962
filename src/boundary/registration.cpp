#include "boundary/registration.hpp"

#include "boundary/errors.hpp"

#include <cstring>

namespace basinkit::py {

namespace {

// Appends `name` to the module's __all__ (creating it) and sets it again.
bool append_to_all(PyObject *module, PyObject *name) {
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return false;
    Ref all(found);
    if (!all) {
        all = Ref(PyList_New(0));
        if (!all) return false;
    } else if (!PyList_Check(all.get())) {
        return raise_cast_error(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) return false;
    return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

bool add_member(PyObject *module, PyObject *name, PyObject *value) {
    if (!append_to_all(module, name)) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

} // namespace

bool add_class(PyObject *module, ClassBase &cls) {
    PyTypeObject *t = cls.type();
    if (!t) return false;
    Ref name(PyUnicode_FromString(cls.name()));
    if (!name) return false;
    return add_member(module, name.get(), reinterpret_cast<PyObject *>(t));
}

bool add_function(PyObject *module, PyMethodDef *def) {
    Ref modname(PyModule_GetNameObject(module));
    if (!modname) return false;
    Ref fn(PyCMethod_New(def, nullptr, modname.get(), nullptr));
    if (!fn) return false;
    Ref name(PyUnicode_FromString(def->ml_name));
    if (!name) return false;
    return add_member(module, name.get(), fn.get());
}

bool add_submodule(PyObject *module, PyObject *submodule) {
    Ref full(PyModule_GetNameObject(submodule));
    if (!full) return false;
    const char *s = PyUnicode_AsUTF8(full.get());
    if (!s) return false;
    const char *dot = std::strrchr(s, '.');
    Ref name(PyUnicode_FromString(dot ? dot + 1 : s));
    if (!name) return false;
    return add_member(module, name.get(), submodule);
}

PyObject *new_module(const char *name) {
    Ref n(PyUnicode_FromString(name));
    if (!n) return nullptr;
    return PyModule_NewObject(n.get());
}

} // namespace basinkit::py
