// Uncontrolled spillway or weir: a rating curve read at the reservoir
// elevation plus an optional datum offset; no gates, no cap.
#pragma once

#include "error.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

#include <cstdint>
#include <optional>

namespace basinkit {

struct UnControlledDischargeInfo {
    ElevationDischarge elevation_discharge;
    std::optional<double> elevation_offset;

    // Elevation on the curve's datum. Without an offset 0.0 is still added,
    // which turns -0.0 into 0.0.
    double shifted(double elevation) const {
        return elevation + (elevation_offset ? *elevation_offset : 0.0);
    }

    Result<double> get_discharge(double elevation, std::optional<std::int64_t>) const {
        return elevation_discharge.read(shifted(elevation));
    }

    // Same rule over a prepared curve. Borrows the outlet, which must outlive it.
    class Prepared {
      public:
        explicit Prepared(const UnControlledDischargeInfo &outlet)
            : outlet_(&outlet), curve_(outlet.elevation_discharge) {}
        // get_discharge where it gives a value; nothing where it would fail.
        std::optional<double> try_get_discharge(double elevation, std::optional<std::int64_t>) {
            return curve_.try_read(outlet_->shifted(elevation));
        }

      private:
        const UnControlledDischargeInfo *outlet_;
        ElevationDischarge::Prepared curve_;
    };
};

} // namespace basinkit
