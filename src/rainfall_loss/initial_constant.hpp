// Initial and constant loss: the rain first fills an initial loss, then the
// soil takes up to a constant rate. Depths in any unit, the rate in that
// unit per hour.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "rainfall_loss/loss_split.hpp"

#include <cstdint>
#include <span>

namespace basinkit {

// Splits gross rainfall (depth per step of `time_step` seconds) into excess
// and loss; the state is the initial loss still unfilled at each step's end.
// In the step that fills the initial loss, what rain is left meets the
// constant loss of the whole step. The impervious share of the area turns
// all its rain into excess; the two shares are weighted by area. NaN or
// negative rain counts as no rain. Refused: a negative initial loss or rate,
// impervious_pct outside [0, 100], a step below 1 s (NaN fails every one).
Result<LossSplit> initial_constant_rs(std::span<const double> rainfall, std::int32_t time_step,
                                      double initial_loss, double rate_per_hr,
                                      double impervious_pct, const CancelHook &cancel = {});

// As initial_constant_rs, into `out` (each span as long as `rainfall`).
Result<void> initial_constant_into(std::span<const double> rainfall, std::int32_t time_step,
                                   double initial_loss, double rate_per_hr, double impervious_pct,
                                   LossSpans out, const CancelHook &cancel = {});

} // namespace basinkit
