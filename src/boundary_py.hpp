// The one place where Python meets the cores: references, argument binding,
// conversions, error mapping, class and module registration, borrow flags.
// Every binding file uses these pieces; none talks to the C API on its own
// where a piece here already does the job.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error.hpp"
#include "utils/duration.hpp"
#include "utils/large_buffer.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace basinkit::py {

// ---------------------------------------------------------------- references

// An owned (strong) reference; releases it when it goes out of scope.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject *owned) : p_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrow(PyObject *o) { return Ref(Py_XNewRef(o)); }
    PyObject *get() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------- errors

// Raises a core error as its Python exception; always returns nullptr.
PyObject *raise(const Error &e);
// Raises PanicException (also written to stderr); always returns nullptr.
PyObject *raise_panic(std::string_view message);
// The internal-fault exception class, derived directly from BaseException.
PyObject *panic_exception_type();

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

// ---------------------------------------------------------------- binding

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

// ---------------------------------------------------------------- conversions
// Each converter returns false with a Python exception set.

bool convert(PyObject *o, double *out);
bool convert(PyObject *o, std::optional<double> *out); // None or omitted: absent
bool convert(PyObject *o, std::uint64_t *out);
bool convert(PyObject *o, std::int64_t *out);
bool convert(PyObject *o, std::int32_t *out);
bool convert_flag(PyObject *o, bool *out);
bool convert(PyObject *o, std::vector<double> *out);
bool convert(PyObject *o, Values *out);
bool convert(PyObject *o, std::string *out);

// Type test only; the duration itself is taken later by the model body.
bool check_timedelta(PyObject *o);
// A non-negative duration; a negative timedelta is a ValueError.
bool to_duration(PyObject *td, Duration *out);
// Whole seconds saturated into a signed 32-bit count (microseconds dropped).
std::int32_t saturating_seconds(const Duration &d);

// Converts argument `name` with the matching converter, adding the prefix.
template <class T> bool convert_arg(const char *name, PyObject *o, T *out) {
    if (convert(o, out)) return true;
    add_argument_prefix(name);
    return false;
}
inline bool flag_arg(const char *name, PyObject *o, bool *out) {
    if (convert_flag(o, out)) return true;
    add_argument_prefix(name);
    return false;
}
inline bool timedelta_arg(const char *name, PyObject *o) {
    if (check_timedelta(o)) return true;
    add_argument_prefix(name);
    return false;
}

// Named components: a dict with str keys; each value through `value_conv`
// (which sets an exception and returns false on failure).
template <class T, class Conv>
bool convert_named(PyObject *o, std::vector<std::pair<std::string, T>> *out, Conv &&value_conv);

template <class T, class Conv>
bool named_arg(const char *name, PyObject *o, std::vector<std::pair<std::string, T>> *out,
               Conv &&value_conv) {
    if (convert_named(o, out, std::forward<Conv>(value_conv))) return true;
    add_argument_prefix(name);
    return false;
}

// ---------------------------------------------------------------- results

PyObject *to_list(std::span<const double> values);
PyObject *to_timedelta(std::int64_t seconds);
inline PyObject *to_py(double v) {
    return PyFloat_FromDouble(v);
}
inline PyObject *to_py(const std::optional<double> &v) {
    return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}
inline PyObject *to_py(std::uint64_t v) {
    return PyLong_FromUnsignedLongLong(v);
}
inline PyObject *to_py(const std::vector<double> &v) {
    return to_list(v);
}
inline PyObject *to_py(const Values &v) {
    return to_list(v);
}

// ---------------------------------------------------------------- borrows

// Shared/exclusive use flag carried by every object of the module's classes.
// A conflict raises RuntimeError instead of waiting.
class BorrowFlag {
  public:
    bool acquire_shared() {
        std::int32_t s = state_.load(std::memory_order_relaxed);
        do {
            if (s < 0) return false;
        } while (!state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire));
        return true;
    }
    void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
    bool acquire_exclusive() {
        std::int32_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

  private:
    std::atomic<std::int32_t> state_{0};
};

// ---------------------------------------------------------------- classes

template <class T> struct Instance {
    PyObject_HEAD BorrowFlag borrow;
    T value;
};

// Class-object creation, shared by every class; created once per process.
class ClassBase {
  public:
    ClassBase(const char *name, unsigned flags, std::size_t basicsize, destructor dealloc,
              std::vector<PyType_Slot> slots);
    // The class object, created on first use under a once-only guard.
    PyTypeObject *type();
    // The bare class name ("ContinuousTimeSeries").
    const char *name() const { return bare_name_; }

  private:
    std::string qualified_;
    const char *bare_name_;
    std::vector<PyType_Slot> slots_;
    PyType_Spec spec_;
    std::atomic<PyTypeObject *> type_{nullptr};
    PyMutex mutex_{};
};

template <class T> void instance_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    reinterpret_cast<Instance<T> *>(self)->value.~T();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Shared use of an immutable module object for the length of a call: the
// core reads its value in place, which is indistinguishable from reading a
// private copy because nothing can change it meanwhile.
template <class T> class Shared {
  public:
    Shared() = default;
    Shared(const Shared &) = delete;
    Shared &operator=(const Shared &) = delete;
    ~Shared() {
        if (inst_) inst_->borrow.release_shared();
    }
    const T &operator*() const { return inst_->value; }
    const T *operator->() const { return &inst_->value; }

  private:
    template <class> friend class PyClass;
    Ref owner_;
    Instance<T> *inst_ = nullptr;
};

