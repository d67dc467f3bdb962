// The reservoir routines of basinkit_model._native: storage indication and
// level pool on one argument list, outlets given as plain tuples.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "reservoir_routing/level_pool.hpp"
#include "reservoir_routing/storage_indication.hpp"

#include <optional>
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

// The argument list both routines share, converted in order.
constexpr const char *params[] = {"inflow",     "time_step", "initial_elevation",
                                  "elevations", "storages",  "outlets"};

struct ReservoirArgs {
    TimeSeries inflow{{}, 0, "discharge"};
    double initial_elevation = 0.0;
    std::vector<double> elevations, storages;
    Outlets outlets;
};

bool reservoir_args(const char *callable, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, ReservoirArgs *r) {
    PyObject *a[6];
    return bind({callable, params, 6}, args, nargs, kwnames, a) &&
           convert_arg("inflow", a[0], &r->inflow.data) &&
           convert_arg("time_step", a[1], &r->inflow.time_step) &&
           convert_arg("initial_elevation", a[2], &r->initial_elevation) &&
           convert_arg("elevations", a[3], &r->elevations) &&
           convert_arg("storages", a[4], &r->storages) &&
           named_arg("outlets", a[5], &r->outlets, extract_outlet);
}

// What both methods start from: the arguments, a time step of at least a
// second (`step_message` is each one's refusal), some inflow (the core takes
// an empty one for a broken invariant; here it is the caller's mistake) and
// the curve.
bool reservoir_inputs(const char *callable, const char *step_message, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames, ReservoirArgs *r,
                      std::optional<ElevationStorage> *curve) {
    if (!reservoir_args(callable, args, nargs, kwnames, r)) return false;
    if (r->inflow.time_step < 1) {
        PyErr_SetString(PyExc_ValueError, step_message);
        return false;
    }
    if (r->inflow.data.empty()) {
        PyErr_SetString(PyExc_ValueError, "`inflow` has no values");
        return false;
    }
    auto made = ElevationStorage::create(std::move(r->elevations), std::move(r->storages));
    if (!ok(made)) return false;
    curve->emplace(std::move(*made));
    return true;
}

// Raises the core's error; a model failure (ValueError) also carries where it
// happened as attributes, None where the core did not say: `at_seconds`
// (since the inflow's first value), `quantity` ("storage" or "elevation"),
// `value` and `outlet` (the outlet's name).
PyObject *raise_routing_error(const Error &e, const Outlets &outlets) {
    raise(e);
    if (e.kind != ErrorKind::Value) return nullptr;
    Ref exc(PyErr_GetRaisedException());
    if (!exc) return nullptr;
    const ErrorContext where = e.context.value_or(ErrorContext{});
    const auto number = [](std::optional<double> v) {
        return Ref(v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None));
    };
    const char *looked = !where.quantity                      ? nullptr
                         : *where.quantity == Lookup::Storage ? "storage"
                                                              : "elevation";
    const std::string *name =
        where.outlet && *where.outlet < outlets.size() ? &outlets[*where.outlet].first : nullptr;
    Ref at = number(e.context ? std::optional(where.at_seconds) : std::nullopt);
    Ref quantity(looked ? PyUnicode_FromString(looked) : Py_NewRef(Py_None));
    Ref value = number(where.value);
    Ref outlet(
        name ? PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()))
             : Py_NewRef(Py_None));
    if (!at || !quantity || !value || !outlet ||
        PyObject_SetAttrString(exc.get(), "at_seconds", at.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "quantity", quantity.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "value", value.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "outlet", outlet.get()) < 0)
        return nullptr;
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

// The records packed, the per-outlet ones in a dict, and `extra` last if any.
PyObject *pack_records(const LevelPoolOutput &out, PyObject *extra) {
    Ref storage(to_packed(out.storage)), elevation(to_packed(out.elevation)),
        total(to_packed(out.total)), per_outlet(to_named_packed(out.outflows));
    if (!storage || !elevation || !total || !per_outlet) return nullptr;
    if (!extra)
        return PyTuple_Pack(4, storage.get(), elevation.get(), total.get(), per_outlet.get());
    return PyTuple_Pack(5, storage.get(), elevation.get(), total.get(), per_outlet.get(), extra);
}

PyObject *storage_indication(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        ReservoirArgs r;
        std::optional<ElevationStorage> curve;
        if (!reservoir_inputs("storage_indication()", "`time_step` must be at least 1 second", args,
                              nargs, kwnames, &r, &curve))
            return nullptr;
        if (curve->elevation.size() < 2) {
            PyErr_SetString(PyExc_ValueError,
                            "the elevation-storage curve needs at least 2 points");
            return nullptr;
        }
        auto out = storage_indication_routing_rs(r.inflow, r.initial_elevation, *curve, r.outlets,
                                                 signal_cancel());
        if (!out) return raise_routing_error(out.error(), r.outlets);
        return pack_records(*out, nullptr);
    });
}

PyObject *level_pool(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        ReservoirArgs r;
        std::optional<ElevationStorage> curve;
        if (!reservoir_inputs("level_pool()", "time_step must be > 0", args, nargs, kwnames, &r,
                              &curve))
            return nullptr;
        auto out = level_pool_routing_rs(r.inflow, r.initial_elevation, *curve, r.outlets,
                                         signal_cancel());
        if (!out) return raise_routing_error(out.error(), r.outlets);
        Ref released(PyFloat_FromDouble(out->released));
        if (!released) return nullptr;
        return pack_records(*out, released.get());
    });
}

} // namespace

PyMethodDef storage_indication_def = function_def(
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
value 0 the initial state; outflows a dict of one such bytes per outlet.)");

PyMethodDef level_pool_def =
    function_def("level_pool", level_pool,
                 R"(level_pool(inflow, time_step, initial_elevation, elevations, storages, outlets)
--

Level pool routing of `inflow` (cfs, one value every `time_step` seconds), as
basinkit.reservoir.run_level_pool_routing routes
ContinuousTimeSeries(inflow, time_step); outlets as for storage_indication.

Returns (storage, elevation, total, outflows, released): the records packed
as storage_indication packs them, and the volume (cfs x s) the outlets
released in the one-second steps that advanced the storage.)");

} // namespace basinkit::py
