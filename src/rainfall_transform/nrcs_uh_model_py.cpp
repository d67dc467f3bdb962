// The NRCS unit-hydrograph transform of basinkit_model._native.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "rainfall_transform/nrcs_uh.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"excess", "time_step", "unit_volume", "lag", "tabulated", "m"};

PyObject *nrcs_uh(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"nrcs_uh()", params, 6};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        LentSeries excess;
        double unit_volume, m;
        bool tabulated;
        Duration lag;
        if (!series_args("excess", a[0], a[1], &excess) ||
            !convert_arg("unit_volume", a[2], &unit_volume) || !timedelta_arg("lag", a[3]) ||
            !to_duration(a[3], &lag) || !flag_arg("tabulated", a[4], &tabulated) ||
            !convert_arg("m", a[5], &m))
            return nullptr;
        return to_convolved(excess.data.span(),
                            nrcs_unit_hydrograph(excess.time_step, unit_volume, lag.as_secs_f64(),
                                                 tabulated, m, signal_cancel()));
    });
}

PyObject *nrcs_gamma(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr const char *names[] = {"area_ratio"};
    const Signature sig{"nrcs_gamma_shape()", names, 1};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        double ratio;
        if (!convert_arg("area_ratio", a[0], &ratio)) return nullptr;
        auto m = nrcs_gamma_shape(ratio);
        if (!ok(m)) return nullptr;
        return PyFloat_FromDouble(*m);
    });
}

} // namespace

PyMethodDef nrcs_uh_def =
    function_def("nrcs_uh", nrcs_uh, R"(nrcs_uh(excess, time_step, unit_volume, lag, tabulated, m)
--

Direct runoff (flow units) of `excess` (depth units per step of `time_step`
seconds) through the NRCS unit hydrograph with Tp = time_step / 2 + lag:
the standard table when `tabulated`, else the gamma curve of shape `m`;
scaled to hold `unit_volume` (flow x s) per depth unit. Packed float64.)");

PyMethodDef nrcs_gamma_shape_def =
    function_def("nrcs_gamma_shape", nrcs_gamma, R"(nrcs_gamma_shape(area_ratio)
--

The gamma curve's shape m whose area is `area_ratio` (volume / (qp Tp)).)");

} // namespace basinkit::py
