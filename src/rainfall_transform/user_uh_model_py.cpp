// The user unit-hydrograph transform of basinkit_model._native.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "rainfall_transform/user_uh.hpp"

#include <vector>

namespace basinkit::py {

PyObject *to_convolved(std::span<const double> excess, const Result<std::vector<double>> &uh) {
    if (!ok(uh)) return nullptr;
    OwnedDoubles q(convolved_size(excess.size(), uh->size()));
    if (!ok(convolve_unit_hydrograph_into(excess, *uh, q.span(), signal_cancel()))) return nullptr;
    return to_owned(std::move(q));
}

namespace {

constexpr const char *params[] = {"excess", "time_step", "ordinates", "unit_volume", "normalise"};

PyObject *user_uh(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"user_uh()", params, 5};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentSeries excess;
        std::vector<double> ordinates;
        double unit_volume;
        bool normalise;
        if (!series_args("excess", a[0], a[1], &excess) ||
            !convert_arg("ordinates", a[2], &ordinates) ||
            !convert_arg("unit_volume", a[3], &unit_volume) ||
            !flag_arg("normalise", a[4], &normalise))
            return nullptr;
        return to_convolved(excess.data.span(), user_unit_hydrograph(excess.time_step, ordinates,
                                                                     unit_volume, normalise));
    });
}

} // namespace

PyMethodDef user_uh_def = function_def(
    "user_uh", user_uh, R"(user_uh(excess, time_step, ordinates, unit_volume, normalise)
--

Direct runoff (flow units) of `excess` (depth units per step of `time_step`
seconds) through `ordinates` (flow per depth unit at 0, dt, 2 dt, ...),
scaled to hold `unit_volume` (flow x s) per depth unit; refused when their
volume is more than 1 % off and `normalise` is false. Packed float64.)");

} // namespace basinkit::py
