#include "boundary/convert.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace basinkit::py {

bool convert(PyObject *o, double *out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool convert(PyObject *o, std::optional<double> *out) {
    if (!o || o == Py_None) {
        out->reset();
        return true;
    }
    double v;
    if (!convert(o, &v)) return false;
    *out = v;
    return true;
}

bool convert(PyObject *o, std::uint64_t *out) {
    Ref i(PyNumber_Index(o));
    if (!i) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool convert(PyObject *o, std::int64_t *out) {
    Ref i(PyNumber_Index(o));
    if (!i) return false;
    long long v = PyLong_AsLongLong(i.get());
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool convert(PyObject *o, std::int32_t *out) {
    std::int64_t v;
    if (!convert(o, &v)) return false;
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    *out = static_cast<std::int32_t>(v);
    return true;
}

bool convert_flag(PyObject *o, bool *out) {
    if (o == Py_True || o == Py_False) {
        *out = (o == Py_True);
        return true;
    }
    // NumPy's boolean scalar, recognised by name so NumPy stays optional.
    const char *tn = Py_TYPE(o)->tp_name;
    if (std::strcmp(tn, "numpy.bool") == 0 || std::strcmp(tn, "numpy.bool_") == 0) {
        int t = PyObject_IsTrue(o);
        if (t < 0) return false;
        *out = t != 0;
        return true;
    }
    return raise_cast_error(o, "bool");
}

namespace {

// Types whose iteration yields exactly the doubles of their buffer.
bool trusted_buffer_type(PyObject *o) {
    const char *tn = Py_TYPE(o)->tp_name;
    return std::strcmp(tn, "numpy.ndarray") == 0 || std::strcmp(tn, "array.array") == 0 ||
           PyMemoryView_Check(o);
}

// A buffer of native doubles in one dimension.
bool holds_doubles(const Py_buffer &view) {
    const char *f = view.format ? view.format : "B";
    return view.ndim == 1 && view.itemsize == sizeof(double) &&
           (std::strcmp(f, "d") == 0 || std::strcmp(f, "@d") == 0 || std::strcmp(f, "=d") == 0);
}

bool aligned_doubles(const Py_buffer &view) {
    return reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
}

// Copies a 1-D C-contiguous buffer of native doubles; false (no error) when
// the object has no such buffer.
template <class Vec> bool copy_double_buffer(PyObject *o, Vec *out) {
    if (!trusted_buffer_type(o) || !PyObject_CheckBuffer(o)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        return false;
    }
    const bool is_double = holds_doubles(view);
    if (is_double) {
        const auto n = static_cast<std::size_t>(view.shape[0]);
        try {
            if (aligned_doubles(view)) {
                const auto *p = static_cast<const double *>(view.buf);
                out->assign(p, p + n);
            } else { // read as bytes: a misaligned double is no object to load
                out->resize(n);
                std::memcpy(out->data(), view.buf, n * sizeof(double));
            }
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
    }
    PyBuffer_Release(&view);
    return is_double;
}

template <class Vec> bool append_item(PyObject *item, Vec *out) {
    double v;
    if (!convert(item, &v)) return false;
    out->push_back(v);
    return true;
}

// A list is read as one state it actually had, although another thread (or
// an element's __float__) may resize or rewrite it meanwhile: under the list's
// critical section plain floats are copied and other items referenced, and
// only that. Allocation, which may throw, happens before it; conversion of
// the other items, which runs Python code, after it.
template <class Vec> bool copy_list(PyObject *o, Vec *out) {
    std::vector<Ref> held; // null where a float was read
    bool mixed = false;    // a non-float was seen: hold references this time
    Py_ssize_t n = 0;
    for (;;) {
        const Py_ssize_t room = PyList_Size(o);
        out->clear();
        out->reserve(static_cast<std::size_t>(room)); // so that push_back below cannot throw
        if (mixed) {
            held.clear();
            held.resize(static_cast<std::size_t>(room));
        }
        bool grew = false;
        bool found_other = false;
        Py_BEGIN_CRITICAL_SECTION(o);
        n = PyList_GET_SIZE(o);
        grew = n > room;
        for (Py_ssize_t i = 0; !grew && i < n; ++i) {
            PyObject *item = PyList_GET_ITEM(o, i);
            if (PyFloat_CheckExact(item)) {
                out->push_back(PyFloat_AS_DOUBLE(item));
            } else if (mixed) {
                out->push_back(0.0); // converted below
                held[static_cast<std::size_t>(i)] = Ref::new_ref(item);
            } else {
                found_other = true;
                break;
            }
        }
        Py_END_CRITICAL_SECTION();
        if (!grew && !found_other) break;
        mixed = mixed || found_other;
    }
    for (std::size_t i = 0; mixed && i < static_cast<std::size_t>(n); ++i) {
        if (!held[i]) continue;
        if (!convert(held[i].get(), &(*out)[i])) return false;
        held[i] = Ref();
    }
    return true;
}

// Both value vectors: small tables and series-sized buffers.
template <class Vec> bool convert_values(PyObject *o, Vec *out) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) return raise_cast_error(o, "Sequence");
    out->clear();
    if (PyList_CheckExact(o)) return copy_list(o, out);
    if (PyTuple_CheckExact(o)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        out->reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!append_item(PyTuple_GET_ITEM(o, i), out)) return false;
        return true;
    }
    if (copy_double_buffer(o, out)) return true;
    Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) PyErr_Clear();
    // A lying __len__ must not force a huge allocation.
    else
        out->reserve(static_cast<std::size_t>(hint < (1 << 20) ? hint : (1 << 20)));
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    while (PyObject *raw = PyIter_Next(it.get())) {
        Ref item(raw);
        if (!append_item(item.get(), out)) return false;
    }
    return !PyErr_Occurred();
}

} // namespace

