// Registration bodies: each fills one submodule with its members, in order.
// Each area's binding file defines its own; the module body and the
// stand-alone initialisers call them.
#pragma once

#include "boundary/ref.hpp"

namespace basinkit::py {

int init_utils(PyObject *module);
int init_loss(PyObject *module);
int init_transform(PyObject *module);
int init_baseflow(PyObject *module);
int init_reach(PyObject *module);
int init_reservoir(PyObject *module);
int init_metrics(PyObject *module);

} // namespace basinkit::py
