#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"

#include "format.hpp"

namespace basinkit {

Result<double>
SpecifiedDischargeInfo::get_discharge(double elevation,
                                      std::optional<std::int64_t> duration_secs) const {
    if (!duration_secs)
        return runtime_error(
            "SpecifiedDischargeInfo requires duration_secs but none was provided.");
    if (outside_gates(elevation, minimum_elevation, maximum_elevation)) return 0.0;
    const std::int64_t length = span();
    const double t = static_cast<double>(*duration_secs);
    if (t > static_cast<double>(length))
        return value_error("simulation duration " + fmt::plain(t) +
                           "s exceeds the specified discharge series length (" +
                           fmt::integer(length) + "s).");
    Result<double> q = series_get_value(discharge.data, discharge.time_step, t);
    if (!q) return q;
    return capped(*q);
}

} // namespace basinkit
