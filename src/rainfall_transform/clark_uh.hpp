// Clark unit hydrograph: a time-area curve spreads one inch of excess over
// the time of concentration, a linear reservoir attenuates it, and the result
// is convolved with the rainfall. Rainfall in inches per step, area in acres,
// discharge in cfs.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/duration.hpp"
#include "utils/large_buffer.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace basinkit {

// Ordinates of the unit hydrograph (cfs per inch of excess) in two parts:
// `head`, U_0 = 0.0 and the n = max(1, ceil(tc / dt)) ordinates while
// translated inflow arrives, and `recession`, the reservoir draining
// afterwards with zero inflow. Together they hold one inch over the basin.
struct ClarkUnitHydrograph {
    std::vector<double> head;
    std::vector<double> recession;
    double c2 = 0.0; // the reservoir's weight on its previous outflow
};

// Largest number of translation ordinates held in memory.
inline constexpr std::uint64_t CLARK_MAX_ORDINATES = 100'000'000;
// Longest recession kept after the translation ordinates.
inline constexpr std::size_t CLARK_MAX_RECESSION = 1'000'000;

// The unit hydrograph for a step of `time_step` seconds (at least 1) and a
// `tc_s` of zero or more; `storage_r_s` is the reservoir constant R in
// seconds. The recession continues while each ordinate's magnitude exceeds
// 1e-9 of the largest so far. `cancel` may stop it early (an Interrupted
// error), as in clark_uh_rs.
Result<ClarkUnitHydrograph> clark_unit_hydrograph(std::int32_t time_step, double basin_area,
                                                  double tc_s, double storage_r_s,
                                                  const CancelHook &cancel = {});

// Kernels of the convolution of finite rainfall; every kernel gives the same
// values to the last bit.
enum class ConvolutionKernel {
    Fastest,  // four lanes where the processor has AVX2, else Portable
    Portable, // two lanes, on every processor
};

// What `kernel` runs on this processor: "avx2" or "portable".
const char *kernel_name(ConvolutionKernel kernel);

// Where the unit hydrograph was cut: its ordinate count, its last ordinate
// and the reservoir's recession coefficient c2 (each recession ordinate is c2
// times the one before). Beyond the cut the recession would go on
// geometrically; `cut_tail` is the sum it would still give, as the unit
// response (the result for one 1.0 of excess) sums it.
struct ClarkUnitEnd {
    std::size_t ordinates = 0;
    double last = 0.0;
    double c2 = 0.0;

    double cut_tail() const {
        if (ordinates < 2 || !(std::fabs(c2) < 1.0)) return 0.0;
        // The convolution's value for one 1.0 of excess: a sum from 0.0.
        const double unit_last = 0.0 + 1.0 * last;
        return unit_last * c2 / (1.0 - c2);
    }
};

// Discharge for the excess `rainfall`: L + m - 1 values for L rainfall values
// and m unit-hydrograph ordinates; L zeros for a step below 1 s. `cancel` may
// stop it early (an Interrupted error). When given, `unit_end` receives where
// the unit hydrograph was cut (no ordinates for a step below 1 s).
Result<Values> clark_uh_rs(std::span<const double> rainfall, std::int32_t time_step,
                           double basin_area, Duration tc, Duration storage_r,
                           ConvolutionKernel kernel = ConvolutionKernel::Fastest,
                           const CancelHook &cancel = {}, ClarkUnitEnd *unit_end = nullptr);

} // namespace basinkit
