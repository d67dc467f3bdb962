// Level pool routing: a reservoir whose storage, elevation and releases depend
// only on its water level, integrated in explicit one-second steps.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"
#include "utils/time_series.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace basinkit {

// Records taken at multiples of the inflow's time step: n - 1 values each for
// n >= 2 inflow values; for n = 1 only the initial storage and elevation.
struct LevelPoolOutput {
    Values storage;   // inflow unit x seconds
    Values elevation; // curve unit
    Values total;     // summed release, inflow unit
    // One record per outlet, in visiting order (empty when none was recorded).
    std::vector<std::pair<std::string, Values>> outflows;
    // Volume (inflow unit x seconds) the outlets released over the steps that
    // advanced the storage, summed step by step: the records alone cannot
    // give it, as they hold one release in every time step. Level pool only
    // (storage indication leaves it 0.0).
    double released = 0.0;
};

// Where outlet `k` failed at `t` seconds with the pool at `elevation`: its
// rating read above its end, or a schedule read past its end (no quantity).
inline ErrorContext outlet_failure(const DischargeInfo &outlet, double t, double elevation,
                                   std::size_t k) {
    if (std::holds_alternative<SpecifiedDischargeInfo>(outlet))
        return {t, std::nullopt, std::nullopt, k};
    return {t, Lookup::Elevation, elevation, k};
}

// Routes `inflow` (time step of at least one second) through the reservoir.
// Outlets are visited in the order given; names are expected to be unique.
// `cancel` may stop the integration early (an Interrupted error). A failed
// lookup carries its place (time, value, outlet) as the error's context.
Result<LevelPoolOutput>
level_pool_routing_rs(const TimeSeries &inflow, double initial_elevation,
                      const ElevationStorage &curve,
                      const std::vector<std::pair<std::string, DischargeInfo>> &outlets,
                      const CancelHook &cancel = {});

} // namespace basinkit
