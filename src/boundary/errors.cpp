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

// Raises `type` with a message built from UTF-8 pieces. Taken by length, so
// user text with a NUL in it reaches the message whole.
void set_error(PyObject *type, std::string_view message) {
    Ref text(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

// The qualified name of the object's type as a str, kept as Python has it
// (a NUL or a lone surrogate in a Python class's name stays as it is).
Ref type_qualname(PyObject *obj) {
    Ref q(PyType_GetQualName(Py_TYPE(obj)));
    if (q) return q;
    PyErr_Clear();
    return Ref(PyUnicode_FromString(Py_TYPE(obj)->tp_name));
}

} // namespace

void set_type_error(const std::string &message) {
    set_error(PyExc_TypeError, message);
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
    std::string line = "basinkit: internal fault: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
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
        set_error(PyExc_ValueError, e.message);
        return nullptr;
    case ErrorKind::Runtime:
        set_error(PyExc_RuntimeError, e.message);
        return nullptr;
    case ErrorKind::Memory:
        set_error(PyExc_MemoryError, e.message);
        return nullptr;
    case ErrorKind::Interrupted:
        // The signal handler's exception is already set by the hook.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    case ErrorKind::Panic:
        break;
    }
    return raise_panic(e.message);
}

bool raise_cast_error(PyObject *obj, std::string_view target) {
    Ref expected(
        PyUnicode_DecodeUTF8(target.data(), static_cast<Py_ssize_t>(target.size()), "replace"));
    if (!expected) return false;
    Ref message;
    if (obj == Py_None) {
        message = Ref(PyUnicode_FromFormat("'None' is not an instance of '%U'", expected.get()));
    } else {
        Ref actual = type_qualname(obj);
        if (!actual) return false;
        message = Ref(PyUnicode_FromFormat("'%U' object is not an instance of '%U'", actual.get(),
                                           expected.get()));
    }
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
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
    // One interned name for every call: the free-threaded 3.13 interpreter was
    // seen to keep, now and then, the fresh "warn" string of a lookup by C string.
    // Interning gives every thread the same object, so a race only stores it twice.
    static std::atomic<PyObject *> interned{nullptr};
    PyObject *name = interned.load(std::memory_order_acquire);
    if (!name) {
        name = PyUnicode_InternFromString("warn");
        if (!name) return false;
        interned.store(name, std::memory_order_release);
    }
    Ref fn(PyObject_GetAttr(module.get(), name));
    if (!fn) return false;
    Ref text(PyUnicode_FromString(message));
    if (!text) return false;
    Ref r(PyObject_CallOneArg(fn.get(), text.get()));
    return static_cast<bool>(r);
}

} // namespace basinkit::py
