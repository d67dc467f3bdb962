// The Muskingum reaches of basinkit_model._native: the routed outflow and the
// last value of every pass, from which the layer finds each sub-reach's
// storage without routing the passes again. For Muskingum-Cunge the layer
// derives each sub-reach's K (seconds) and X from the channel and warns about
// X itself, with the reason.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "reach_routing/muskingum.hpp"

namespace basinkit::py {

namespace {

// (the outflow packed, the last outflow of every pass as a list).
PyObject *routed_and_ends(std::span<const double> routed, std::span<const double> ends) {
    Ref out(to_packed(routed));
    if (!out) return nullptr;
    Ref last(to_list(ends));
    if (!last) return nullptr;
    return PyTuple_Pack(2, out.get(), last.get());
}

constexpr const char *params[] = {"inflow", "time_step",   "k",
                                  "x",      "sub_reaches", "initial_outflow"};

PyObject *muskingum(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"muskingum()", params, 6};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        TimeSeries inflow;
        double x, initial_outflow;
        std::int64_t sub_reaches;
        if (!series_args("inflow", a[0], a[1], &inflow) || !timedelta_arg("k", a[2]) ||
            !convert_arg("x", a[3], &x) || !convert_arg("sub_reaches", a[4], &sub_reaches) ||
            !convert_arg("initial_outflow", a[5], &initial_outflow))
            return nullptr;
        // Warned where the public call warns, before `k` is taken.
        if (muskingum_x_out_of_range(x) &&
            !warn("`x` is outside the recommended range [0.0, 0.5]."))
            return nullptr;
        Duration k;
        if (!to_duration(a[2], &k)) return nullptr;
        Values ends;
        auto out = muskingum_reach_rs(inflow.data, inflow.time_step, k, x, sub_reaches,
                                      initial_outflow, signal_cancel(), &ends);
        if (!ok(out)) return nullptr;
        return routed_and_ends(*out, ends);
    });
}

constexpr const char *cunge_params[] = {"inflow", "time_step",   "segment_k",
                                        "x",      "sub_reaches", "initial_outflow"};

PyObject *muskingum_cunge(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature sig{"muskingum_cunge()", cunge_params, 6};
    return bound(sig, args, nargs, kwnames, [&](PyObject **a) -> PyObject * {
        TimeSeries inflow;
        double segment_k, x, initial_outflow;
        std::int64_t sub_reaches;
        if (!series_args("inflow", a[0], a[1], &inflow) ||
            !convert_arg("segment_k", a[2], &segment_k) || !convert_arg("x", a[3], &x) ||
            !convert_arg("sub_reaches", a[4], &sub_reaches) ||
            !convert_arg("initial_outflow", a[5], &initial_outflow))
            return nullptr;
        if (!(segment_k >= 0.0)) {
            PyErr_SetString(PyExc_ValueError, "segment_k must be >= 0");
            return nullptr;
        }
        Values ends;
        auto out =
            muskingum_segments_rs(inflow.data, static_cast<double>(inflow.time_step), segment_k, x,
                                  sub_reaches, initial_outflow, signal_cancel(), &ends);
        if (!ok(out)) return nullptr;
        Ref routed(to_owned(std::move(*out)));
        if (!routed) return nullptr;
        Ref last(to_list(ends));
        if (!last) return nullptr;
        return PyTuple_Pack(2, routed.get(), last.get());
    });
}

} // namespace

PyMethodDef muskingum_def =
    function_def("muskingum", muskingum,
                 R"(muskingum(inflow, time_step, k, x, sub_reaches, initial_outflow)
--

Muskingum routing of `inflow` (one value every `time_step` seconds) as
basinkit.reach.run_muskingum_routing routes ContinuousTimeSeries(inflow,
time_step), warning alike for `x` outside [0.0, 0.5].

Returns (outflow, pass_ends): the outflow packed in bytes (native float64),
and the last outflow of every pass in pass order, a list of `sub_reaches`
floats.)");

PyMethodDef muskingum_cunge_def =
    function_def("muskingum_cunge", muskingum_cunge,
                 R"(muskingum_cunge(inflow, time_step, segment_k, x, sub_reaches, initial_outflow)
--

Muskingum routing of `inflow` (one value every `time_step` seconds) through
`sub_reaches` equal sub-reaches of constant `segment_k` seconds each and
weighting `x`, the first pass starting at `initial_outflow`.

Returns (outflow, pass_ends): the outflow packed in bytes (native float64),
and the last outflow of every pass in pass order.)");

} // namespace basinkit::py
