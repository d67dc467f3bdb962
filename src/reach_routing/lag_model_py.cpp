// The lag reach of basinkit_model._native.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "reach_routing/lag.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"inflow", "time_step", "lag"};

PyObject *lag(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"lag()", params, 3};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentSeries inflow;
        if (!series_args("inflow", a[0], a[1], &inflow) || !timedelta_arg("lag", a[2]))
            return nullptr;
        Duration by;
        if (!to_duration(a[2], &by)) return nullptr;
        // Every value is written by the core: the block needs no zeroing.
        OwnedDoubles out(inflow.data.size());
        if (!ok(lag_into(inflow.data.span(), static_cast<double>(inflow.time_step),
                         by.as_secs_f64(), out.span(), signal_cancel())))
            return nullptr;
        return to_owned(std::move(out));
    });
}

} // namespace

PyMethodDef lag_def = function_def("lag", lag, R"(lag(inflow, time_step, lag)
--

`inflow` (one value every `time_step` seconds) delayed by the timedelta
`lag`, a fraction of a step taken as linear interpolation between the two
neighbouring whole-step shifts; the inflow is steady at its first value
before the start. Returns the outflow packed in bytes (native float64).)");

} // namespace basinkit::py
