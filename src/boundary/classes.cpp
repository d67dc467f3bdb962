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
    spec_.flags = Py_TPFLAGS_DEFAULT | flags;
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

} // namespace basinkit::py
