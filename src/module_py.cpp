// The module body: builds the submodule tree on import, plus the six
// stand-alone initialisers that expose one area each.

#include "areas_py.hpp"
#include "boundary/errors.hpp"
#include "boundary/ref.hpp"
#include "boundary/registration.hpp"

namespace basinkit::py {

namespace {

struct Area {
    const char *name;
    int (*init)(PyObject *);
};

// Submodules in the order they are attached to the top module.
constexpr Area areas[] = {
    {"utils", init_utils},         {"reach", init_reach},
    {"reservoir", init_reservoir}, {"rainfall_transform", init_transform},
    {"rainfall_loss", init_loss},  {"baseflow", init_baseflow},
    {"metrics", init_metrics},
};

int basinkit_exec(PyObject *module) {
    return guarded_int([&]() -> int {
        if (!PyModule_Check(module)) {
            raise_cast_error(module, "PyModule");
            return -1;
        }
        for (const Area &area : areas) {
            Ref sub(new_module(area.name));
            if (!sub) return -1;
            if (area.init(sub.get()) < 0) return -1;
            if (!add_submodule(module, sub.get())) return -1;
        }
        return 0;
    });
}

template <int (*Init)(PyObject *)> int standalone_exec(PyObject *module) {
    return guarded_int([&]() -> int { return Init(module); });
}

#define BASINKIT_SLOTS(exec_fn)                                                                    \
    {                                                                                              \
        {Py_mod_exec, reinterpret_cast<void *>(exec_fn)}, {Py_mod_gil, Py_MOD_GIL_NOT_USED}, {     \
            0, nullptr                                                                             \
        }                                                                                          \
    }

PyModuleDef_Slot basinkit_slots[] = BASINKIT_SLOTS(basinkit_exec);
PyModuleDef_Slot loss_slots[] = BASINKIT_SLOTS(standalone_exec<init_loss>);
PyModuleDef_Slot transform_slots[] = BASINKIT_SLOTS(standalone_exec<init_transform>);
PyModuleDef_Slot baseflow_slots[] = BASINKIT_SLOTS(standalone_exec<init_baseflow>);
PyModuleDef_Slot reach_slots[] = BASINKIT_SLOTS(standalone_exec<init_reach>);
PyModuleDef_Slot reservoir_slots[] = BASINKIT_SLOTS(standalone_exec<init_reservoir>);
PyModuleDef_Slot metrics_slots[] = BASINKIT_SLOTS(standalone_exec<init_metrics>);

constexpr PyModuleDef make_def(const char *name, PyModuleDef_Slot *slots) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name, "", 0, nullptr, slots, nullptr, nullptr, nullptr};
}

} // namespace

PyModuleDef basinkit_def = make_def("basinkit", basinkit_slots);
PyModuleDef loss_def = make_def("init_loss", loss_slots);
PyModuleDef transform_def = make_def("init_transform", transform_slots);
PyModuleDef baseflow_def = make_def("init_baseflow", baseflow_slots);
PyModuleDef reach_def = make_def("init_reach", reach_slots);
PyModuleDef reservoir_def = make_def("init_reservoir", reservoir_slots);
PyModuleDef metrics_def = make_def("init_metrics", metrics_slots);

} // namespace basinkit::py

PyMODINIT_FUNC PyInit_basinkit() {
    return PyModuleDef_Init(&basinkit::py::basinkit_def);
}
PyMODINIT_FUNC PyInit_init_loss() {
    return PyModuleDef_Init(&basinkit::py::loss_def);
}
PyMODINIT_FUNC PyInit_init_transform() {
    return PyModuleDef_Init(&basinkit::py::transform_def);
}
PyMODINIT_FUNC PyInit_init_baseflow() {
    return PyModuleDef_Init(&basinkit::py::baseflow_def);
}
PyMODINIT_FUNC PyInit_init_reach() {
    return PyModuleDef_Init(&basinkit::py::reach_def);
}
PyMODINIT_FUNC PyInit_init_reservoir() {
    return PyModuleDef_Init(&basinkit::py::reservoir_def);
}
PyMODINIT_FUNC PyInit_init_metrics() {
    return PyModuleDef_Init(&basinkit::py::metrics_def);
}
