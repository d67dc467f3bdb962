// The Muskingum-Cunge reach of basinkit_model._native: the layer derives each
// sub-reach's K (seconds) and X from the channel, and the reach is routed by
// the Muskingum core. The layer warns about X itself, with the reason.
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/errors.hpp"
#include "boundary/registration.hpp"
#include "model_py.hpp"
#include "reach_routing/muskingum.hpp"

namespace basinkit::py {

namespace {

constexpr const char *params[] = {"inflow", "time_step",   "segment_k",
                                  "x",      "sub_reaches", "initial_outflow"};

PyObject *muskingum_cunge(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        PyObject *a[6];
        if (!bind({"muskingum_cunge()", params, 6}, args, nargs, kwnames, a)) return nullptr;
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
        Ref routed(to_packed(*out));
        if (!routed) return nullptr;
        Ref last(to_list(ends));
        if (!last) return nullptr;
        return PyTuple_Pack(2, routed.get(), last.get());
    });
}

} // namespace

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
