#include "boundary_py.hpp"
#include "metrics/kge.hpp"
#include "registration_py.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"sim", "obs", "use_log"};

PyObject *calculate_kge(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        PyObject *a[3];
        if (!bind({"calculate_kge()", params, 2}, args, nargs, kwnames, a)) return nullptr;
        Values sim, obs;
        bool use_log = false;
        if (!convert_arg("sim", a[0], &sim) || !convert_arg("obs", a[1], &obs)) return nullptr;
        if (a[2] && !flag_arg("use_log", a[2], &use_log)) return nullptr;
        auto kge = kge_rs(sim, obs, use_log);
        if (!ok(kge)) return nullptr;
        return PyFloat_FromDouble(*kge);
    });
}

PyMethodDef kge_def =
    function_def("calculate_kge", calculate_kge,
                 "calculate_kge(sim, obs, use_log=False)\n--\n\n"
                 "Calculates the Kling-Gupta Efficiency (KGE) between simulated and "
                 "observed series.\n\n"
                 "KGE decomposes model performance into three components measured against\n"
                 "a perfect score of 1:\n\n"
                 "- **r** (Pearson correlation) \u2014 timing and shape agreement.\n"
                 "- **\u03b2 = mean_sim / mean_obs** \u2014 bias ratio.\n"
                 "- **\u03b3 = std_sim / std_obs** \u2014 variability ratio.\n\n"
                 "The efficiency is computed as:\n"
                 "```text\n"
                 "KGE = 1 - sqrt((r-1)\u00b2 + (\u03b2-1)\u00b2 + (\u03b3-1)\u00b2)\n"
                 "```\n\n"
                 "A KGE of 1 indicates a perfect match. Values above 0 are generally\n"
                 "considered acceptable. Setting `use_log = true` applies a log transform\n"
                 "before computing statistics, which emphasises low-flow performance.\n\n"
                 "# Arguments\n\n"
                 "* `sim` - Simulated time series.\n"
                 "* `obs` - Observed time series. Must have the same length as `sim`.\n"
                 "* `use_log` - If `true`, transforms both series with `ln(x + \u03b5)` "
                 "before\n"
                 "  computing statistics.\n\n"
                 "# Errors\n\n"
                 "Returns a `PyValueError` if `obs` is empty or if `sim` and `obs` have\n"
                 "different lengths.");

} // namespace

int init_metrics(PyObject *module) {
    return add_function(module, &kge_def) ? 0 : -1;
}

} // namespace basinkit::py
