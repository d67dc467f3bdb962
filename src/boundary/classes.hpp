// The module's classes: heap types whose instances hold one plain value
// behind a borrow flag, with instance tests, copies, shared use and the
// getters and setters of their attributes.
#pragma once

#include "boundary/borrow.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/ref.hpp"

#include <atomic>
#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace basinkit::py {

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

// The buffer protocol for `n` doubles at `data` owned by `owner`: a flat,
// contiguous view with format "d" that holds `owner` until it is released
// with release_doubles.
int export_doubles(PyObject *owner, Py_buffer *view, int flags, const double *data, std::size_t n,
                   bool readonly);
void release_doubles(PyObject *owner, Py_buffer *view);

// A Python class whose instances hold a T.
// The slots of a value class: its docstring, constructor and properties,
// then any others.
template <class New>
std::vector<PyType_Slot> value_slots(const char *doc, New *tp_new, PyGetSetDef *getset,
                                     std::initializer_list<PyType_Slot> more = {}) {
    std::vector<PyType_Slot> slots{{Py_tp_doc, const_cast<char *>(doc)},
                                   {Py_tp_new, reinterpret_cast<void *>(tp_new)},
                                   {Py_tp_getset, getset}};
    slots.insert(slots.end(), more);
    return slots;
}

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
        out->owner_ = Ref::new_ref(o);
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

// Class arguments: a private copy, or shared use for the length of the call.
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

} // namespace basinkit::py
