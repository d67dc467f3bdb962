// Unit hydrographs given as ordinates on the run's step, and the scaling and
// convolution that every ordinate-based transform (NRCS, Snyder, a user's
// table) shares. Excess in depth units per step, discharge in flow units;
// `unit_volume` is the volume (flow x seconds) of one depth unit over the
// basin, so the cores need no unit system of their own.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/large_buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace basinkit {

// Largest number of unit-hydrograph ordinates held in memory.
inline constexpr std::size_t UH_MAX_ORDINATES = 100'000'000;

// Scales `shape` (u_0 = 0 and a last value of 0) in place so that it holds
// `unit_volume` on steps of `dt` seconds: total = sum of shape_k from 0.0 in
// increasing k, factor = unit_volume / (dt * total), u_k = shape_k * factor.
// A ValueError when the total is not finite and positive.
Result<void> scale_to_unit_volume(std::span<double> shape, double dt, double unit_volume);

// Discharge of `excess` through the ordinates `uh`: L + m - 1 values,
// q_j = sum over i of p_i * u_(j-i) from 0.0 in increasing i, zero excess
// (either sign) skipped. `cancel` may stop it (an Interrupted error).
Result<Values> convolve_unit_hydrograph(std::span<const double> excess, std::span<const double> uh,
                                        const CancelHook &cancel = {});
// How many values that convolution gives: L + m - 1, or L when either is empty.
inline std::size_t convolved_size(std::size_t len, std::size_t m) {
    return len == 0 || m == 0 ? len : len + m - 1;
}
// The same into `q` of convolved_size values, which need not be initialised:
// each block of rows zeroes only the values it is the first to reach, just
// before adding to them, so the result is written in one pass.
Result<void> convolve_unit_hydrograph_into(std::span<const double> excess,
                                           std::span<const double> uh, std::span<double> q,
                                           const CancelHook &cancel = {});

// `shape` closed by a last 0 and scaled to hold `unit_volume` (as above).
Result<std::vector<double>> closed_unit_hydrograph(std::vector<double> shape, double dt,
                                                   double unit_volume);

// The runoff of `excess` through `uh`, or the error that kept `uh` from
// being made.
Result<Values> convolve_made(std::span<const double> excess, const Result<std::vector<double>> &uh,
                             const CancelHook &cancel);

// A user's unit hydrograph: `ordinates` at 0, dt, 2 dt, ... (flow per depth
// unit), the first 0; a 0 is appended when the last is not, so the curve
// falls to zero within a step. Its volume dt * sum must lie within 1 % of
// `unit_volume` unless `normalise`; it is then scaled to hold exactly one
// unit. The scaled ordinates.
Result<std::vector<double>> user_unit_hydrograph(std::int32_t time_step,
                                                 std::span<const double> ordinates,
                                                 double unit_volume, bool normalise);

// The direct runoff of `excess` through the user's unit hydrograph.
Result<Values> user_uh_rs(std::span<const double> excess, std::int32_t time_step,
                          std::span<const double> ordinates, double unit_volume, bool normalise,
                          const CancelHook &cancel = {});

} // namespace basinkit
