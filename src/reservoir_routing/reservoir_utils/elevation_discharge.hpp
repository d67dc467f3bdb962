// Elevation-discharge rating curve of an outlet: the flow it passes at each
// water-surface elevation, in the inflow unit.
#pragma once

#include "error.hpp"

#include <vector>

namespace basinkit {

struct ElevationDischarge {
    std::vector<double> elevation; // at least 2, strictly ascending
    std::vector<double> discharge; // same length, ascending with ties

    // Checks lengths, the 2-point minimum, then elevations, then discharges.
    static Result<ElevationDischarge> create(std::vector<double> elevation,
                                             std::vector<double> discharge);

    double first() const { return elevation.front(); }
    double last() const { return elevation.back(); }

    // The error of an outlet asked above the top of its curve.
    std::unexpected<Error> above_maximum(double elevation) const;
};

} // namespace basinkit
