// What the loss bindings of basinkit_model._native share.
#pragma once

#include "model_py.hpp"
#include "rainfall_loss/loss_split.hpp"

namespace basinkit::py {

// (excess, loss, state), each packed.
inline PyObject *packed_split(const LossSplit &split) {
    Ref excess(to_packed(split.excess)), loss(to_packed(split.loss)), state(to_packed(split.state));
    if (!excess || !loss || !state) return nullptr;
    return PyTuple_Pack(3, excess.get(), loss.get(), state.get());
}

} // namespace basinkit::py
