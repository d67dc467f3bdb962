#include "areas_py.hpp"
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "metrics/kge.hpp"

namespace basinkit::py {

// Documentation strings, in one place.
namespace doc {

constexpr char calculate_kge[] = R"(calculate_kge(sim, obs, use_log=False)
--

Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.

KGE decomposes model performance into three components measured against
a perfect score of 1:

- **r** (Pearson correlation) — timing and shape agreement.
- **β = mean_sim / mean_obs** — bias ratio.
- **γ = std_sim / std_obs** — variability ratio.

The efficiency is computed as:
```text
KGE = 1 - sqrt((r-1)² + (β-1)² + (γ-1)²)
```

A KGE of 1 indicates a perfect match. Values above 0 are generally
considered acceptable. Setting `use_log = true` applies a log transform
before computing statistics, which emphasises low-flow performance.

# Arguments

* `sim` - Simulated time series.
* `obs` - Observed time series. Must have the same length as `sim`.
* `use_log` - If `true`, transforms both series with `ln(x + ε)` before
  computing statistics.

# Errors

Returns a `PyValueError` if `obs` is empty or if `sim` and `obs` have
different lengths.)";

} // namespace doc

namespace {

constexpr const char *params[] = {"sim", "obs", "use_log"};

PyObject *calculate_kge(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"calculate_kge()", params, 2};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        Values sim, obs;
        bool use_log = false;
        if (!convert_arg("sim", a[0], &sim) || !convert_arg("obs", a[1], &obs)) return nullptr;
        if (a[2] && !flag_arg("use_log", a[2], &use_log)) return nullptr;
        auto kge = kge_rs(sim, obs, use_log);
        if (!ok(kge)) return nullptr;
        return PyFloat_FromDouble(*kge);
    });
}

PyMethodDef kge_def = function_def("calculate_kge", calculate_kge, doc::calculate_kge);

} // namespace

int init_metrics(PyObject *module) {
    return add_function(module, &kge_def) ? 0 : -1;
}

} // namespace basinkit::py
