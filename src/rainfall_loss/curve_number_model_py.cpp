// The curve-number loss of basinkit_model._native.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "rainfall_loss/curve_number.hpp"
#include "rainfall_loss/loss_split_model_py.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"rainfall", "cn", "initial_abstraction_ratio", "impervious_pct",
                                  "depth_per_inch"};

PyObject *curve_number(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"curve_number()", params, 5};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentDoubles rainfall;
        double cn, ratio, impervious, per_inch;
        if (!convert_arg("rainfall", a[0], &rainfall) || !convert_arg("cn", a[1], &cn) ||
            !convert_arg("initial_abstraction_ratio", a[2], &ratio) ||
            !convert_arg("impervious_pct", a[3], &impervious) ||
            !convert_arg("depth_per_inch", a[4], &per_inch))
            return nullptr;
        return packed_split(rainfall.size(), [&](LossSpans out) {
            return curve_number_into(rainfall.span(), cn, ratio, impervious, per_inch, out,
                                     signal_cancel());
        });
    });
}

} // namespace

PyMethodDef curve_number_def = function_def(
    "curve_number", curve_number,
    R"(curve_number(rainfall, cn, initial_abstraction_ratio, impervious_pct, depth_per_inch)
--

NRCS curve-number loss of `rainfall` (depth per step, in the unit of which
`depth_per_inch` make one inch).

Returns (excess, loss, cumulative_rain), each a bytearray of native float64,
one value per step; the cumulative rain is at each step's end.)");

} // namespace basinkit::py
