#include "reservoir_routing/reservoir_utils/reservoir_utils_py.hpp"
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

constexpr char get_storage[] = R"(get_storage($self, elevation)
--

Interpolates the storage corresponding to a given elevation.

# Arguments

* `elevation` - Elevation value to look up.

# Returns

The interpolated storage, or a `PyValueError` if `elevation` is outside
the range of the stored curve.)";

constexpr char get_elevation[] = R"(get_elevation($self, storage)
--

Interpolates the elevation corresponding to a given storage value.

# Arguments

* `storage` - Storage value to look up.

# Returns

The interpolated elevation.)";

constexpr char below[] = R"(Elevation below which no discharge occurs.)";

constexpr char above[] = R"(Elevation above which no discharge occurs.)";

constexpr char curve[] = R"(Rating curve mapping elevation to discharge.)";

constexpr char constant_discharge[] = R"(Constant discharge rate (e.g., cfs).)";

constexpr char specified_discharge[] =
    R"(Time series of prescribed outflow values (kind=discharge).)";

constexpr char maximum_release[] = R"(Cap on the maximum allowable discharge.)";

constexpr char elevation_offset[] =
    R"(Additive offset applied to the reservoir elevation before curve lookup.)";

constexpr char elevation_storage[] = R"(ElevationStorage(elevation, storage)
--

Elevation-storage rating curve for a reservoir.

Stores paired elevation and storage vectors and provides linear interpolation
in both directions. Storage units must be consistent with the inflow units
used in level pool routing (e.g., ft³ when inflow is in cfs).

# Fields

* `elevation` - Sorted unique elevation values in ascending order.
* `storage` - Sorted unique storage values in ascending order, each
  corresponding to the paired elevation.)";

constexpr char elevation_discharge[] = R"(ElevationDischarge(elevation, discharge)
--

Elevation-discharge rating curve for a reservoir outlet.

Stores paired elevation and discharge vectors used by outlet structs to look
up the flow rate at a given water surface elevation via linear interpolation.

# Fields

* `elevation` - Sorted unique elevation values in ascending order.
* `discharge` - Discharge values in ascending order, each corresponding
  to the paired elevation (e.g., cfs).)";

constexpr char constant[] =
    R"(ConstantDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None)
--

Constant-rate discharge outlet.

Releases a fixed flow rate at every time step, optionally gated by
elevation bounds. When the reservoir elevation is outside the specified
range, the outlet releases zero flow.)";

constexpr char specified[] =
    R"(SpecifiedDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)
--

Time-varying specified discharge outlet.

Discharge is read directly from a `ContinuousTimeSeries` at each simulation
time step, optionally gated by elevation bounds and a maximum release cap.)";

constexpr char controlled[] =
    R"(ControlledDischargeInfo(elevation_discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)
--

Controlled release outlet (e.g., gate, valve, conduit).

Discharge is determined by an elevation-discharge rating curve and can be
bounded by minimum/maximum elevation gates and a maximum release cap.
When the reservoir elevation is below `minimum_elevation` or above
`maximum_elevation`, the outlet releases zero flow.

The `minimum_elevation` defaults to the lowest elevation in the rating curve
if not provided, ensuring no negative-elevation lookups occur.)";

constexpr char uncontrolled[] =
    R"(UnControlledDischargeInfo(elevation_discharge, elevation_offset=None)
--

Uncontrolled spillway outlet.

Discharge follows an elevation-discharge rating curve without operator
control. An optional `elevation_offset` shifts the effective reservoir
elevation before the rating-curve lookup — useful for modeling a weir crest
that sits at a different datum than the storage curve.

