#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

#include "format.hpp"

namespace basinkit {

Result<ElevationDischarge> ElevationDischarge::create(std::vector<double> elevation,
                                                      std::vector<double> discharge) {
    if (elevation.size() != discharge.size())
        return value_error("`elevation` and `discharge` must have the same length");
    if (elevation.size() < 2)
        return value_error("`elevation` and `discharge` each must have at least 2 elements.");
    if (!strictly_increasing(elevation))
        return value_error("`elevation` must must be sorted and can't have duplicates");
    if (!non_decreasing(discharge)) return value_error("`discharge` must must be sorted");
    return ElevationDischarge{std::move(elevation), std::move(discharge)};
}

Result<double> ElevationDischarge::read(double e) const {
    if (e > last())
        return value_error("elevation " + fmt::plain(e) +
                           " is above the maximum of the elevation-discharge curve (" +
                           fmt::plain(last()) + ").");
    if (e < first()) return 0.0;
    auto q = interp1d(elevation, discharge, e, 0.0, std::nullopt);
    if (!q) return std::unexpected(std::move(q.error()));
    // e lies inside the curve here, where the lookup always has a value.
    if (!*q) return panic("rating curve gave no discharge inside its own range");
    return **q;
}

} // namespace basinkit
