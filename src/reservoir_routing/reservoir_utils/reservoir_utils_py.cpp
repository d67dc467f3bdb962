#include "reservoir_routing/reservoir_utils/reservoir_utils_py.hpp"

#include "utils/time_series_py.hpp"

namespace basinkit::py {

namespace {

// ---------------------------------------------------------------- curves

PyObject *read_es_elevation(const ElevationStorage &c) {
    return to_list(c.elevation);
}
PyObject *read_es_storage(const ElevationStorage &c) {
    return to_list(c.storage);
}
PyObject *read_ed_elevation(const ElevationDischarge &c) {
    return to_list(c.elevation);
}
PyObject *read_ed_discharge(const ElevationDischarge &c) {
    return to_list(c.discharge);
}

PyGetSetDef storage_getset[] = {
    {"elevation", getter<ElevationStorage, read_es_elevation>, nullptr, nullptr, nullptr},
    {"storage", getter<ElevationStorage, read_es_storage>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef discharge_curve_getset[] = {
    {"elevation", getter<ElevationDischarge, read_ed_elevation>, nullptr, nullptr, nullptr},
    {"discharge", getter<ElevationDischarge, read_ed_discharge>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Shared constructor of both curves: two sequences, then the curve's checks.
template <class Curve, const char *Second>
PyObject *curve_new(PyTypeObject *type, PyObject *args, PyObject *kwargs, const char *callable) {
    return guarded([&]() -> PyObject * {
        const char *names[] = {"elevation", Second};
        PyObject *a[2];
        if (!bind({callable, names, 2}, args, kwargs, a)) return nullptr;
        std::vector<double> elevation, second;
        if (!convert_arg("elevation", a[0], &elevation) || !convert_arg(Second, a[1], &second))
            return nullptr;
        auto curve = Curve::create(std::move(elevation), std::move(second));
        if (!ok(curve)) return nullptr;
        return PyClass<Curve>::wrap(type, std::move(*curve));
    });
}

constexpr char storage_name[] = "storage";
constexpr char discharge_name[] = "discharge";

PyObject *storage_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return curve_new<ElevationStorage, storage_name>(type, args, kwargs,
                                                     "ElevationStorage.__new__()");
}
PyObject *discharge_curve_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return curve_new<ElevationDischarge, discharge_name>(type, args, kwargs,
                                                         "ElevationDischarge.__new__()");
}

// One lookup method of the storage curve: one float argument in, one out.
template <Result<double> (ElevationStorage::*Lookup)(double) const>
PyObject *curve_lookup(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       const char *callable, const char *param) {
    return guarded([&]() -> PyObject * {
        const char *names[] = {param};
        PyObject *a[1];
        if (!bind({callable, names, 1}, args, nargs, kwnames, a)) return nullptr;
        double x;
        if (!convert_arg(param, a[0], &x)) return nullptr;
        Result<double> r = std::unexpected(Error{});
        if (!PyClass<ElevationStorage>::read(
                self, [&](const ElevationStorage &c) { r = (c.*Lookup)(x); }))
            return nullptr;
        if (!ok(r)) return nullptr;
        return PyFloat_FromDouble(*r);
    });
}

PyObject *get_storage(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
    return curve_lookup<&ElevationStorage::get_storage>(
        self, args, nargs, kw, "ElevationStorage.get_storage()", "elevation");
}
PyObject *get_elevation(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kw) {
    return curve_lookup<&ElevationStorage::get_elevation>(
        self, args, nargs, kw, "ElevationStorage.get_elevation()", "storage");
}

PyMethodDef storage_methods[] = {
    method_def("get_storage", get_storage,
               "get_storage($self, elevation)\n--\n\n"
               "Interpolates the storage corresponding to a given elevation.\n\n"
               "# Arguments\n\n"
               "* `elevation` - Elevation value to look up.\n\n"
               "# Returns\n\n"
               "The interpolated storage, or a `PyValueError` if `elevation` is outside\n"
               "the range of the stored curve."),
    method_def("get_elevation", get_elevation,
               "get_elevation($self, storage)\n--\n\n"
               "Interpolates the elevation corresponding to a given storage value.\n\n"
               "# Arguments\n\n"
               "* `storage` - Storage value to look up.\n\n"
               "# Returns\n\n"
               "The interpolated elevation."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- outlets

using Opt = std::optional<double>;

PyObject *constant_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        static constexpr const char *names[] = {"discharge", "minimum_elevation",
                                                "maximum_elevation"};
        PyObject *a[3];
        if (!bind({"ConstantDischargeInfo.__new__()", names, 1}, args, kwargs, a)) return nullptr;
        ConstantDischargeInfo o;
        if (!convert_arg("discharge", a[0], &o.discharge) ||
            !convert_arg("minimum_elevation", a[1], &o.minimum_elevation) ||
            !convert_arg("maximum_elevation", a[2], &o.maximum_elevation))
            return nullptr;
        return PyClass<ConstantDischargeInfo>::wrap(type, std::move(o));
    });
}

PyObject *specified_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        static constexpr const char *names[] = {"discharge", "minimum_elevation",
                                                "maximum_elevation", "maximum_release"};
        PyObject *a[4];
        if (!bind({"SpecifiedDischargeInfo.__new__()", names, 1}, args, kwargs, a)) return nullptr;
        SpecifiedDischargeInfo o;
        if (!convert_arg("discharge", continuous_series, a[0], &o.discharge) ||
            !convert_arg("minimum_elevation", a[1], &o.minimum_elevation) ||
            !convert_arg("maximum_elevation", a[2], &o.maximum_elevation) ||
            !convert_arg("maximum_release", a[3], &o.maximum_release))
            return nullptr;
        return PyClass<SpecifiedDischargeInfo>::wrap(type, std::move(o));
    });
}

