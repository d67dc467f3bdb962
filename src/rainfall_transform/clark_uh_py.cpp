#include "areas_py.hpp"
#include "boundary/binding.hpp"
#include "boundary/classes.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "rainfall_transform/clark_uh.hpp"
#include "utils/time_series_py.hpp"

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char run_clark_uh[] = R"(run_clark_uh(rainfall, basin_area, tc, storage_r)
--

Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.

# Arguments

* `rainfall` - Excess rainfall series (inches per time step).
* `basin_area` - Drainage area in acres.
* `tc` - Time of concentration. Controls the duration and shape of the
  translation hydrograph.
* `storage_r` - Linear reservoir storage coefficient. Controls attenuation.

# Returns

A `ContinuousTimeSeries` (kind=discharge, cfs) at the same time step as `rainfall`.)";

} // namespace doc

namespace {

constexpr const char *params[] = {"rainfall", "basin_area", "tc", "storage_r"};

PyObject *run_clark_uh(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"run_clark_uh()", params, 4};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        Shared<TimeSeries> rainfall;
        double basin_area;
        if (!convert_arg("rainfall", incremental_series, a[0], &rainfall) ||
            !convert_arg("basin_area", a[1], &basin_area) || !timedelta_arg("tc", a[2]) ||
            !timedelta_arg("storage_r", a[3]))
            return nullptr;
        Duration tc, storage_r;
        if (!to_duration(a[2], &tc) || !to_duration(a[3], &storage_r)) return nullptr;
        auto q = clark_uh_rs(rainfall->data, rainfall->time_step, basin_area, tc, storage_r,
                             ConvolutionKernel::Fastest, signal_cancel());
        if (!ok(q)) return nullptr;
        return new_continuous(std::move(*q), rainfall->time_step, "discharge");
    });
}

PyMethodDef run_def = function_def("run_clark_uh", run_clark_uh, doc::run_clark_uh);

} // namespace

int init_transform(PyObject *module) {
    return add_function(module, &run_def) ? 0 : -1;
}

} // namespace basinkit::py
