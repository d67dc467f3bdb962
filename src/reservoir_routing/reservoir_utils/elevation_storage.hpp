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

    // Both directions checked once, with hinted searches, for a routing loop.
    // Borrows the curve, which must outlive it.
    class Prepared {
      public:
        explicit Prepared(const ElevationStorage &curve)
            : to_storage_(curve.elevation, curve.storage),
              to_elevation_(curve.storage, curve.elevation) {}

        Result<double> get_storage(double elevation) {
            auto s = to_storage_.lookup(elevation, std::nullopt, std::nullopt, storage_hint_);
            if (!s) return std::unexpected(std::move(s.error()));
            if (!*s) return elevation_outside(elevation);
            return **s;
        }
        Result<double> get_elevation(double storage) {
            auto e = to_elevation_.lookup(storage, std::nullopt, std::nullopt, elevation_hint_);
            if (!e) return std::unexpected(std::move(e.error()));
            if (!*e) return storage_outside(storage);
            return **e;
        }

      private:
        Table to_storage_, to_elevation_;
        std::size_t storage_hint_ = 0, elevation_hint_ = 0;
    };

    // The two out-of-curve errors, shared by the plain and prepared lookups.
    static std::unexpected<Error> elevation_outside(double elevation);
    static std::unexpected<Error> storage_outside(double storage);
};

} // namespace basinkit