PyObject *controlled_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        static constexpr const char *names[] = {"elevation_discharge", "minimum_elevation",
                                                "maximum_elevation", "maximum_release"};
        PyObject *a[4];
        if (!bind({"ControlledDischargeInfo.__new__()", names, 1}, args, kwargs, a)) return nullptr;
        ElevationDischarge curve;
        Opt minimum, maximum, cap;
        if (!convert_arg("elevation_discharge", elevation_discharge_class, a[0], &curve) ||
            !convert_arg("minimum_elevation", a[1], &minimum) ||
            !convert_arg("maximum_elevation", a[2], &maximum) ||
            !convert_arg("maximum_release", a[3], &cap))
            return nullptr;
        return PyClass<ControlledDischargeInfo>::wrap(
            type, ControlledDischargeInfo::create(std::move(curve), minimum, maximum, cap));
    });
}

PyObject *uncontrolled_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return guarded([&]() -> PyObject * {
        static constexpr const char *names[] = {"elevation_discharge", "elevation_offset"};
        PyObject *a[2];
        if (!bind({"UnControlledDischargeInfo.__new__()", names, 1}, args, kwargs, a))
            return nullptr;
        UnControlledDischargeInfo o;
        if (!convert_arg("elevation_discharge", elevation_discharge_class, a[0],
                         &o.elevation_discharge) ||
            !convert_arg("elevation_offset", a[1], &o.elevation_offset))
            return nullptr;
        return PyClass<UnControlledDischargeInfo>::wrap(type, std::move(o));
    });
}

PyObject *read_specified_series(const SpecifiedDischargeInfo &o) {
    return continuous_series.wrap(o.discharge);
}
template <class Outlet> PyObject *read_outlet_curve(const Outlet &o) {
    return elevation_discharge_class.wrap(o.elevation_discharge);
}

template <class T, std::optional<double> T::*Field>
constexpr PyGetSetDef optional_field(const char *name, const char *doc) {
    return {name, field_getter<T, Opt, Field>, nullptr, doc, nullptr};
}

using Constant = ConstantDischargeInfo;
using Specified = SpecifiedDischargeInfo;
using Controlled = ControlledDischargeInfo;
using Uncontrolled = UnControlledDischargeInfo;

constexpr const char below_doc[] = "Elevation below which no discharge occurs.";
constexpr const char above_doc[] = "Elevation above which no discharge occurs.";
constexpr const char curve_doc[] = "Rating curve mapping elevation to discharge.";

