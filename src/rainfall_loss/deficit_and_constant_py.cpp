#include "areas_py.hpp"
#include "boundary/binding.hpp"
#include "boundary/classes.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "rainfall_loss/deficit_and_constant.hpp"
#include "utils/time_series_py.hpp"

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char excess[] = R"(Excess rainfall that becomes surface runoff (inches per time step).)";

constexpr char loss[] =
    R"(Total infiltrated depth per time step (constant loss + deficit fill, inches).)";

constexpr char deficit[] =
    R"(Running soil moisture deficit at the end of each time step (inches).)";

constexpr char result[] = R"(Results from the deficit-and-constant rainfall loss model.)";

constexpr char run_deficit_and_constant[] =
    R"(run_deficit_and_constant(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)
--

Separates gross rainfall into excess runoff and infiltration losses using the
deficit-and-constant model.

# Arguments

* `rainfall` - Gross rainfall time series (inches per time step).
* `initial_deficit` - Starting soil moisture deficit (inches).
* `max_deficit` - Maximum soil moisture storage capacity (inches).
* `constant_loss_per_hr` - Constant infiltration rate (inches/hour).
* `time_to_dry` - Characteristic drying time for deficit recovery.

# Returns

A `DeficitConstantResult` with `excess`, `loss`, and `deficit` series.)";

} // namespace doc

namespace {

// The three series a loss run returns, held as plain values.
struct DeficitConstantValue {
    TimeSeries excess;
    TimeSeries loss;
    TimeSeries deficit;
};

template <TimeSeries DeficitConstantValue::*Field> PyObject *read_series(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        TimeSeries copy;
        if (!PyClass<DeficitConstantValue>::read(
                self, [&](const DeficitConstantValue &v) { copy = v.*Field; }))
            return nullptr;
        return incremental_series.wrap(std::move(copy));
    });
}

PyGetSetDef result_getset[] = {
    {"excess", read_series<&DeficitConstantValue::excess>, nullptr, doc::excess, nullptr},
    {"loss", read_series<&DeficitConstantValue::loss>, nullptr, doc::loss, nullptr},
    {"deficit", read_series<&DeficitConstantValue::deficit>, nullptr, doc::deficit, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyClass<DeficitConstantValue> result_class("DeficitConstantResult",
                                           Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                           {
                                               {Py_tp_doc, const_cast<char *>(doc::result)},
                                               {Py_tp_getset, result_getset},
                                           });

constexpr const char *params[] = {"rainfall", "initial_deficit", "max_deficit",
                                  "constant_loss_per_hr", "time_to_dry"};

PyObject *run_deficit_and_constant(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    const Signature sig{"run_deficit_and_constant()", params, 5};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        Shared<TimeSeries> rainfall;
        double initial_deficit, max_deficit, loss_per_hr;
        if (!convert_arg("rainfall", incremental_series, a[0], &rainfall) ||
            !convert_arg("initial_deficit", a[1], &initial_deficit) ||
            !convert_arg("max_deficit", a[2], &max_deficit) ||
            !convert_arg("constant_loss_per_hr", a[3], &loss_per_hr) ||
            !timedelta_arg("time_to_dry", a[4]))
            return nullptr;
        Duration time_to_dry;
        if (!to_duration(a[4], &time_to_dry)) return nullptr;
        auto out = deficit_and_constant_rs(rainfall->data, rainfall->time_step, initial_deficit,
                                           max_deficit, loss_per_hr, time_to_dry);
        if (!ok(out)) return nullptr;
        const std::int32_t step = rainfall->time_step;
        return result_class.wrap(DeficitConstantValue{
            TimeSeries{std::move(out->excess), step, "rainfall"},
            TimeSeries{std::move(out->loss), step, "rainfall"},
            TimeSeries{std::move(out->deficit), step, "rainfall"},
        });
    });
}

PyMethodDef run_def = function_def("run_deficit_and_constant", run_deficit_and_constant,
                                   doc::run_deficit_and_constant);

} // namespace

int init_loss(PyObject *module) {
    if (!add_class(module, result_class)) return -1;
    return add_function(module, &run_def) ? 0 : -1;
}

} // namespace basinkit::py
