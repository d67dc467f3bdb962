// Argument binding: positional and keyword arguments onto a parameter list,
// with the interpreter's own messages for what does not fit.
#pragma once

#include "boundary/errors.hpp"
#include "boundary/ref.hpp"

#include <cstddef>
#include <span>

namespace basinkit::py {

// A parameter list: every parameter positional-or-keyword, the first
// `required` of them without a default.
struct Signature {
    const char *callable; // "run_clark_uh()" or "LinearReservoir.__new__()"
    std::span<const char *const> names;
    std::size_t required;
};

// Binds vectorcall arguments (or a tuple and dict) into `out`, one borrowed
// reference or nullptr (omitted) per parameter.
bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject **out);
bool bind(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **out);

// The most parameters a binding takes.
inline constexpr std::size_t max_params = 12;

// A binding's body run on its bound arguments, `body(a)` with one borrowed
// reference or nullptr per parameter; no C++ exception gets out.
template <class F>
PyObject *bound(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                F &&body) noexcept {
    return guarded([&]() -> PyObject * {
        PyObject *a[max_params];
        if (sig.names.size() > max_params) return raise_panic("too many parameters");
        if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
        return body(a);
    });
}
template <class F>
PyObject *bound(const Signature &sig, PyObject *args, PyObject *kwargs, F &&body) noexcept {
    return guarded([&]() -> PyObject * {
        PyObject *a[max_params];
        if (sig.names.size() > max_params) return raise_panic("too many parameters");
        if (!bind(sig, args, kwargs, a)) return nullptr;
        return body(a);
    });
}

} // namespace basinkit::py
