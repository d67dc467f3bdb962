#include "areas_py.hpp"
#include "baseflow/linear_reservoir.hpp"
#include "boundary/binding.hpp"
#include "boundary/classes.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/ref.hpp"
#include "boundary/registration.hpp"
#include "utils/time_series_py.hpp"

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char gw_fraction[] =
    R"(Fraction of rainfall loss that contributes to this reservoir's baseflow.
Must be in [0.0, 1.0].)";

constexpr char initial_q[] = R"(Initial discharge at the start of the simulation (e.g., cfs).)";

constexpr char num_reservoir[] = R"(Number of linear reservoirs chained in series.)";

constexpr char k_duration[] = R"(Returns the storage time constant as a Python `timedelta`.)";

constexpr char linear_reservoir[] =
    R"(LinearReservoir(k_duration, gw_fraction, initial_q, num_reservoir=1)
--

Configuration for a single linear reservoir groundwater layer.

A linear reservoir models groundwater storage with the recurrence relation:
`Q[t] = C * I[t] + (1 - C) * Q[t-1]`, where `C = dt / (K + 0.5*dt)`.
Chaining `num_reservoir` reservoirs in series produces a more peaked,
delayed response.)";

constexpr char run_linear_reservoir[] = R"(run_linear_reservoir(basin_area, rainfall, reservoirs)
--

Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.

# Arguments

* `basin_area` - Drainage area in acres.
* `rainfall` - Infiltrated rainfall series (inches per time step).
* `reservoirs` - Named linear reservoir configurations.

# Errors

Returns a `PyValueError` if sum of all fractions exceeds 1.0,
or any reservoir fails its stability check.)";

} // namespace doc

namespace {

using Config = LinearReservoirConfig;

PyObject *read_k_duration(const Config &c) {
    return to_timedelta(c.k_duration);
}

PyGetSetDef reservoir_getset[] = {
    {"gw_fraction", field_getter<Config, double, &Config::gw_fraction>,
     field_setter<Config, double, &Config::gw_fraction>, doc::gw_fraction,
     const_cast<char *>("gw_fraction")},
    {"initial_q", field_getter<Config, double, &Config::initial_q>,
     field_setter<Config, double, &Config::initial_q>, doc::initial_q,
     const_cast<char *>("initial_q")},
    {"num_reservoir", field_getter<Config, std::uint64_t, &Config::num_reservoir>,
     field_setter<Config, std::uint64_t, &Config::num_reservoir>, doc::num_reservoir,
     const_cast<char *>("num_reservoir")},
    {"k_duration", getter<Config, read_k_duration>, nullptr, doc::k_duration, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char *new_params[] = {"k_duration", "gw_fraction", "initial_q", "num_reservoir"};

PyObject *reservoir_new(PyTypeObject *type, PyObject *args, PyObject *kwargs);

// Final class: no Py_TPFLAGS_BASETYPE.
PyClass<Config> reservoir_class("LinearReservoir", 0,
                                value_slots(doc::linear_reservoir, reservoir_new,
                                            reservoir_getset));

PyObject *reservoir_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    const Signature sig{"LinearReservoir.__new__()", new_params, 3};
    return bound(sig, args, kwargs, [&](PyObject **a) -> PyObject * {
        double gw_fraction, initial_q;
        std::uint64_t num_reservoir = 1;
        if (!timedelta_arg("k_duration", a[0]) || !convert_arg("gw_fraction", a[1], &gw_fraction) ||
            !convert_arg("initial_q", a[2], &initial_q) ||
            (a[3] && !convert_arg("num_reservoir", a[3], &num_reservoir)))
            return nullptr;
        Duration k;
        if (!to_duration(a[0], &k)) return nullptr;
        auto config = make_linear_reservoir(k, gw_fraction, initial_q, num_reservoir);
        if (!ok(config)) return nullptr;
        return PyClass<Config>::wrap(type, *config);
    });
}

constexpr const char *run_params[] = {"basin_area", "rainfall", "reservoirs"};

PyObject *run_linear_reservoir(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    const Signature sig{"run_linear_reservoir()", run_params, 3};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        double basin_area;
        Shared<TimeSeries> rainfall;
        std::vector<std::pair<std::string, Config>> layers;
        auto take_layer = [](PyObject *o, Config *out) { return reservoir_class.extract(o, out); };
        if (!convert_arg("basin_area", a[0], &basin_area) ||
            !convert_arg("rainfall", incremental_series, a[1], &rainfall))
            return nullptr;
        if (!named_arg("reservoirs", a[2], &layers, take_layer)) return nullptr;
        auto out = linear_reservoir_rs(basin_area, rainfall->data, rainfall->time_step, layers,
                                       signal_cancel());
        if (!ok(out)) return nullptr;
        const std::int32_t step = rainfall->time_step;
        Ref components(new_series_dict(std::move(out->components), step, "discharge"));
        if (!components) return nullptr;
        Ref total(new_continuous(std::move(out->total), step, "discharge"));
        if (!total) return nullptr;
        return PyTuple_Pack(2, total.get(), components.get());
    });
}

PyMethodDef run_def =
    function_def("run_linear_reservoir", run_linear_reservoir, doc::run_linear_reservoir);

} // namespace

int init_baseflow(PyObject *module) {
    if (!add_function(module, &run_def)) return -1;
    return add_class(module, reservoir_class) ? 0 : -1;
}

} // namespace basinkit::py
