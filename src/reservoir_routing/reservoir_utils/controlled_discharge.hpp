// Gate, valve or conduit: a rating curve between elevation gates, with an
// optional cap on the release.
#pragma once

#include "error.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"
#include "utils/general.hpp"

#include <cstdint>
#include <optional>

namespace basinkit {

struct ControlledDischargeInfo {
    ElevationDischarge elevation_discharge;
    double minimum_elevation = 0.0;          // never below the curve's first elevation
    std::optional<double> maximum_elevation; // never above its last, when present
    std::optional<double> maximum_release;

    // Clamps the gates into the curve (a NaN gate becomes the curve's end).
    // The curve must be a valid one (at least two points).
    static ControlledDischargeInfo create(ElevationDischarge curve,
                                          std::optional<double> minimum_elevation,
                                          std::optional<double> maximum_elevation,
                                          std::optional<double> maximum_release);

    Result<double> get_discharge(double elevation, std::optional<std::int64_t>) const {
        return release(elevation, [this](double e) { return elevation_discharge.read(e); });
    }

    // Same rule over a prepared curve. Borrows the outlet, which must outlive it.
    class Prepared {
      public:
        explicit Prepared(const ControlledDischargeInfo &outlet)
            : outlet_(&outlet), curve_(outlet.elevation_discharge) {}
        // get_discharge where it gives a value; nothing where it would fail.
        std::optional<double> try_get_discharge(double elevation, std::optional<std::int64_t>) {
            return outlet_->release(elevation, [this](double e) { return curve_.try_read(e); });
        }

      private:
        const ControlledDischargeInfo *outlet_;
        ElevationDischarge::Prepared curve_;
    };

    // Gate tests are strict and false for NaN. `read` reads the curve and
    // returns a Result or an optional; the rule returns the same kind.
    template <class Read> auto release(double e, Read read) const -> decltype(read(e)) {
        if (e < minimum_elevation) return 0.0;
        if (maximum_elevation && e > *maximum_elevation) return 0.0;
        auto q = read(e);
        if (q && maximum_release) return min_num(*q, *maximum_release);
        return q;
    }
};

} // namespace basinkit
