// Deficit-and-constant rainfall loss: a constant infiltration rate, then a
// soil moisture deficit that recovers exponentially towards its maximum.
// Depths in inches, the loss rate in inches per hour.
#pragma once

#include "error.hpp"
#include "utils/duration.hpp"
#include "utils/large_buffer.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace basinkit {

// One value per rainfall step each; `deficit` is the state at the step's end.
struct DeficitConstantOutput {
    Values excess;
    Values loss;
    Values deficit;
};

// Splits gross rainfall (inches per step of `time_step` seconds) into excess
// and loss. Nothing is validated: NaN or negative rain counts as no rain.
Result<DeficitConstantOutput> deficit_and_constant_rs(std::span<const double> rainfall,
                                                      std::int32_t time_step,
                                                      double initial_deficit, double max_deficit,
                                                      double constant_loss_per_hr,
                                                      Duration time_to_dry);

} // namespace basinkit
