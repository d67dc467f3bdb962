// Fixed-rate release, zero outside optional elevation gates.
#pragma once

#include "error.hpp"

#include <cstdint>
#include <optional>

namespace basinkit {

// Zero-release test of the optional elevation gates. Both tests are strict,
// so an elevation exactly at a gate releases; a NaN elevation passes both.
inline bool outside_gates(double elevation, const std::optional<double> &minimum_elevation,
                          const std::optional<double> &maximum_elevation) {
    return (minimum_elevation && elevation < *minimum_elevation) ||
           (maximum_elevation && elevation > *maximum_elevation);
}

struct ConstantDischargeInfo {
    double discharge = 0.0;
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;

    double release(double elevation) const {
        return outside_gates(elevation, minimum_elevation, maximum_elevation) ? 0.0 : discharge;
    }

    Result<double> get_discharge(double elevation, std::optional<std::int64_t>) const {
        return release(elevation);
    }

    // Nothing to prepare: the rule cannot fail. Borrows the outlet.
    class Prepared {
      public:
        explicit Prepared(const ConstantDischargeInfo &outlet) : outlet_(&outlet) {}
        std::optional<double> try_get_discharge(double elevation, std::optional<std::int64_t>) {
            return outlet_->release(elevation);
        }

      private:
        const ConstantDischargeInfo *outlet_;
    };
};

} // namespace basinkit
