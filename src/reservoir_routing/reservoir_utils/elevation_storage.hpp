// Elevation-storage curve of a reservoir: converts a water-surface elevation to
// the stored volume and back. Storage is in the inflow unit times seconds.
#pragma once

#include "error.hpp"
#include "utils/general.hpp"

#include <cstddef>
#include <vector>

namespace basinkit {

struct ElevationStorage {
    std::vector<double> elevation;
    std::vector<double> storage;

    // Checks lengths, then strictly ascending elevations, then storages. Fewer
    // than two points are accepted here and fault only when looked up.
    static Result<ElevationStorage> create(std::vector<double> elevation,
                                           std::vector<double> storage);

    Result<double> get_storage(double elevation) const;
    Result<double> get_elevation(double storage) const;

    // Storage to elevation checked once, with a hinted search, for a routing
    // loop. Borrows the curve, which must outlive it.
    class Prepared {
      public:
        explicit Prepared(const ElevationStorage &curve)
            : to_elevation_(curve.storage, curve.elevation) {}

        // get_elevation(s) where it gives a value; nothing where it would
        // fail (then ask get_elevation for the error).
        std::optional<double> try_get_elevation(double s) {
            if (!to_elevation_.usable() || s != s) return std::nullopt;
            return to_elevation_.at(s, std::nullopt, std::nullopt, hint_);
        }

      private:
        Table to_elevation_;
        std::size_t hint_ = 0;
    };
};

} // namespace basinkit
