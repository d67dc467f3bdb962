// The Clark transform of basinkit_model._native: the direct runoff, and what
// the unit hydrograph's recession would still give after the core cut it.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "rainfall_transform/clark_uh.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"excess", "time_step", "basin_area", "tc", "storage_r"};

PyObject *clark(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"clark()", params, 5};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        TimeSeries excess;
        double basin_area;
        if (!series_args("excess", a[0], a[1], &excess) ||
            !convert_arg("basin_area", a[2], &basin_area) || !timedelta_arg("tc", a[3]) ||
            !timedelta_arg("storage_r", a[4]))
            return nullptr;
        Duration tc, storage_r;
        if (!to_duration(a[3], &tc) || !to_duration(a[4], &storage_r)) return nullptr;
        ClarkUnitEnd end;
        auto q = clark_uh_rs(excess.data, excess.time_step, basin_area, tc, storage_r,
                             ConvolutionKernel::Fastest, signal_cancel(), &end);
        if (!ok(q)) return nullptr;
        Ref runoff(to_packed(*q));
        if (!runoff) return nullptr;
        Ref tail(PyFloat_FromDouble(end.cut_tail()));
        if (!tail) return nullptr;
        return PyTuple_Pack(2, runoff.get(), tail.get());
    });
}

} // namespace

PyMethodDef clark_def = function_def("clark", clark,
                                     R"(clark(excess, time_step, basin_area, tc, storage_r)
--

Direct runoff (cfs) of `excess` (inches per step of `time_step` seconds) as
basinkit.rainfall_transform.run_clark_uh gives it.

Returns (runoff, cut_tail): the runoff packed in bytes (native float64), and
the discharge sum (cfs per inch of excess over one step) that the unit
hydrograph's recession would still give after it was cut: its last ordinate
x c2 / (1 - c2); 0.0 for fewer than 2 ordinates or |c2| >= 1.)");

} // namespace basinkit::py
