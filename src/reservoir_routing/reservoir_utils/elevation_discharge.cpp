#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

#include "format.hpp"
#include "utils/general.hpp"

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

} // namespace basinkit

namespace basinkit {

std::unexpected<Error> ElevationDischarge::above_maximum(double elevation) const {
    return value_error("elevation " + fmt::plain(elevation) +
                       " is above the maximum of the elevation-discharge curve (" +
                       fmt::plain(this->elevation.back()) + ").");
}

} // namespace basinkit
