// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace basinkit::py {

// An owned (strong) reference; releases it when it goes out of scope.
class Ref {
  public:
    Ref() = default;
    // Takes over a reference the caller owns (a new reference from the C API).
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

    // A new strong reference to `o`, which the caller only borrows.
    static Ref new_ref(PyObject *o) { return Ref(Py_XNewRef(o)); }
    PyObject *get() const { return p_; }
    PyObject *release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    PyObject *p_ = nullptr;
};

} // namespace basinkit::py
