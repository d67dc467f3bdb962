#include "utils/time_series_py.hpp"
#include "areas_py.hpp"
#include "boundary/binding.hpp"
#include "boundary/classes.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/ref.hpp"
#include "boundary/registration.hpp"

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char continuous_total_duration[] = R"(total_duration($self)
--

Total duration from first to last data point (seconds).)";

constexpr char incremental_total_duration[] = R"(total_duration($self)
--

Total duration spanning all time step intervals (seconds).)";

constexpr char disaggregate[] = R"(disaggregate($self, target_step)
--

Disaggregates to a finer `target_step` (seconds) by uniformly
distributing each bucket's value. Total depth is preserved.)";

constexpr char continuous[] = R"(ContinuousTimeSeries(data, time_step, kind)
--

A uniformly-spaced time series where each value represents a quantity at a
discrete point in time (e.g. discharge, elevation, storage).

Total duration spans first to last point: `time_step * (len(data) - 1)`.
Supports linear interpolation between points.)";

constexpr char incremental[] = R"(IncrementalTimeSeries(data, time_step, kind)
--

A uniformly-spaced time series where each value represents a quantity
accumulated over one time step interval (e.g. rainfall depth, volume added).

Total duration spans all intervals: `time_step * len(data)`.
Supports disaggregation to a finer time step.)";

} // namespace doc

namespace {

constexpr const char *series_params[] = {"data", "time_step", "kind"};

// Shared constructor of both classes; `callable` names the class in messages.
PyObject *series_new(PyTypeObject *type, PyObject *args, PyObject *kwargs, const char *callable) {
    const Signature sig{callable, series_params, 3};
    return bound(sig, args, kwargs, [&](PyObject **a) -> PyObject * {
        TimeSeries s;
        if (!convert_arg("data", a[0], &s.data)) return nullptr;
        if (!timedelta_arg("time_step", a[1])) return nullptr;
        if (!convert_arg("kind", a[2], &s.kind)) return nullptr;
        if (!ok(validate_kind(s.kind))) return nullptr;
        Duration d;
        if (!to_duration(a[1], &d)) return nullptr;
        s.time_step = saturating_seconds(d);
        if (s.time_step < 1) {
            PyErr_SetString(PyExc_ValueError, "time_step must be > 0");
            return nullptr;
        }
        return PyClass<TimeSeries>::wrap(type, std::move(s));
    });
}

PyObject *continuous_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return series_new(type, args, kwargs, "ContinuousTimeSeries.__new__()");
}
PyObject *incremental_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return series_new(type, args, kwargs, "IncrementalTimeSeries.__new__()");
}

PyObject *read_data(const TimeSeries &s) {
    return to_list(s.data);
}
PyObject *read_time_step(const TimeSeries &s) {
    return to_timedelta(s.time_step);
}
PyObject *read_kind(const TimeSeries &s) {
    return PyUnicode_FromStringAndSize(s.kind.data(), static_cast<Py_ssize_t>(s.kind.size()));
}

PyGetSetDef series_getset[] = {
    {"data", getter<TimeSeries, read_data>, nullptr, "", nullptr},
    {"time_step", getter<TimeSeries, read_time_step>, nullptr, "", nullptr},
    {"kind", getter<TimeSeries, read_kind>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <std::int64_t (*Span)(const TimeSeries &)>
PyObject *total_duration(PyObject *self, PyObject *) {
    return guarded([&]() -> PyObject * {
        std::int64_t seconds = 0;
        if (!PyClass<TimeSeries>::read(self, [&](const TimeSeries &s) { seconds = Span(s); }))
            return nullptr;
        return PyLong_FromLongLong(seconds);
    });
}

// Read-only buffer over the series' own values (format "d", one dimension):
// NumPy and memoryview see the data without a list being built. Series never
// change after construction, so the view stays valid while it holds `self`.
int series_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    view->obj = nullptr;
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "time series values are read-only");
        return -1;
    }
    const Values &data = PyClass<TimeSeries>::cast(self)->value.data;
    return export_doubles(self, view, flags, data.data(), data.size(), true);
}

constexpr const char *disaggregate_params[] = {"target_step"};

PyObject *disaggregate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"IncrementalTimeSeries.disaggregate()", disaggregate_params, 1};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        std::int32_t target;
        if (!convert_arg("target_step", a[0], &target)) return nullptr;
        Result<TimeSeries> r = std::unexpected(Error{});
        if (!PyClass<TimeSeries>::read(self, [&](const TimeSeries &s) {
                r = series_disaggregate(s, target, signal_cancel());
            }))
            return nullptr;
        if (!ok(r)) return nullptr;
        return incremental_series.wrap(std::move(*r));
    });
}

PyMethodDef continuous_methods[] = {
    {"total_duration", total_duration<continuous_total_duration>, METH_NOARGS,
     doc::continuous_total_duration},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef incremental_methods[] = {
    {"total_duration", total_duration<incremental_total_duration>, METH_NOARGS,
     doc::incremental_total_duration},
    method_def("disaggregate", disaggregate, doc::disaggregate),
    {nullptr, nullptr, 0, nullptr},
};

// The two series classes differ only in docstring, constructor and methods.
std::vector<PyType_Slot> series_slots(const char *doc, newfunc tp_new, PyMethodDef *methods) {
    return value_slots(doc, tp_new, series_getset,
                       {{Py_tp_methods, methods},
                        {Py_bf_getbuffer, reinterpret_cast<void *>(series_getbuffer)},
                        {Py_bf_releasebuffer, reinterpret_cast<void *>(release_doubles)}});
}

} // namespace

PyClass<TimeSeries> continuous_series("ContinuousTimeSeries", Py_TPFLAGS_BASETYPE,
                                      series_slots(doc::continuous, continuous_new,
                                                   continuous_methods));

PyClass<TimeSeries> incremental_series("IncrementalTimeSeries", Py_TPFLAGS_BASETYPE,
                                       series_slots(doc::incremental, incremental_new,
                                                    incremental_methods));

PyObject *new_series_dict(std::vector<std::pair<std::string, Values>> named, std::int32_t time_step,
                          const char *kind) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (auto &[name, values] : named) {
        Ref key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key) return nullptr;
        Ref series(continuous_series.wrap(TimeSeries{std::move(values), time_step, kind}));
        if (!series) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), series.get()) < 0) return nullptr;
    }
    return dict.release();
}

int init_utils(PyObject *module) {
    if (!add_class(module, continuous_series)) return -1;
    if (!add_class(module, incremental_series)) return -1;
    return 0;
}

} // namespace basinkit::py
