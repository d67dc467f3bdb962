// Linear reservoir baseflow: named groundwater layers, each taking a fixed
// share of the infiltrated depth through a chain of identical linear
// reservoirs. Area in acres, rainfall in inches per step, discharge in cfs.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/duration.hpp"
#include "utils/large_buffer.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace basinkit {

// One groundwater layer.
struct LinearReservoirConfig {
    std::int32_t k_duration;     // storage constant K of the whole chain, whole seconds
    double gw_fraction;          // share of the infiltrated depth feeding this layer
    double initial_q;            // discharge each reservoir holds before the first step (cfs)
    std::uint64_t num_reservoir; // reservoirs in series; 0 leaves the inflow unrouted
};

// The total over all layers and each layer's own series, in processing order.
struct BaseflowOutput {
    Values total;
    std::vector<std::pair<std::string, Values>> components;
};

// Longest reservoir chain whose state is allocated.
inline constexpr std::uint64_t MAX_RESERVOIR_CHAIN = 100'000'000;

// Validates a layer as the constructor does: K in whole seconds (saturated to
// 32 bits) of at least 1, a fraction within [0, 1] (NaN passes), at least one
// reservoir.
Result<LinearReservoirConfig> make_linear_reservoir(Duration k, double gw_fraction,
                                                    double initial_q, std::uint64_t num_reservoir);

// Routes `rainfall` (steps of `time_step` seconds) through every layer, in the
// order given. Fails on fractions summing above 1.000001, then on the first
// unstable layer, then on a chain too long to allocate; nothing partial.
// `cancel` may stop the routing early (an Interrupted error). When given,
// `chain_ends` receives, per layer in order, the discharge of every reservoir
// of its chain after the last step: what the chain still holds follows from
// them, and the series give only each chain's last reservoir.
Result<BaseflowOutput>
linear_reservoir_rs(double basin_area, std::span<const double> rainfall, std::int32_t time_step,
                    const std::vector<std::pair<std::string, LinearReservoirConfig>> &layers,
                    const CancelHook &cancel = {}, std::vector<Values> *chain_ends = nullptr);

} // namespace basinkit