// A Python class whose instances hold a T.
template <class T> class PyClass : public ClassBase {
  public:
    PyClass(const char *name, unsigned flags, std::vector<PyType_Slot> slots)
        : ClassBase(name, flags, sizeof(Instance<T>), &instance_dealloc<T>, std::move(slots)) {}

    static Instance<T> *cast(PyObject *o) { return reinterpret_cast<Instance<T> *>(o); }

    // A new instance of `tp` (this class or a Python subclass) owning `value`.
    static PyObject *wrap(PyTypeObject *tp, T value) {
        PyObject *o = tp->tp_alloc(tp, 0);
        if (!o) return nullptr;
        auto *inst = cast(o);
        new (&inst->borrow) BorrowFlag();
        try {
            new (&inst->value) T(std::move(value));
        } catch (...) {
            // The value was never built: release the bare object by hand.
            tp->tp_free(o);
            Py_DECREF(tp);
            throw;
        }
        return o;
    }
    PyObject *wrap(T value) {
        PyTypeObject *tp = type();
        if (!tp) return nullptr;
        return wrap(tp, std::move(value));
    }

    // Instance test, then a private copy under shared use.
    bool extract(PyObject *o, T *out) {
        PyTypeObject *tp = type();
        if (!tp) return false;
        if (!PyObject_TypeCheck(o, tp)) return raise_cast_error(o, name());
        return read(o, [&](const T &v) { *out = v; });
    }

    // Instance test, then shared use of the instance until `out` goes away.
    bool share(PyObject *o, Shared<T> *out) {
        PyTypeObject *tp = type();
        if (!tp) return false;
        if (!PyObject_TypeCheck(o, tp)) return raise_cast_error(o, name());
        auto *inst = cast(o);
        if (!acquire_shared(inst)) return false;
        out->owner_ = Ref::borrow(o);
        out->inst_ = inst;
        return true;
    }

    // Runs `f(const T&)` while holding shared use of `o`.
    template <class F> static bool read(PyObject *o, F &&f) {
        auto *inst = cast(o);
        if (!acquire_shared(inst)) return false;
        struct Release {
            Instance<T> *i;
            ~Release() { i->borrow.release_shared(); }
        } release{inst};
        f(static_cast<const T &>(inst->value));
        return true;
    }

    // Runs `f(T&)` while holding exclusive use of `o`.
    template <class F> static bool write(PyObject *o, F &&f) {
        auto *inst = cast(o);
        if (!inst->borrow.acquire_exclusive()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        struct Release {
            Instance<T> *i;
            ~Release() { i->borrow.release_exclusive(); }
        } release{inst};
        f(inst->value);
        return true;
    }

  private:
    // Shared use, or the conflict error when a writer holds the object.
    static bool acquire_shared(Instance<T> *inst) {
        if (inst->borrow.acquire_shared()) return true;
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
};

template <class T> bool convert_arg(const char *name, PyClass<T> &cls, PyObject *o, T *out) {
    if (cls.extract(o, out)) return true;
    add_argument_prefix(name);
    return false;
}
template <class T>
bool convert_arg(const char *name, PyClass<T> &cls, PyObject *o, Shared<T> *out) {
    if (cls.share(o, out)) return true;
    add_argument_prefix(name);
    return false;
}

// Getter helper: `getter<T, &read_fn>` where read_fn(const T&) -> PyObject*.
template <class T, PyObject *(*Read)(const T &)> PyObject *getter(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        PyObject *result = nullptr;
        if (!PyClass<T>::read(self, [&](const T &v) { result = Read(v); })) return nullptr;
        return result;
    });
}

// Getter of one field through its to_py conversion.
template <class T, class F, F T::*Field> PyObject *field_getter(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        PyObject *result = nullptr;
        if (!PyClass<T>::read(self, [&](const T &v) { result = to_py(v.*Field); })) return nullptr;
        return result;
    });
}

// Setter of one field: converts like an argument named after the attribute
// (the name comes in as the closure) and stores under exclusive use.
template <class T, class F, F T::*Field>
int field_setter(PyObject *self, PyObject *value, void *closure) {
    return guarded_int([&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            return -1;
        }
        F converted;
        if (!convert_arg(static_cast<const char *>(closure), value, &converted)) return -1;
        if (!PyClass<T>::write(self, [&](T &v) { v.*Field = converted; })) return -1;
        return 0;
    });
}

// ---------------------------------------------------------------- functions

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

// ---------------------------------------------------------------- modules

bool add_class(PyObject *module, ClassBase &cls);
bool add_function(PyObject *module, PyMethodDef *def);
bool add_submodule(PyObject *module, PyObject *submodule);
// A plain module object with a short name, not entered in sys.modules.
PyObject *new_module(const char *name);

// ---------------------------------------------------------------- templates

template <class T, class Conv>
bool convert_named(PyObject *o, std::vector<std::pair<std::string, T>> *out, Conv &&value_conv) {
    if (!PyDict_Check(o)) return raise_cast_error(o, "dict");
    // A snapshot of the pairs: later changes to the dict cannot disturb the walk.
    Ref items(PyDict_Items(o));
    if (!items) return false;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    out->clear();
    out->reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items.get(), i);
        PyObject *key = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_Check(key)) return raise_cast_error(key, "str");
        std::string name;
        if (!convert(key, &name)) return false;
        T item;
        if (!value_conv(PyTuple_GET_ITEM(pair, 1), &item)) return false;
        out->emplace_back(std::move(name), std::move(item));
    }
    return true;
}

} // namespace basinkit::py
