// Value conversion: Python arguments into plain values, plain results back
// into new Python objects. Each converter returns false with a Python
// exception set.
#pragma once

#include "boundary/errors.hpp"
#include "boundary/ref.hpp"
#include "utils/duration.hpp"
#include "utils/large_buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace basinkit::py {

bool convert(PyObject *o, double *out);
bool convert(PyObject *o, std::optional<double> *out); // None or omitted: absent
bool convert(PyObject *o, std::uint64_t *out);
bool convert(PyObject *o, std::int64_t *out);
bool convert(PyObject *o, std::int32_t *out);
bool convert_flag(PyObject *o, bool *out);
bool convert(PyObject *o, std::vector<double> *out);
bool convert(PyObject *o, Values *out);
bool convert(PyObject *o, std::string *out);

// Doubles read where the caller keeps them: its own 1-D C-contiguous,
// aligned float64 buffer (a NumPy array, array.array or memoryview of one),
// held for the call; anything else is copied. Only for kernels that read
// each value exactly once: while another thread writes the buffer they then
// see what a copy made by the same reads would hold, and a copy promises no
// more than that.
class LentDoubles {
  public:
    LentDoubles() = default;
    LentDoubles(const LentDoubles &) = delete;
    LentDoubles &operator=(const LentDoubles &) = delete;
    ~LentDoubles();

    std::span<const double> span() const { return span_; }
    std::size_t size() const { return span_.size(); }

  private:
    friend bool convert(PyObject *o, LentDoubles *out);
    Py_buffer view_{};
    bool held_ = false;
    Values copy_;
    std::span<const double> span_;
};
bool convert(PyObject *o, LentDoubles *out);

// Imports the datetime C API once; every module body calls it before any
// conversion can need it.
bool import_datetime();

// Type test only; the duration itself is taken later by the model body.
bool check_timedelta(PyObject *o);
// A non-negative duration; a negative timedelta is a ValueError.
bool to_duration(PyObject *td, Duration *out);
// Whole seconds saturated into a signed 32-bit count (microseconds dropped).
std::int32_t saturating_seconds(const Duration &d);

// Named components: a dict with str keys; each value through `value_conv`
// (which sets an exception and returns false on failure).
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

// Arguments: the matching converter, then the prefix naming the parameter.
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
template <class T, class Conv>
bool named_arg(const char *name, PyObject *o, std::vector<std::pair<std::string, T>> *out,
               Conv &&value_conv) {
    if (convert_named(o, out, std::forward<Conv>(value_conv))) return true;
    add_argument_prefix(name);
    return false;
}

// Results.
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

} // namespace basinkit::py
