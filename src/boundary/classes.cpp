#include "boundary/classes.hpp"

namespace basinkit::py {

ClassBase::ClassBase(const char *name, unsigned flags, std::size_t basicsize, destructor dealloc,
                     std::vector<PyType_Slot> slots)
    : qualified_(std::string("builtins.") + name), bare_name_(name), slots_(std::move(slots)) {
    slots_.push_back({Py_tp_dealloc, reinterpret_cast<void *>(dealloc)});
    slots_.push_back({0, nullptr});
    spec_.name = qualified_.c_str();
    spec_.basicsize = static_cast<int>(basicsize);
    spec_.itemsize = 0;
    // Immutable: the class objects are shared by every import in the process,
    // and a patched slot (`__new__`, `__release_buffer__`) would break the
    // invariants the C++ side relies on. Python subclasses stay mutable.
    spec_.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | flags;
    spec_.slots = slots_.data();
}

PyTypeObject *ClassBase::type() {
    PyTypeObject *t = type_.load(std::memory_order_acquire);
    if (t) return t;
    PyMutex_Lock(&mutex_);
    t = type_.load(std::memory_order_relaxed);
    if (!t) {
        t = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec_));
        // Kept for the life of the process: re-imports reuse the same class.
        if (t) type_.store(t, std::memory_order_release);
    }
    PyMutex_Unlock(&mutex_);
    return t;
}

int export_doubles(PyObject *owner, Py_buffer *view, int flags, const double *data, std::size_t n,
                   bool readonly) {
    view->obj = nullptr;
    // shape and strides live with the view until it is released.
    auto *dims = static_cast<Py_ssize_t *>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (!dims) {
        PyErr_NoMemory();
        return -1;
    }
    static double empty_storage = 0.0;
    dims[0] = static_cast<Py_ssize_t>(n);
    dims[1] = sizeof(double);
    view->buf = data ? const_cast<double *>(data) : &empty_storage;
    view->obj = Py_NewRef(owner);
    view->len = dims[0] * static_cast<Py_ssize_t>(sizeof(double));
    view->readonly = readonly ? 1 : 0;
    view->itemsize = sizeof(double);
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>("d") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? dims : nullptr;
    view->strides = ((flags & PyBUF_STRIDES) == PyBUF_STRIDES) ? dims + 1 : nullptr;
    view->suboffsets = nullptr;
    view->internal = dims;
    return 0;
}

void release_doubles(PyObject *, Py_buffer *view) {
    PyMem_Free(view->internal);
}

} // namespace basinkit::py
