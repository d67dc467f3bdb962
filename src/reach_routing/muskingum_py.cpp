#include "areas_py.hpp"
#include "boundary/binding.hpp"
#include "boundary/classes.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "reach_routing/muskingum.hpp"
#include "utils/time_series_py.hpp"

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char run_muskingum_routing[] =
    R"(run_muskingum_routing(inflow, k, x, sub_reaches, initial_outflow)
--

Routes an inflow hydrograph through a channel reach using the Muskingum method.

The reach can be divided into `sub_reaches` equal segments to improve
numerical accuracy. Each segment is routed sequentially using the same
Muskingum coefficients derived from the per-segment `k` and the weighting
factor `x`.

Issues a Python `warnings.warn` if `x` is outside the physically meaningful
range `[0.0, 0.5]`.

# Arguments

* `inflow` - Inflow hydrograph at the upstream end of the reach.
* `k` - Storage time constant for the full reach (seconds). The per-segment
  value is `k / sub_reaches`.
* `x` - Weighting factor in `[0.0, 0.5]`. `x=0` gives pure reservoir routing
  (maximum attenuation); `x=0.5` approximates kinematic routing (no attenuation).
* `sub_reaches` - Number of equal sub-reaches. Must be >= 1.
* `initial_outflow` - Initial outflow value. Defaults to the first inflow
  value if not provided.

# Returns

A `ContinuousTimeSeries` (kind=discharge) of routed outflow values at the
same time step as `inflow`.)";

} // namespace doc

namespace {

constexpr const char *params[] = {"inflow", "k", "x", "sub_reaches", "initial_outflow"};

PyObject *run_muskingum_routing(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    const Signature sig{"run_muskingum_routing()", params, 5};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        Shared<TimeSeries> inflow;
        double x, initial_outflow;
        std::int64_t sub_reaches;
        if (!convert_arg("inflow", continuous_series, a[0], &inflow) || !timedelta_arg("k", a[1]) ||
            !convert_arg("x", a[2], &x) || !convert_arg("sub_reaches", a[3], &sub_reaches) ||
            !convert_arg("initial_outflow", a[4], &initial_outflow))
            return nullptr;
        // The warning comes before `k` is taken, so a filter that raises it
        // ends the call before anything else is checked.
        if (muskingum_x_out_of_range(x) &&
            !warn("`x` is outside the recommended range [0.0, 0.5]."))
            return nullptr;
        Duration k;
        if (!to_duration(a[1], &k)) return nullptr;
        auto out = muskingum_reach_rs(inflow->data, inflow->time_step, k, x, sub_reaches,
                                      initial_outflow, signal_cancel());
        if (!ok(out)) return nullptr;
        return new_continuous(std::move(*out), inflow->time_step, "discharge");
    });
}

PyMethodDef run_def =
    function_def("run_muskingum_routing", run_muskingum_routing, doc::run_muskingum_routing);

} // namespace

int init_reach(PyObject *module) {
    return add_function(module, &run_def) ? 0 : -1;
}

} // namespace basinkit::py