Zero discharge is returned when the (offset-adjusted) elevation is below
the first entry in the rating curve.)";

} // namespace doc

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
    const char *names[] = {"elevation", Second};
    const Signature sig{callable, names, 2};
    return bound(sig, args, kwargs, [&](PyObject **a) -> PyObject * {
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
    const char *names[] = {param};
    const Signature sig{callable, names, 1};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
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
    method_def("get_storage", get_storage, doc::get_storage),
    method_def("get_elevation", get_elevation, doc::get_elevation),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- outlets

using Opt = std::optional<double>;

PyObject *constant_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static constexpr const char *names[] = {"discharge", "minimum_elevation", "maximum_elevation"};
    const Signature sig{"ConstantDischargeInfo.__new__()", names, 1};
    return bound(sig, args, kwargs, [&](PyObject **a) -> PyObject * {
        ConstantDischargeInfo o;
        if (!convert_arg("discharge", a[0], &o.discharge) ||
            !convert_arg("minimum_elevation", a[1], &o.minimum_elevation) ||
            !convert_arg("maximum_elevation", a[2], &o.maximum_elevation))
            return nullptr;
        return PyClass<ConstantDischargeInfo>::wrap(type, std::move(o));
    });
}

PyObject *specified_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static constexpr const char *names[] = {"discharge", "minimum_elevation", "maximum_elevation",
                                            "maximum_release"};
    const Signature sig{"SpecifiedDischargeInfo.__new__()", names, 1};
    return bound(sig, args, kwargs, [&](PyObject **a) -> PyObject * {
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
    static constexpr const char *names[] = {"elevation_discharge", "minimum_elevation",
                                            "maximum_elevation", "maximum_release"};
    const Signature sig{"ControlledDischargeInfo.__new__()", names, 1};
    return bound(sig, args, kwargs, [&](PyObject **a) -> PyObject * {
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
    static constexpr const char *names[] = {"elevation_discharge", "elevation_offset"};
    const Signature sig{"UnControlledDischargeInfo.__new__()", names, 1};
    return bound(sig, args, kwargs, [&](PyObject **a) -> PyObject * {
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

PyGetSetDef constant_getset[] = {
    {"discharge", field_getter<Constant, double, &Constant::discharge>, nullptr,
     doc::constant_discharge, nullptr},
    optional_field<Constant, &Constant::minimum_elevation>("minimum_elevation", doc::below),
    optional_field<Constant, &Constant::maximum_elevation>("maximum_elevation", doc::above),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef specified_getset[] = {
    {"discharge", getter<Specified, read_specified_series>, nullptr, doc::specified_discharge,
     nullptr},
    optional_field<Specified, &Specified::minimum_elevation>("minimum_elevation", nullptr),
    optional_field<Specified, &Specified::maximum_elevation>("maximum_elevation", nullptr),
    optional_field<Specified, &Specified::maximum_release>("maximum_release", nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef controlled_getset[] = {
    {"elevation_discharge", getter<Controlled, read_outlet_curve<Controlled>>, nullptr, doc::curve,
     nullptr},
    {"minimum_elevation", field_getter<Controlled, double, &Controlled::minimum_elevation>, nullptr,
     doc::below, nullptr},
    optional_field<Controlled, &Controlled::maximum_elevation>("maximum_elevation", doc::above),
    optional_field<Controlled, &Controlled::maximum_release>("maximum_release",
                                                             doc::maximum_release),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef uncontrolled_getset[] = {
    {"elevation_discharge", getter<Uncontrolled, read_outlet_curve<Uncontrolled>>, nullptr,
     doc::curve, nullptr},
    optional_field<Uncontrolled, &Uncontrolled::elevation_offset>("elevation_offset",
                                                                  doc::elevation_offset),
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

PyClass<ElevationStorage> elevation_storage_class("ElevationStorage", Py_TPFLAGS_BASETYPE,
                                                  value_slots(doc::elevation_storage, storage_new,
                                                              storage_getset,
                                                              {{Py_tp_methods, storage_methods}}));

PyClass<ElevationDischarge> elevation_discharge_class("ElevationDischarge", Py_TPFLAGS_BASETYPE,
                                                      value_slots(doc::elevation_discharge,
                                                                  discharge_curve_new,
                                                                  discharge_curve_getset));

PyClass<ConstantDischargeInfo>
    constant_discharge_class("ConstantDischargeInfo", Py_TPFLAGS_BASETYPE,
                             value_slots(doc::constant, constant_new, constant_getset));

PyClass<SpecifiedDischargeInfo>
    specified_discharge_class("SpecifiedDischargeInfo", Py_TPFLAGS_BASETYPE,
                              value_slots(doc::specified, specified_new, specified_getset));

PyClass<ControlledDischargeInfo>
    controlled_discharge_class("ControlledDischargeInfo", Py_TPFLAGS_BASETYPE,
                               value_slots(doc::controlled, controlled_new, controlled_getset));

PyClass<UnControlledDischargeInfo> uncontrolled_discharge_class(
    "UnControlledDischargeInfo", Py_TPFLAGS_BASETYPE,
    value_slots(doc::uncontrolled, uncontrolled_new, uncontrolled_getset));

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
