#include "registration_py.hpp"
namespace basinkit::py {
int init_loss(PyObject *) { return 0; }
int init_transform(PyObject *) { return 0; }
int init_baseflow(PyObject *) { return 0; }
int init_reach(PyObject *) { return 0; }
int init_reservoir(PyObject *) { return 0; }
int init_metrics(PyObject *) { return 0; }
}
