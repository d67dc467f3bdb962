#include "boundary/errors.hpp"

#include <atomic>
#include <cstdio>

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char panic_exception[] = R"(Raised when an internal invariant of basinkit is broken.

Derives from BaseException so that `except Exception` does not swallow it.)";

} // namespace doc

namespace {

std::atomic<PyObject *> panic_type{nullptr};
PyMutex panic_mutex{};

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

void set_type_error(const std::string &message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

PyObject *panic_exception_type() {
    PyObject *t = panic_type.load(std::memory_order_acquire);
    if (t) return t;
    PyMutex_Lock(&panic_mutex);
    t = panic_type.load(std::memory_order_relaxed);
    if (!t) {
        t = PyErr_NewExceptionWithDoc("basinkit.PanicException", doc::panic_exception,
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

} // namespace basinkit::py
