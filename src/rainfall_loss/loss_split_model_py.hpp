// What the loss bindings of basinkit_model._native share.
#pragma once

#include "boundary/errors.hpp"
#include "model_py.hpp"
#include "rainfall_loss/loss_split.hpp"

#include <cstddef>
#include <span>

namespace basinkit::py {

// (excess, loss, state) as three bytearrays of native doubles, n each, filled
// by `fill(LossSpans)` (a Result<void>). The core writes into them directly:
// no copy of the results, and NumPy reads them writable without one.
template <class Fill> PyObject *packed_split(std::size_t n, Fill &&fill) {
    const auto bytes = static_cast<Py_ssize_t>(n * sizeof(double));
    Ref excess(PyByteArray_FromStringAndSize(nullptr, bytes)),
        loss(PyByteArray_FromStringAndSize(nullptr, bytes)),
        state(PyByteArray_FromStringAndSize(nullptr, bytes));
    if (!excess || !loss || !state) return nullptr;
    auto span = [n](PyObject *o) {
        return std::span<double>(reinterpret_cast<double *>(PyByteArray_AS_STRING(o)), n);
    };
    auto done = fill(LossSpans{span(excess.get()), span(loss.get()), span(state.get())});
    if (!ok(done)) return nullptr;
    return PyTuple_Pack(3, excess.get(), loss.get(), state.get());
}

} // namespace basinkit::py
