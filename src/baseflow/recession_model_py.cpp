// The recession baseflow of basinkit_model._native.
#include "baseflow/recession.hpp"
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"

#include <optional>

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"direct",        "time_step",  "initial_q", "recession_constant",
                                  "ratio_to_peak", "threshold_q"};

PyObject *recession(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"recession()", params, 6};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentSeries direct;
        double initial_q, k;
        std::optional<double> ratio, threshold;
        if (!series_args("direct", a[0], a[1], &direct) ||
            !convert_arg("initial_q", a[2], &initial_q) ||
            !convert_arg("recession_constant", a[3], &k) ||
            !convert_arg("ratio_to_peak", a[4], &ratio) ||
            !convert_arg("threshold_q", a[5], &threshold))
            return nullptr;
        if (ratio.has_value() == threshold.has_value()) {
            PyErr_SetString(PyExc_ValueError,
                            "exactly one of ratio_to_peak and threshold_q must be given");
            return nullptr;
        }
        // Every value is written by the core: the block needs no zeroing.
        OwnedDoubles baseflow(direct.data.size());
        auto at = recession_into(direct.data.span(), static_cast<double>(direct.time_step),
                                 initial_q, k, ratio.has_value(), ratio ? *ratio : *threshold,
                                 baseflow.span(), signal_cancel());
        if (!ok(at)) return nullptr;
        Ref flow(to_owned(std::move(baseflow)));
        if (!flow) return nullptr;
        Ref crossing(*at < 0 ? Py_NewRef(Py_None) : PyLong_FromSsize_t(*at));
        if (!crossing) return nullptr;
        return PyTuple_Pack(2, flow.get(), crossing.get());
    });
}

} // namespace

PyMethodDef recession_def = function_def(
    "recession", recession,
    R"(recession(direct, time_step, initial_q, recession_constant, ratio_to_peak, threshold_q)
--

Recession baseflow beside the direct runoff `direct` (one value every
`time_step` seconds): `initial_q` receding by `recession_constant` per day,
and after the peak total flow, from the first instant the total is below the
threshold (`ratio_to_peak` times the peak, or `threshold_q`; exactly one is
given, the other None), the total receding at that rate.

Returns (baseflow, crossing): the baseflow packed in bytes (native float64)
and the instant of the crossing, or None.)");

} // namespace basinkit::py
