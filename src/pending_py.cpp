#include "registration_py.hpp"
namespace basinkit::py {
int init_reservoir(PyObject *) { return 0; }
}