bool convert(PyObject *o, std::vector<double> *out) {
    return convert_values(o, out);
}

bool convert(PyObject *o, Values *out) {
    return convert_values(o, out);
}

LentDoubles::~LentDoubles() {
    if (held_) PyBuffer_Release(&view_);
}

bool convert(PyObject *o, LentDoubles *out) {
    if (trusted_buffer_type(o) && PyObject_CheckBuffer(o)) {
        if (PyObject_GetBuffer(o, &out->view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
        } else if (holds_doubles(out->view_) && aligned_doubles(out->view_)) {
            out->held_ = true;
            out->span_ = {static_cast<const double *>(out->view_.buf),
                          static_cast<std::size_t>(out->view_.shape[0])};
            return true;
        } else {
            PyBuffer_Release(&out->view_);
        }
    }
    if (!convert_values(o, &out->copy_)) return false;
    out->span_ = out->copy_;
    return true;
}

bool convert(PyObject *o, std::string *out) {
    if (!PyUnicode_Check(o)) return raise_cast_error(o, "str");
    Py_ssize_t n = 0;
    const char *s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out->assign(s, static_cast<std::size_t>(n));
    return true;
}

// Durations.

namespace {

PyMutex datetime_mutex{};

// The capsule is imported by the module body, before any class exists, so a
// conversion never imports it (nor races another thread doing so).
bool datetime_ready() {
    if (PyDateTimeAPI) return true;
    PyErr_SetString(PyExc_ImportError, "the datetime C API was not imported");
    return false;
}

} // namespace

bool import_datetime() {
    PyMutex_Lock(&datetime_mutex);
    if (!PyDateTimeAPI) PyDateTime_IMPORT;
    const bool ready = PyDateTimeAPI != nullptr;
    PyMutex_Unlock(&datetime_mutex);
    return ready;
}

bool check_timedelta(PyObject *o) {
    if (!datetime_ready()) return false;
    if (PyDelta_Check(o)) return true;
    return raise_cast_error(o, "timedelta");
}

bool to_duration(PyObject *td, Duration *out) {
    const long long days = PyDateTime_DELTA_GET_DAYS(td);
    if (days < 0) {
        PyErr_SetString(PyExc_ValueError, "Cannot convert a negative timedelta to a duration");
        return false;
    }
    out->secs = static_cast<std::uint64_t>(days) * 86400u +
                static_cast<std::uint64_t>(PyDateTime_DELTA_GET_SECONDS(td));
    out->nanos = static_cast<std::uint32_t>(PyDateTime_DELTA_GET_MICROSECONDS(td)) * 1000u;
    return true;
}

std::int32_t saturating_seconds(const Duration &d) {
    const double s = d.as_secs_f64();
    if (s >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(s);
}

// Results.

PyObject *to_list(std::span<const double> values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject *f = PyFloat_FromDouble(values[i]);
        if (!f) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

PyObject *to_timedelta(std::int64_t seconds) {
    if (!datetime_ready()) return nullptr;
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        days -= 1;
    }
    return PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(rest), 0);
}

} // namespace basinkit::py
