// The Green-Ampt loss of basinkit_model._native.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "rainfall_loss/green_ampt.hpp"
#include "rainfall_loss/loss_split_model_py.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"rainfall",          "time_step", "initial_content",
                                  "saturated_content", "suction",   "conductivity",
                                  "impervious_pct"};

PyObject *green_ampt(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"green_ampt()", params, 7};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentSeries rainfall;
        double initial, saturated, suction, conductivity, impervious;
        if (!series_args("rainfall", a[0], a[1], &rainfall) ||
            !convert_arg("initial_content", a[2], &initial) ||
            !convert_arg("saturated_content", a[3], &saturated) ||
            !convert_arg("suction", a[4], &suction) ||
            !convert_arg("conductivity", a[5], &conductivity) ||
            !convert_arg("impervious_pct", a[6], &impervious))
            return nullptr;
        return packed_split(rainfall.data.size(), [&](LossSpans out) {
            return green_ampt_into(rainfall.data.span(), rainfall.time_step, initial, saturated,
                                   suction, conductivity, impervious, out, signal_cancel());
        });
    });
}

} // namespace

PyMethodDef green_ampt_def = function_def(
    "green_ampt", green_ampt,
    R"(green_ampt(rainfall, time_step, initial_content, saturated_content, suction, conductivity, impervious_pct)
--

Green-Ampt loss of `rainfall` (depth per step of `time_step` seconds) with
ponding found within each step; suction in the same depth unit, conductivity
in that depth per hour.

Returns (excess, loss, infiltrated), each a bytearray of native float64,
one value per step; the pervious area's cumulative infiltration is at each
step's end.)");

} // namespace basinkit::py
