// Lag routing: the outflow is the inflow delayed by a fixed time, with no
// attenuation. A lag that is not a whole number of steps is taken as linear
// interpolation between the two neighbouring whole-step shifts.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/large_buffer.hpp"

#include <span>

namespace basinkit {

// The inflow (one value every `dt` seconds) delayed by `lag` seconds. Before
// its first value the inflow is taken as steady at that value, so the reach
// starts full of it. With lag = (m + f) dt, 0 <= f < 1:
//     out[i] = (1 - f) in[i - m] + f in[i - m - 1]
// in that order, with in[j] = in[0] for j < 0; f = 0 gives the shift exactly.
// `lag` must be finite and >= 0, `dt` > 0, and the inflow not empty.
Result<Values> lag_rs(std::span<const double> inflow, double dt, double lag,
                      const CancelHook &cancel = {});
// The same into `out` of inflow.size() values, each written once, so that a
// caller may hand over memory it has not initialised.
Result<void> lag_into(std::span<const double> inflow, double dt, double lag, std::span<double> out,
                      const CancelHook &cancel = {});

} // namespace basinkit
