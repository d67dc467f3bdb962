// What the loss bindings of basinkit_model._native share.
#pragma once

#include "boundary/errors.hpp"
#include "model_py.hpp"
#include "rainfall_loss/loss_split.hpp"

#include <cstddef>
#include <span>

namespace basinkit::py {

// (excess, loss, state) as three buffers of native doubles (see
// OwnedDoubles), n each, filled by `fill(LossSpans)` (a Result<void>). The
// core writes into them directly: no copy of the results, and NumPy reads
// them writable without one.
template <class Fill> PyObject *packed_split(std::size_t n, Fill &&fill) {
    OwnedDoubles excess(n), loss(n), state(n);
    auto done = fill(LossSpans{excess.span(), loss.span(), state.span()});
    if (!ok(done)) return nullptr;
    Ref e(to_owned(std::move(excess))), l(to_owned(std::move(loss))), s(to_owned(std::move(state)));
    if (!e || !l || !s) return nullptr;
    return PyTuple_Pack(3, e.get(), l.get(), s.get());
}

} // namespace basinkit::py
