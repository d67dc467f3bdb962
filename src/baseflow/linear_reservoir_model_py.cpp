// The baseflow layers of basinkit_model._native: the discharges, and the
// state of every chain after the last step, from which the layer finds what
// the chains still hold without stepping them again.
#include "baseflow/linear_reservoir.hpp"
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"

#include <string>
#include <utility>
#include <vector>

namespace basinkit::py {

namespace {

using Layer = std::pair<std::string, LinearReservoirConfig>;

// A layer from its tuple (name, k, gw_fraction, initial_q, num_reservoir),
// checked as LinearReservoir checks its arguments.
bool extract_layer(PyObject *o, Layer *out) {
    if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 5) {
        set_type_error("a layer is a tuple (name, k, gw_fraction, initial_q, num_reservoir)");
        return false;
    }
    double gw_fraction, initial_q;
    std::uint64_t num_reservoir;
    if (!convert(PyTuple_GET_ITEM(o, 0), &out->first) || !check_timedelta(PyTuple_GET_ITEM(o, 1)) ||
        !convert(PyTuple_GET_ITEM(o, 2), &gw_fraction) ||
        !convert(PyTuple_GET_ITEM(o, 3), &initial_q) ||
        !convert(PyTuple_GET_ITEM(o, 4), &num_reservoir))
        return false;
    Duration k;
    if (!to_duration(PyTuple_GET_ITEM(o, 1), &k)) return false;
    auto config = make_linear_reservoir(k, gw_fraction, initial_q, num_reservoir);
    if (!ok(config)) return false;
    out->second = *config;
    return true;
}

// The layers in order; a repeated name would lose a layer from the dicts.
bool extract_layers(PyObject *o, std::vector<Layer> *out) {
    Ref seq(PySequence_Fast(o, "`layers` must be a sequence of tuples"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    out->reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Layer layer;
        if (!extract_layer(PySequence_Fast_GET_ITEM(seq.get(), i), &layer)) return false;
        for (const Layer &seen : *out)
            if (seen.first == layer.first) {
                PyErr_SetString(PyExc_ValueError,
                                ("layer '" + layer.first + "' is given twice").c_str());
                return false;
            }
        out->push_back(std::move(layer));
    }
    return true;
}

constexpr const char *params[] = {"basin_area", "rainfall", "time_step", "layers"};

PyObject *linear_reservoir(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"linear_reservoir()", params, 4};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        double basin_area;
        TimeSeries rainfall;
        std::vector<Layer> layers;
        if (!convert_arg("basin_area", a[0], &basin_area) ||
            !series_args("rainfall", a[1], a[2], &rainfall))
            return nullptr;
        if (!extract_layers(a[3], &layers)) {
            add_argument_prefix("layers");
            return nullptr;
        }
        std::vector<Values> ends;
        auto out = linear_reservoir_rs(basin_area, rainfall.data, rainfall.time_step, layers,
                                       signal_cancel(), &ends);
        if (!ok(out)) return nullptr;
        std::vector<std::pair<std::string, Values>> named_ends;
        named_ends.reserve(layers.size());
        for (std::size_t i = 0; i < layers.size(); ++i)
            named_ends.emplace_back(layers[i].first, std::move(ends[i]));
        Ref total(to_packed(out->total)), per_layer(to_named_packed(out->components)),
            chains(to_named_packed(named_ends));
        if (!total || !per_layer || !chains) return nullptr;
        return PyTuple_Pack(3, total.get(), per_layer.get(), chains.get());
    });
}

} // namespace

PyMethodDef linear_reservoir_def =
    function_def("linear_reservoir", linear_reservoir,
                 R"(linear_reservoir(basin_area, rainfall, time_step, layers)
--

Baseflow of `rainfall` (inches per step of `time_step` seconds) as
basinkit.baseflow.run_linear_reservoir gives it; `layers` is a sequence of
(name, k, gw_fraction, initial_q, num_reservoir) tuples, routed in order.

Returns (total, per_layer, chain_ends): the total discharge packed in bytes
(native float64), a dict of each layer's discharge packed alike, and a dict of
the discharge of every reservoir of each layer's chain after the last step, in
chain order.)");

} // namespace basinkit::py
