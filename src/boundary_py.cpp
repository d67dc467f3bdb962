#include "boundary_py.hpp"

#include <datetime.h>

#include <cstdio>
#include <cstring>
#include <limits>

namespace basinkit::py {

// ---------------------------------------------------------------- errors

namespace {

std::atomic<PyObject *> panic_type{nullptr};
PyMutex panic_mutex{};

// Writes a message built from UTF-8 pieces as a TypeError.
void set_type_error(const std::string &message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::string type_qualname(PyObject *obj) {
    Ref q(PyType_GetQualName(Py_TYPE(obj)));
    if (q) {
        Py_ssize_t n = 0;
        if (const char *s = PyUnicode_AsUTF8AndSize(q.get(), &n)) return std::string(s, n);
    }
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
}

} // namespace

PyObject *panic_exception_type() {
    PyObject *t = panic_type.load(std::memory_order_acquire);
    if (t) return t;
    PyMutex_Lock(&panic_mutex);
    t = panic_type.load(std::memory_order_relaxed);
    if (!t) {
        t = PyErr_NewExceptionWithDoc(
            "basinkit.PanicException",
            "Raised when an internal invariant of basinkit is broken.\n\n"
            "Derives from BaseException so that `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
        if (t) panic_type.store(t, std::memory_order_release);
    }
    PyMutex_Unlock(&panic_mutex);
    return t;
}

PyObject *raise_panic(std::string_view message) {
    std::string text = message.empty() ? std::string("internal fault") : std::string(message);
    std::fprintf(stderr, "basinkit: internal fault: %s\n", text.c_str());
    std::fflush(stderr);
    PyObject *type = panic_exception_type();
    if (!type) return nullptr;
    Ref msg(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!msg) return nullptr;
    PyErr_SetObject(type, msg.get());
    return nullptr;
}

PyObject *raise(const Error &e) {
    switch (e.kind) {
    case ErrorKind::Value:
        PyErr_SetString(PyExc_ValueError, e.message.c_str());
        return nullptr;
    case ErrorKind::Type:
        PyErr_SetString(PyExc_TypeError, e.message.c_str());
        return nullptr;
    case ErrorKind::Runtime:
        PyErr_SetString(PyExc_RuntimeError, e.message.c_str());
        return nullptr;
    case ErrorKind::Memory:
        PyErr_SetString(PyExc_MemoryError, e.message.c_str());
        return nullptr;
    case ErrorKind::Panic:
        break;
    }
    return raise_panic(e.message);
}

bool raise_cast_error(PyObject *obj, std::string_view target) {
    std::string m;
    if (obj == Py_None) {
        m.append("'None' is not an instance of '");
    } else {
        m.append("'").append(type_qualname(obj)).append("' object is not an instance of '");
    }
    m.append(target).append("'");
    set_type_error(m);
    return false;
}

void add_argument_prefix(std::string_view name) {
    PyObject *raised = PyErr_GetRaisedException();
    if (!raised || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject *>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref exc(raised);
    Ref text(PyObject_Str(exc.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%.*s': %U", static_cast<int>(name.size()),
                                     name.data(), text.get()));
    if (!message) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (PyObject *cause = PyException_GetCause(exc.get()))
        PyException_SetCause(replacement.get(), cause); // steals `cause`
    PyErr_SetRaisedException(replacement.release());
}

bool warn(const char *message) {
    Ref module(PyImport_ImportModule("warnings"));
    if (!module) return false;
    Ref fn(PyObject_GetAttrString(module.get(), "warn"));
    if (!fn) return false;
    Ref text(PyUnicode_FromString(message));
    if (!text) return false;
    Ref r(PyObject_CallOneArg(fn.get(), text.get()));
    return static_cast<bool>(r);
}

// ---------------------------------------------------------------- binding

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

// ---------------------------------------------------------------- conversions

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

// Copies a 1-D C-contiguous buffer of native doubles; false (no error) when
// the object has no such buffer.
template <class Vec> bool copy_double_buffer(PyObject *o, Vec *out) {
    if (!trusted_buffer_type(o) || !PyObject_CheckBuffer(o)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        return false;
    }
    const char *f = view.format ? view.format : "B";
    bool is_double =
        view.ndim == 1 && view.itemsize == sizeof(double) &&
        (std::strcmp(f, "d") == 0 || std::strcmp(f, "@d") == 0 || std::strcmp(f, "=d") == 0);
    if (is_double) {
        const auto *p = static_cast<const double *>(view.buf);
        try {
            out->assign(p, p + view.shape[0]);
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

// Both value vectors: small tables and series-sized buffers.
template <class Vec> bool convert_values(PyObject *o, Vec *out) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) return raise_cast_error(o, "Sequence");
    out->clear();
    if (PyList_CheckExact(o)) {
        // Re-read the size each time: an element's __float__ may change the list.
#ifdef Py_GIL_DISABLED
        for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
            Ref item(PyList_GetItemRef(o, i));
            if (!item) return false;
            if (!append_item(item.get(), out)) return false;
        }
#else
        out->reserve(static_cast<std::size_t>(PyList_GET_SIZE(o)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            PyObject *item = PyList_GET_ITEM(o, i);
            if (PyFloat_CheckExact(item)) {
                out->push_back(PyFloat_AS_DOUBLE(item));
                continue;
            }
            Ref hold = Ref::borrow(item);
            if (!append_item(item, out)) return false;
        }
#endif
        return true;
    }
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

bool convert(PyObject *o, std::string *out) {
    if (!PyUnicode_Check(o)) return raise_cast_error(o, "str");
    Py_ssize_t n = 0;
    const char *s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out->assign(s, static_cast<std::size_t>(n));
    return true;
}

// ---------------------------------------------------------------- durations

namespace {

bool datetime_ready() {
    if (PyDateTimeAPI) return true;
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

} // namespace

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

// ---------------------------------------------------------------- results

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

// ---------------------------------------------------------------- classes

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

// ---------------------------------------------------------------- modules

namespace {

// Appends `name` to the module's __all__ (creating it) and sets it again.
bool append_to_all(PyObject *module, PyObject *name) {
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return false;
    Ref all(found);
    if (!all) {
        all = Ref(PyList_New(0));
        if (!all) return false;
    } else if (!PyList_Check(all.get())) {
        return raise_cast_error(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) return false;
    return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

bool add_member(PyObject *module, PyObject *name, PyObject *value) {
    if (!append_to_all(module, name)) return false;
    return PyObject_SetAttr(module, name, value) == 0;
}

} // namespace

bool add_class(PyObject *module, ClassBase &cls) {
    PyTypeObject *t = cls.type();
    if (!t) return false;
    Ref name(PyUnicode_FromString(cls.name()));
    if (!name) return false;
    return add_member(module, name.get(), reinterpret_cast<PyObject *>(t));
}

bool add_function(PyObject *module, PyMethodDef *def) {
    Ref modname(PyModule_GetNameObject(module));
    if (!modname) return false;
    Ref fn(PyCMethod_New(def, nullptr, modname.get(), nullptr));
    if (!fn) return false;
    Ref name(PyUnicode_FromString(def->ml_name));
    if (!name) return false;
    return add_member(module, name.get(), fn.get());
}

bool add_submodule(PyObject *module, PyObject *submodule) {
    Ref full(PyModule_GetNameObject(submodule));
    if (!full) return false;
    const char *s = PyUnicode_AsUTF8(full.get());
    if (!s) return false;
    const char *dot = std::strrchr(s, '.');
    Ref name(PyUnicode_FromString(dot ? dot + 1 : s));
    if (!name) return false;
    return add_member(module, name.get(), submodule);
}

PyObject *new_module(const char *name) {
    Ref n(PyUnicode_FromString(name));
    if (!n) return nullptr;
    return PyModule_NewObject(n.get());
}

} // namespace basinkit::py
