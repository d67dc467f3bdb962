// Snyder's unit-hydrograph transform of basinkit_model._native.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "rainfall_transform/snyder_uh.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"excess", "time_step", "unit_volume", "area", "lag",
                                  "cp",     "c2",        "c50",         "c75"};

PyObject *snyder_uh(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"snyder_uh()", params, 9};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentSeries excess;
        double unit_volume, area, cp;
        SnyderUnits units;
        Duration lag;
        if (!series_args("excess", a[0], a[1], &excess) ||
            !convert_arg("unit_volume", a[2], &unit_volume) || !convert_arg("area", a[3], &area) ||
            !timedelta_arg("lag", a[4]) || !to_duration(a[4], &lag) ||
            !convert_arg("cp", a[5], &cp) || !convert_arg("c2", a[6], &units.c2) ||
            !convert_arg("c50", a[7], &units.c50) || !convert_arg("c75", a[8], &units.c75))
            return nullptr;
        return to_convolved(excess.data.span(),
                            snyder_unit_hydrograph(excess.time_step, unit_volume, area,
                                                   lag.as_secs_f64(), cp, units, signal_cancel()));
    });
}

} // namespace

PyMethodDef snyder_uh_def =
    function_def("snyder_uh", snyder_uh,
                 R"(snyder_uh(excess, time_step, unit_volume, area, lag, cp, c2, c50, c75)
--

Direct runoff (flow units) of `excess` (depth units per step of `time_step`
seconds) through Snyder's unit hydrograph of standard lag `lag` and peaking
coefficient `cp` on `area` (area units of the coefficients c2, c50, c75),
scaled to hold `unit_volume` (flow x s) per depth unit. Packed float64.)");

} // namespace basinkit::py
