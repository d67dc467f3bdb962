// NRCS curve-number loss: the cumulative excess of the cumulative rain by the
// runoff equation, the excess of each step as the difference of cumulative
// excesses. Depths in any unit; `depth_per_inch` says which (1.0 for inches,
// 25.4 for millimetres), since S = 1000/CN - 10 is in inches.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "rainfall_loss/loss_split.hpp"

#include <span>

namespace basinkit {

// Splits gross rainfall (depth per step) into excess and loss; the state is
// the cumulative rain at each step's end. The impervious share of the area
// turns all its rain into excess; the rest follows the curve number, and
// the two are weighted by area. NaN or negative rain counts as no rain.
// Refused: cn outside (0, 100], a negative ratio, impervious_pct outside
// [0, 100], depth_per_inch not above 0 (NaN fails every one).
Result<LossSplit> curve_number_rs(std::span<const double> rainfall, double cn,
                                  double initial_abstraction_ratio, double impervious_pct,
                                  double depth_per_inch, const CancelHook &cancel = {});

// As curve_number_rs, into `out` (each span as long as `rainfall`).
Result<void> curve_number_into(std::span<const double> rainfall, double cn,
                               double initial_abstraction_ratio, double impervious_pct,
                               double depth_per_inch, LossSpans out, const CancelHook &cancel = {});

} // namespace basinkit
