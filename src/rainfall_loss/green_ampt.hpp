// Green-Ampt infiltration under rain of constant intensity within each step,
// with ponding found inside the step (Chow, Maidment and Mays, Applied
// Hydrology, 1988, section 4.4). Depths in any unit, suction in that unit,
// conductivity in that unit per hour.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "rainfall_loss/loss_split.hpp"

#include <cstdint>
#include <span>

namespace basinkit {

// Most Newton iterations for one step's cumulative infiltration; it
// converges to the last bit in far fewer.
inline constexpr int GREEN_AMPT_MAX_ITERATIONS = 50;

// The cumulative infiltration F after `hours` of ponded infiltration from
// `f0`: the root of F - f0 - sd ln((F + sd) / (f0 + sd)) = k hours, with
// sd = suction x (saturated - initial content), by Newton's method from
// f0 + k hours.
double green_ampt_ponded(double f0, double hours, double k, double sd);

// Splits gross rainfall (depth per step of `time_step` seconds) into excess
// and loss; the state is the pervious area's cumulative infiltration at each
// step's end. The impervious share of the area turns all its rain into
// excess; the two shares are weighted by area. NaN or negative rain counts
// as no rain. Refused: contents outside 0 <= initial <= saturated <= 1, a
// negative suction, a conductivity not above 0, impervious_pct outside
// [0, 100], a step below 1 s (NaN fails every one).
Result<LossSplit> green_ampt_rs(std::span<const double> rainfall, std::int32_t time_step,
                                double initial_content, double saturated_content, double suction,
                                double conductivity, double impervious_pct,
                                const CancelHook &cancel = {});

// As green_ampt_rs, into `out` (each span as long as `rainfall`).
Result<void> green_ampt_into(std::span<const double> rainfall, std::int32_t time_step,
                             double initial_content, double saturated_content, double suction,
                             double conductivity, double impervious_pct, LossSpans out,
                             const CancelHook &cancel = {});

} // namespace basinkit
