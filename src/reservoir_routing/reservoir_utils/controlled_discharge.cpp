#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"

namespace basinkit {

ControlledDischargeInfo ControlledDischargeInfo::create(ElevationDischarge curve,
                                                        std::optional<double> minimum_elevation,
                                                        std::optional<double> maximum_elevation,
                                                        std::optional<double> maximum_release) {
    const double first = curve.first(), last = curve.last();
    const double lower = minimum_elevation ? max_num(*minimum_elevation, first) : first;
    std::optional<double> upper;
    if (maximum_elevation) upper = min_num(*maximum_elevation, last);
    return ControlledDischargeInfo{std::move(curve), lower, upper, maximum_release};
}

} // namespace basinkit
