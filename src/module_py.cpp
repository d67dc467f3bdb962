// The module body: builds the submodule tree on import, plus the six
// stand-alone initialisers that expose one area each.

#include "areas_py.hpp"
#include "boundary/convert.hpp"
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

// What every module body does first. The class objects are created once per
// process, and CPython cannot share heap types between interpreters (their
// attribute caches would mix up classes), so any interpreter but the main
// one is refused before a class is created or touched. The slot that
// declares this only stops interpreters with a GIL of their own.
bool prepare_import() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "basinkit cannot be imported in a subinterpreter: "
                                           "its classes are shared by the whole process");
        return false;
    }
    return import_datetime();
}

int basinkit_exec(PyObject *module) {
    return guarded_int([&]() -> int {
        if (!prepare_import()) return -1;
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
    return guarded_int([&]() -> int { return prepare_import() ? Init(module) : -1; });
}

#define BASINKIT_SLOTS(exec_fn)                                                                    \
    {                                                                                              \
        {Py_mod_exec, reinterpret_cast<void *>(exec_fn)},                                          \
            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},            \
            {Py_mod_gil, Py_MOD_GIL_NOT_USED}, {                                                   \
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

// Each module's entry point, under the name the interpreter looks for.
#define BASINKIT_MODULE_INIT(name, def)                                                            \
    PyMODINIT_FUNC PyInit_##name() {                                                               \
        return PyModuleDef_Init(&basinkit::py::def);                                               \
    }

BASINKIT_MODULE_INIT(basinkit, basinkit_def)
BASINKIT_MODULE_INIT(init_loss, loss_def)
BASINKIT_MODULE_INIT(init_transform, transform_def)
BASINKIT_MODULE_INIT(init_baseflow, baseflow_def)
BASINKIT_MODULE_INIT(init_reach, reach_def)
BASINKIT_MODULE_INIT(init_reservoir, reservoir_def)
BASINKIT_MODULE_INIT(init_metrics, metrics_def)