PyGetSetDef constant_getset[] = {
    {"discharge", field_getter<Constant, double, &Constant::discharge>, nullptr,
     "Constant discharge rate (e.g., cfs).", nullptr},
    optional_field<Constant, &Constant::minimum_elevation>("minimum_elevation", below_doc),
    optional_field<Constant, &Constant::maximum_elevation>("maximum_elevation", above_doc),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef specified_getset[] = {
    {"discharge", getter<Specified, read_specified_series>, nullptr,
     "Time series of prescribed outflow values (kind=discharge).", nullptr},
    optional_field<Specified, &Specified::minimum_elevation>("minimum_elevation", nullptr),
    optional_field<Specified, &Specified::maximum_elevation>("maximum_elevation", nullptr),
    optional_field<Specified, &Specified::maximum_release>("maximum_release", nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef controlled_getset[] = {
    {"elevation_discharge", getter<Controlled, read_outlet_curve<Controlled>>, nullptr, curve_doc,
     nullptr},
    {"minimum_elevation", field_getter<Controlled, double, &Controlled::minimum_elevation>, nullptr,
     below_doc, nullptr},
    optional_field<Controlled, &Controlled::maximum_elevation>("maximum_elevation", above_doc),
    optional_field<Controlled, &Controlled::maximum_release>(
        "maximum_release", "Cap on the maximum allowable discharge."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef uncontrolled_getset[] = {
    {"elevation_discharge", getter<Uncontrolled, read_outlet_curve<Uncontrolled>>, nullptr,
     curve_doc, nullptr},
    optional_field<Uncontrolled, &Uncontrolled::elevation_offset>(
        "elevation_offset",
        "Additive offset applied to the reservoir elevation before curve lookup."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class Outlet>
bool try_variant(PyClass<Outlet> &cls, PyObject *o, DischargeInfo *out, bool *matched) {
    PyTypeObject *tp = cls.type();
    if (!tp) return false;
    *matched = PyObject_TypeCheck(o, tp);
    if (!*matched) return true;
    Outlet outlet;
    if (!cls.extract(o, &outlet)) return false;
    *out = std::move(outlet);
    return true;
}

} // namespace

PyClass<ElevationStorage> elevation_storage_class(
    "ElevationStorage", Py_TPFLAGS_BASETYPE,
    {
        {Py_tp_doc,
         const_cast<char *>(
             "ElevationStorage(elevation, storage)\n--\n\n"
             "Elevation-storage rating curve for a reservoir.\n\n"
             "Stores paired elevation and storage vectors and provides linear interpolation\n"
             "in both directions. Storage units must be consistent with the inflow units\n"
             "used in level pool routing (e.g., ft\u00b3 when inflow is in cfs).\n\n"
             "# Fields\n\n"
             "* `elevation` - Sorted unique elevation values in ascending order.\n"
             "* `storage` - Sorted unique storage values in ascending order, each\n"
             "  corresponding to the paired elevation.")},
        {Py_tp_new, reinterpret_cast<void *>(storage_new)},
        {Py_tp_getset, storage_getset},
        {Py_tp_methods, storage_methods},
    });

PyClass<ElevationDischarge> elevation_discharge_class(
    "ElevationDischarge", Py_TPFLAGS_BASETYPE,
    {
        {Py_tp_doc,
         const_cast<char *>(
             "ElevationDischarge(elevation, discharge)\n--\n\n"
             "Elevation-discharge rating curve for a reservoir outlet.\n\n"
             "Stores paired elevation and discharge vectors used by outlet structs to look\n"
             "up the flow rate at a given water surface elevation via linear interpolation.\n\n"
             "# Fields\n\n"
             "* `elevation` - Sorted unique elevation values in ascending order.\n"
             "* `discharge` - Discharge values in ascending order, each corresponding\n"
             "  to the paired elevation (e.g., cfs).")},
        {Py_tp_new, reinterpret_cast<void *>(discharge_curve_new)},
        {Py_tp_getset, discharge_curve_getset},
    });

PyClass<ConstantDischargeInfo> constant_discharge_class(
    "ConstantDischargeInfo", Py_TPFLAGS_BASETYPE,
    {
        {Py_tp_doc,
         const_cast<char *>(
             "ConstantDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None)"
             "\n--\n\n"
             "Constant-rate discharge outlet.\n\n"
             "Releases a fixed flow rate at every time step, optionally gated by\n"
             "elevation bounds. When the reservoir elevation is outside the specified\n"
             "range, the outlet releases zero flow.")},
        {Py_tp_new, reinterpret_cast<void *>(constant_new)},
        {Py_tp_getset, constant_getset},
    });

PyClass<SpecifiedDischargeInfo> specified_discharge_class(
    "SpecifiedDischargeInfo", Py_TPFLAGS_BASETYPE,
    {
        {Py_tp_doc,
         const_cast<char *>(
             "SpecifiedDischargeInfo(discharge, minimum_elevation=None, "
             "maximum_elevation=None, maximum_release=None)\n--\n\n"
             "Time-varying specified discharge outlet.\n\n"
             "Discharge is read directly from a `ContinuousTimeSeries` at each simulation\n"
             "time step, optionally gated by elevation bounds and a maximum release cap.")},
        {Py_tp_new, reinterpret_cast<void *>(specified_new)},
        {Py_tp_getset, specified_getset},
    });

PyClass<ControlledDischargeInfo> controlled_discharge_class(
    "ControlledDischargeInfo", Py_TPFLAGS_BASETYPE,
    {
        {Py_tp_doc,
         const_cast<char *>(
             "ControlledDischargeInfo(elevation_discharge, minimum_elevation=None, "
             "maximum_elevation=None, maximum_release=None)\n--\n\n"
             "Controlled release outlet (e.g., gate, valve, conduit).\n\n"
             "Discharge is determined by an elevation-discharge rating curve and can be\n"
             "bounded by minimum/maximum elevation gates and a maximum release cap.\n"
             "When the reservoir elevation is below `minimum_elevation` or above\n"
             "`maximum_elevation`, the outlet releases zero flow.\n\n"
             "The `minimum_elevation` defaults to the lowest elevation in the rating curve\n"
             "if not provided, ensuring no negative-elevation lookups occur.")},
        {Py_tp_new, reinterpret_cast<void *>(controlled_new)},
        {Py_tp_getset, controlled_getset},
    });

PyClass<UnControlledDischargeInfo> uncontrolled_discharge_class(
    "UnControlledDischargeInfo", Py_TPFLAGS_BASETYPE,
    {
        {Py_tp_doc,
         const_cast<char *>(
             "UnControlledDischargeInfo(elevation_discharge, elevation_offset=None)\n--\n\n"
             "Uncontrolled spillway outlet.\n\n"
             "Discharge follows an elevation-discharge rating curve without operator\n"
             "control. An optional `elevation_offset` shifts the effective reservoir\n"
             "elevation before the rating-curve lookup \u2014 useful for modeling a weir crest\n"
             "that sits at a different datum than the storage curve.\n\n"
             "Zero discharge is returned when the (offset-adjusted) elevation is below\n"
             "the first entry in the rating curve.")},
        {Py_tp_new, reinterpret_cast<void *>(uncontrolled_new)},
        {Py_tp_getset, uncontrolled_getset},
    });

bool extract_discharge_info(PyObject *o, DischargeInfo *out) {
    bool matched = false;
    if (!try_variant(uncontrolled_discharge_class, o, out, &matched)) return false;
    if (matched) return true;
    if (!try_variant(controlled_discharge_class, o, out, &matched)) return false;
    if (matched) return true;
    if (!try_variant(specified_discharge_class, o, out, &matched)) return false;
    if (matched) return true;
    if (!try_variant(constant_discharge_class, o, out, &matched)) return false;
    if (matched) return true;

    // None matched: say why each variant refused, in the order tried.
    struct Variant {
        const char *name;
        const char *cls;
    };
    static constexpr Variant variants[] = {
        {"Uncontrolled", "UnControlledDischargeInfo"},
        {"Controlled", "ControlledDischargeInfo"},
        {"Specified", "SpecifiedDischargeInfo"},
        {"Constant", "ConstantDischargeInfo"},
    };
    // Built as Python text: the cast messages carry the object's type name as
    // Python has it, a NUL or a lone surrogate included.
    Ref message(PyUnicode_FromString("failed to extract enum DischargeInfo ('Uncontrolled | "
                                     "Controlled | Specified | Constant')"));
    if (!message) return false;
    for (const Variant &v : variants) {
        raise_cast_error(o, v.cls);
        Ref cause(PyErr_GetRaisedException());
        Ref text(PyObject_Str(cause.get()));
        if (!text) return false;
        Ref line(PyUnicode_FromFormat("\n- variant %s (%s): TypeError: failed to extract field "
                                      "DischargeInfo::%s.0, caused by TypeError: %U",
                                      v.name, v.name, v.name, text.get()));
        if (!line) return false;
        message = Ref(PyUnicode_Concat(message.get(), line.get()));
        if (!message) return false;
    }
    PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

bool init_reservoir_utils(PyObject *module) {
    return add_class(module, elevation_discharge_class) &&
           add_class(module, elevation_storage_class) &&
           add_class(module, controlled_discharge_class) &&
           add_class(module, uncontrolled_discharge_class) &&
           add_class(module, specified_discharge_class) &&
           add_class(module, constant_discharge_class);
}

} // namespace basinkit::py
