// basinkit_model._native: the private extension of the basin-model layer, on
// the same boundary toolkit as the basinkit module; it adds nothing to it.
#include "model_py.hpp"

#include "boundary/classes.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"

namespace basinkit::py {

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

OwnedDoubles::OwnedDoubles(std::size_t n)
    : raw_(LargeBufferAllocator<double>{}.allocate(n ? n : 1)), n_(n) {}

OwnedDoubles::OwnedDoubles(OwnedDoubles &&other) noexcept
    : values_(std::move(other.values_)), raw_(std::exchange(other.raw_, nullptr)),
      n_(std::exchange(other.n_, 0)) {}

OwnedDoubles::~OwnedDoubles() {
    if (raw_) LargeBufferAllocator<double>{}.deallocate(raw_, n_ ? n_ : 1);
}

namespace {

int owned_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    OwnedDoubles &d = PyClass<OwnedDoubles>::cast(self)->value;
    return export_doubles(self, view, flags, d.data(), d.size(), false);
}

PyClass<OwnedDoubles> owned_doubles(
    "OwnedDoubles", Py_TPFLAGS_DISALLOW_INSTANTIATION,
    {{Py_tp_doc, const_cast<char *>("Doubles of a basinkit_model._native result, read through "
                                    "the buffer protocol.")},
     {Py_bf_getbuffer, reinterpret_cast<void *>(owned_getbuffer)},
     {Py_bf_releasebuffer, reinterpret_cast<void *>(release_doubles)}});

} // namespace

PyObject *to_owned(OwnedDoubles doubles) {
    return owned_doubles.wrap(std::move(doubles));
}

bool check_time_step(std::int32_t seconds) {
    if (seconds >= 1) return true;
    PyErr_SetString(PyExc_ValueError, "time_step must be > 0");
    return false;
}

namespace {

int native_exec(PyObject *module) {
    return guarded_int([&]() -> int {
        // The datetime API and the internal-fault class are kept once per
        // process, so only the main interpreter may load the module (the slot
        // below only stops interpreters with a GIL of their own).
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            PyErr_SetString(PyExc_ImportError,
                            "basinkit_model._native cannot be imported in a subinterpreter: "
                            "its state is shared by the whole process");
            return -1;
        }
        if (!import_datetime()) return -1;
        PyMethodDef *defs[] = {&storage_indication_def, &level_pool_def, &muskingum_def,
                               &linear_reservoir_def, &clark_def,
                               // rainfall loss
                               &curve_number_def, &initial_constant_def, &green_ampt_def,
                               // rainfall transform
                               &nrcs_uh_def, &nrcs_gamma_shape_def, &user_uh_def, &snyder_uh_def,
                               // reach routing and baseflow
                               &muskingum_cunge_def, &lag_def, &recession_def};
        for (PyMethodDef *def : defs)
            if (!add_function(module, def)) return -1;
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(native_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
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
