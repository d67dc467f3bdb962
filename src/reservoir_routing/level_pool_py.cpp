#include "areas_py.hpp"
#include "boundary/binding.hpp"
#include "boundary/classes.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/ref.hpp"
#include "boundary/registration.hpp"
#include "reservoir_routing/level_pool.hpp"
#include "reservoir_routing/reservoir_utils/reservoir_utils_py.hpp"
#include "utils/time_series_py.hpp"

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char reservoir_storage[] = R"(Reservoir storage volume at each output time step.)";

constexpr char reservoir_elevation[] = R"(Water surface elevation at each output time step.)";

constexpr char reservoir_total_outflow[] =
    R"(Combined outflow from all outlets at each output time step.)";

constexpr char reservoir_individual_outflows[] =
    R"(Per-outlet outflow time series keyed by outlet name.)";

constexpr char result[] = R"(Results from a level pool routing simulation.)";

constexpr char run_level_pool_routing[] =
    R"(run_level_pool_routing(inflow, initial_elevation, elevation_storage, discharge_info)
--

Performs level pool (modified Puls) routing for a reservoir.

Integrates the mass balance equation `dS/dt = I - O` over the inflow
hydrograph duration. Output vectors are recorded at the original inflow time
step.

# Errors

Returns a `PyValueError` if any outlet's discharge calculation fails or if
the initial elevation is outside the elevation-storage curve range.)";

} // namespace doc

namespace {

// What a routing run returns, with the inflow's time step.
struct LevelPoolValue {
    LevelPoolOutput out;
    std::int32_t time_step;
};

template <Values LevelPoolOutput::*Field> PyObject *read_record(PyObject *self, const char *kind) {
    return guarded([&]() -> PyObject * {
        TimeSeries copy;
        if (!PyClass<LevelPoolValue>::read(self, [&](const LevelPoolValue &v) {
                copy = TimeSeries{v.out.*Field, v.time_step, kind};
            }))
            return nullptr;
        return continuous_series.wrap(std::move(copy));
    });
}

PyObject *read_storage(PyObject *self, void *) {
    return read_record<&LevelPoolOutput::storage>(self, "volume");
}
PyObject *read_elevation(PyObject *self, void *) {
    return read_record<&LevelPoolOutput::elevation>(self, "elevation");
}
PyObject *read_total(PyObject *self, void *) {
    return read_record<&LevelPoolOutput::total>(self, "discharge");
}
PyObject *read_outflows(PyObject *self, void *) {
    return guarded([&]() -> PyObject * {
        std::vector<std::pair<std::string, Values>> copy;
        std::int32_t step = 1;
        if (!PyClass<LevelPoolValue>::read(self, [&](const LevelPoolValue &v) {
                copy = v.out.outflows;
                step = v.time_step;
            }))
            return nullptr;
        return new_series_dict(std::move(copy), step, "discharge");
    });
}

PyGetSetDef result_getset[] = {
    {"reservoir_storage", read_storage, nullptr, doc::reservoir_storage, nullptr},
    {"reservoir_elevation", read_elevation, nullptr, doc::reservoir_elevation, nullptr},
    {"reservoir_total_outflow", read_total, nullptr, doc::reservoir_total_outflow, nullptr},
    {"reservoir_individual_outflows", read_outflows, nullptr, doc::reservoir_individual_outflows,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyClass<LevelPoolValue> result_class("LevelPoolResult",
                                     Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                     {
                                         {Py_tp_doc, const_cast<char *>(doc::result)},
                                         {Py_tp_getset, result_getset},
                                     });

constexpr const char *params[] = {"inflow", "initial_elevation", "elevation_storage",
                                  "discharge_info"};

PyObject *run_level_pool_routing(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) {
    const Signature sig{"run_level_pool_routing()", params, 4};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        Shared<TimeSeries> inflow;
        double initial_elevation;
        ElevationStorage curve;
        std::vector<std::pair<std::string, DischargeInfo>> outlets;
        if (!convert_arg("inflow", continuous_series, a[0], &inflow) ||
            !convert_arg("initial_elevation", a[1], &initial_elevation) ||
            !convert_arg("elevation_storage", elevation_storage_class, a[2], &curve) ||
            !named_arg("discharge_info", a[3], &outlets, extract_discharge_info))
            return nullptr;
        auto out =
            level_pool_routing_rs(*inflow, initial_elevation, curve, outlets, signal_cancel());
        if (!ok(out)) return nullptr;
        return result_class.wrap(LevelPoolValue{std::move(*out), inflow->time_step});
    });
}

PyMethodDef run_def =
    function_def("run_level_pool_routing", run_level_pool_routing, doc::run_level_pool_routing);

} // namespace

int init_reservoir(PyObject *module) {
    Ref utils(new_module("reservoir_utils"));
    if (!utils || !init_reservoir_utils(utils.get())) return -1;
    if (!add_submodule(module, utils.get())) return -1;
    if (!add_function(module, &run_def)) return -1;
    return add_class(module, result_class) ? 0 : -1;
}

} // namespace basinkit::py
