// basinkit_model._native: the private extension of the basin-model layer.
// It takes plain Python values (sequences, numbers, tuples), so that it needs
// none of the basinkit module's classes, and returns plain lists.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "reservoir_routing/storage_indication.hpp"

#include <span>
#include <string_view>

namespace basinkit::py {

namespace {

using Outlets = std::vector<std::pair<std::string, DischargeInfo>>;

// Item `i` of an outlet tuple (borrowed), converted.
template <class T> bool item(PyObject *tuple, Py_ssize_t i, T *out) {
    return convert(PyTuple_GET_ITEM(tuple, i), out);
}

bool rating(PyObject *tuple, ElevationDischarge *out) {
    std::vector<double> e, q;
    if (!item(tuple, 1, &e) || !item(tuple, 2, &q)) return false;
    auto curve = ElevationDischarge::create(std::move(e), std::move(q));
    if (!ok(curve)) return false;
    *out = std::move(*curve);
    return true;
}

// One outlet from its tuple:
//   ("spillway", elevations, discharges, offset)
//   ("gate", elevations, discharges, minimum_elevation, maximum_elevation, maximum_release)
//   ("constant", discharge, minimum_elevation, maximum_elevation)
//   ("schedule", values, time_step_seconds, minimum_elevation, maximum_elevation,
//    maximum_release)
// where every gate, cap and offset may be None.
bool extract_outlet(PyObject *o, DischargeInfo *out) {
    if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) < 1 || !PyUnicode_Check(PyTuple_GET_ITEM(o, 0))) {
        set_type_error("an outlet is a tuple whose first item names its kind");
        return false;
    }
    std::string kind;
    if (!item(o, 0, &kind)) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(o);
    const auto arity = [&](Py_ssize_t want) {
        if (size == want) return true;
        set_type_error("a '" + kind + "' outlet is a tuple of " + std::to_string(want) +
                       " items, got " + std::to_string(size));
        return false;
    };
    if (kind == "spillway") {
        UnControlledDischargeInfo v;
        if (!arity(4) || !rating(o, &v.elevation_discharge) || !item(o, 3, &v.elevation_offset))
            return false;
        *out = std::move(v);
    } else if (kind == "gate") {
        ElevationDischarge curve;
        std::optional<double> lo, hi, cap;
        if (!arity(6) || !rating(o, &curve) || !item(o, 3, &lo) || !item(o, 4, &hi) ||
            !item(o, 5, &cap))
            return false;
        *out = ControlledDischargeInfo::create(std::move(curve), lo, hi, cap);
    } else if (kind == "constant") {
        ConstantDischargeInfo v;
        if (!arity(4) || !item(o, 1, &v.discharge) || !item(o, 2, &v.minimum_elevation) ||
            !item(o, 3, &v.maximum_elevation))
            return false;
        *out = std::move(v);
    } else if (kind == "schedule") {
        SpecifiedDischargeInfo v;
        v.discharge.kind = "discharge";
        if (!arity(6) || !item(o, 1, &v.discharge.data) || !item(o, 2, &v.discharge.time_step) ||
            !item(o, 3, &v.minimum_elevation) || !item(o, 4, &v.maximum_elevation) ||
            !item(o, 5, &v.maximum_release))
            return false;
        if (v.discharge.time_step < 1) {
            PyErr_SetString(PyExc_ValueError, "a schedule's time step must be at least 1 second");
            return false;
        }
        *out = std::move(v);
    } else {
        set_type_error("unknown outlet kind '" + kind + "' (spillway, gate, constant or schedule)");
        return false;
    }
    return true;
}

// Doubles packed in native order: a float object per value would cost more
// than the routing itself.
PyObject *to_packed(std::span<const double> values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(values.data()),
                                     static_cast<Py_ssize_t>(values.size_bytes()));
}

PyObject *to_named_packed(const std::vector<std::pair<std::string, Values>> &named) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto &[name, values] : named) {
        Ref packed(to_packed(values));
        if (!packed || PyDict_SetItemString(dict.get(), name.c_str(), packed.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

constexpr const char *params[] = {"inflow",     "time_step", "initial_elevation",
                                  "elevations", "storages",  "outlets"};

PyObject *storage_indication(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        PyObject *a[6];
        if (!bind({"storage_indication()", params, 6}, args, nargs, kwnames, a)) return nullptr;
        TimeSeries inflow;
        inflow.kind = "discharge";
        double initial_elevation;
        std::vector<double> elevations, storages;
        Outlets outlets;
        if (!convert_arg("inflow", a[0], &inflow.data) ||
            !convert_arg("time_step", a[1], &inflow.time_step) ||
            !convert_arg("initial_elevation", a[2], &initial_elevation) ||
            !convert_arg("elevations", a[3], &elevations) ||
            !convert_arg("storages", a[4], &storages) ||
            !named_arg("outlets", a[5], &outlets, extract_outlet))
            return nullptr;
        if (inflow.time_step < 1) {
            PyErr_SetString(PyExc_ValueError, "`time_step` must be at least 1 second");
            return nullptr;
        }
        if (inflow.data.empty()) {
            PyErr_SetString(PyExc_ValueError, "`inflow` has no values");
            return nullptr;
        }
        auto curve = ElevationStorage::create(std::move(elevations), std::move(storages));
        if (!ok(curve)) return nullptr;
        if (curve->elevation.size() < 2) {
            PyErr_SetString(PyExc_ValueError,
                            "the elevation-storage curve needs at least 2 points");
            return nullptr;
        }
        auto out = storage_indication_routing_rs(inflow, initial_elevation, *curve, outlets);
        if (!ok(out)) return nullptr;
        Ref storage(to_packed(out->storage)), elevation(to_packed(out->elevation)),
            total(to_packed(out->total)), per_outlet(to_named_packed(out->outflows));
        if (!storage || !elevation || !total || !per_outlet) return nullptr;
        return PyTuple_Pack(4, storage.get(), elevation.get(), total.get(), per_outlet.get());
    });
}

PyMethodDef methods[] = {
    function_def(
        "storage_indication", storage_indication,
        R"(storage_indication(inflow, time_step, initial_elevation, elevations, storages, outlets)
--

Routes `inflow` (cfs, one value every `time_step` seconds from time 0) through
a reservoir by the storage-indication method, one implicit step per inflow
interval. `outlets` maps names to tuples: ("spillway", elevations, discharges,
offset), ("gate", elevations, discharges, minimum_elevation, maximum_elevation,
maximum_release), ("constant", discharge, minimum_elevation, maximum_elevation)
or ("schedule", values, time_step, minimum_elevation, maximum_elevation,
maximum_release), with None for an absent bound.

Returns (storage, elevation, total, outflows): each as many float64 values as
`inflow` has, packed in bytes (native order; numpy.frombuffer reads them),
value 0 the initial state; outflows a dict of one such bytes per outlet.)"),
    {nullptr, nullptr, 0, nullptr},
};

int native_exec(PyObject *module) {
    return guarded_int([&]() -> int {
        for (PyMethodDef *def = methods; def->ml_name; ++def)
            if (!add_function(module, def)) return -1;
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(native_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef native_def = {PyModuleDef_HEAD_INIT,
                          "_native",
                          "Native routines of basinkit_model.",
                          0,
                          nullptr,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

} // namespace

} // namespace basinkit::py

PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&basinkit::py::native_def);
}
