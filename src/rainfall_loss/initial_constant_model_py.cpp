// The initial-and-constant loss of basinkit_model._native.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "rainfall_loss/initial_constant.hpp"
#include "rainfall_loss/loss_split_model_py.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"rainfall", "time_step", "initial_loss", "rate_per_hr",
                                  "impervious_pct"};

PyObject *initial_constant(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"initial_constant()", params, 5};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentSeries rainfall;
        double initial_loss, rate, impervious;
        if (!series_args("rainfall", a[0], a[1], &rainfall) ||
            !convert_arg("initial_loss", a[2], &initial_loss) ||
            !convert_arg("rate_per_hr", a[3], &rate) ||
            !convert_arg("impervious_pct", a[4], &impervious))
            return nullptr;
        return packed_split(rainfall.data.size(), [&](LossSpans out) {
            return initial_constant_into(rainfall.data.span(), rainfall.time_step, initial_loss,
                                         rate, impervious, out, signal_cancel());
        });
    });
}

} // namespace

PyMethodDef initial_constant_def =
    function_def("initial_constant", initial_constant,
                 R"(initial_constant(rainfall, time_step, initial_loss, rate_per_hr, impervious_pct)
--

Initial-and-constant loss of `rainfall` (depth per step of `time_step`
seconds); the rate is in the same depth per hour.

Returns (excess, loss, initial_loss_left), each a bytearray of native
float64, one value per step; what is left of the initial loss is at each
step's end.)");

} // namespace basinkit::py
