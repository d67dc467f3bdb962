// Prescribed release hydrograph, read at the time since the start of routing.
#pragma once

#include "error.hpp"
#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"
#include "utils/general.hpp"
#include "utils/time_series.hpp"

#include <cstdint>
#include <optional>

namespace basinkit {

struct SpecifiedDischargeInfo {
    TimeSeries discharge; // continuous; its kind is not examined
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    std::optional<double> maximum_release; // caps the looked-up release

    Result<double> get_discharge(double elevation, std::optional<std::int64_t> duration_secs) const;

    // Seconds from the first to the last value (negative for an empty series).
    std::int64_t span() const { return continuous_total_duration(discharge); }

    double capped(double q) const { return maximum_release ? min_num(q, *maximum_release) : q; }

    // Same rule with the series lookup done without its range checks. Borrows
    // the outlet, which must outlive it.
    class Prepared {
      public:
        explicit Prepared(const SpecifiedDischargeInfo &outlet)
            : outlet_(&outlet), span_(static_cast<double>(outlet.span())) {}

        // get_discharge where it gives a value; nothing where it would fail
        // (or for a negative time, which the full lookup handles).
        std::optional<double> try_get_discharge(double elevation,
                                                std::optional<std::int64_t> duration_secs) {
            const SpecifiedDischargeInfo &o = *outlet_;
            if (!duration_secs || *duration_secs < 0) return std::nullopt;
            if (outside_gates(elevation, o.minimum_elevation, o.maximum_elevation)) return 0.0;
            const double t = static_cast<double>(*duration_secs);
            if (t > span_) return std::nullopt;
            return o.capped(series_value_within(o.discharge.data, o.discharge.time_step, t));
        }

      private:
        const SpecifiedDischargeInfo *outlet_;
        double span_;
    };
};

} // namespace basinkit
