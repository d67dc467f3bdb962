#include "boundary/binding.hpp"

#include "boundary/errors.hpp"

#include <string>
#include <vector>

namespace basinkit::py {

namespace {

std::string plural_list(const std::vector<const char *> &names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) s += ',';
            s += (i == names.size() - 1) ? " and " : " ";
        }
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature &sig, PyObject *key) {
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < sig.names.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

bool too_many_positional(const Signature &sig, Py_ssize_t nargs) {
    const std::size_t total = sig.names.size();
    std::string count = sig.required != total ? "from " + std::to_string(sig.required) + " to " +
                                                    std::to_string(total)
                                              : std::to_string(total);
    set_type_error(std::string(sig.callable) + " takes " + count + " positional arguments but " +
                   std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
    return false;
}

bool keyword(const Signature &sig, Py_ssize_t nargs, PyObject *key, PyObject *value,
             PyObject **out) {
    Py_ssize_t i = find_param(sig, key);
    if (i < 0) {
        Ref text(PyObject_Str(key));
        const char *k = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!k) return false;
        set_type_error(std::string(sig.callable) + " got an unexpected keyword argument '" + k +
                       "'");
        return false;
    }
    if (i < nargs || out[i]) {
        set_type_error(std::string(sig.callable) + " got multiple values for argument '" +
                       sig.names[static_cast<std::size_t>(i)] + "'");
        return false;
    }
    out[i] = value;
    return true;
}

bool check_missing(const Signature &sig, PyObject **out) {
    std::vector<const char *> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.names[i]);
    if (missing.empty()) return true;
    set_type_error(std::string(sig.callable) + " missing " + std::to_string(missing.size()) +
                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                   ": " + plural_list(missing));
    return false;
}

} // namespace

bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **out) {
    nargs = PyVectorcall_NARGS(nargs);
    const std::size_t total = sig.names.size();
    for (std::size_t i = 0; i < total; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > total) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            if (!keyword(sig, nargs, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out))
                return false;
    }
    return check_missing(sig, out);
}

bool bind(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const std::size_t total = sig.names.size();
    for (std::size_t i = 0; i < total; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > total) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!keyword(sig, nargs, key, value, out)) return false;
    }
    return check_missing(sig, out);
}

} // namespace basinkit::py
