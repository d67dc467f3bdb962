// Errors and warnings: core error values, internal faults and the argument
// prefix become Python exceptions here; no C++ exception leaves a binding.
#pragma once

#include "boundary/ref.hpp"
#include "error.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace basinkit::py {

// Raises a core error as its Python exception; always returns nullptr.
PyObject *raise(const Error &e);
// Raises PanicException (also written to stderr); always returns nullptr.
PyObject *raise_panic(std::string_view message);
// The internal-fault exception class, derived directly from BaseException.
PyObject *panic_exception_type();

// Raises TypeError with a message built from UTF-8 pieces.
void set_type_error(const std::string &message);

// Raises the cast message "'{}' object is not an instance of '{}'" (or the
// `None` form) as TypeError; returns false.
bool raise_cast_error(PyObject *obj, std::string_view target);

// If the pending exception is exactly TypeError, replaces it with
// "argument '{name}': {message}" keeping its cause; other classes pass.
void add_argument_prefix(std::string_view name);

// Runs a binding body; no C++ exception ever reaches the interpreter.
template <class F> PyObject *guarded(F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::length_error &) {
        return PyErr_NoMemory();
    } catch (const std::exception &e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("");
    }
}
template <class F> int guarded_int(F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::length_error &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("");
    }
    return -1;
}

// Unwraps a core result or raises its error: `if (!ok(r)) return nullptr;`.
template <class T> bool ok(const Result<T> &r) {
    if (r) return true;
    raise(r.error());
    return false;
}

// Issues a UserWarning through the `warnings` module, imported now.
bool warn(const char *message);

} // namespace basinkit::py
