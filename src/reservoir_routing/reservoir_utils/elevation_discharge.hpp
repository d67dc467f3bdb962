// Elevation-discharge rating curve of an outlet: the flow it passes at each
// water-surface elevation, in the inflow unit.
#pragma once

#include "error.hpp"
#include "utils/general.hpp"

#include <cstddef>
#include <optional>
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

    // Discharge of an outlet at elevation `e`: an error above the top of the
    // curve, 0.0 below its bottom, else the interpolated value.
    Result<double> read(double e) const;

    // The same reading with the curve checked once and a hinted search.
    // Borrows the curve, which must outlive it.
    class Prepared {
      public:
        explicit Prepared(const ElevationDischarge &curve)
            : table_(curve.elevation, curve.discharge), first_(curve.first()), last_(curve.last()) {
        }

        // read(e) where it gives a value; nothing where it would fail (then
        // ask read() for the error).
        std::optional<double> try_read(double e) {
            if (!table_.usable() || e != e || e > last_) return std::nullopt;
            if (e < first_) return 0.0;
            return table_.at(e, 0.0, std::nullopt, hint_);
        }

      private:
        Table table_;
        double first_, last_;
        std::size_t hint_ = 0;
    };
};

} // namespace basinkit
