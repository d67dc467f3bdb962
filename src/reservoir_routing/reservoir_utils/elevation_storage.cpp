#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"

#include "format.hpp"

namespace basinkit {

Result<ElevationStorage> ElevationStorage::create(std::vector<double> elevation,
                                                  std::vector<double> storage) {
    if (elevation.size() != storage.size())
        return value_error("`elevation` and `storage` must have the same length");
    if (!strictly_increasing(elevation))
        return value_error("`elevation` must must be sorted and can't have duplicates");
    if (!strictly_increasing(storage))
        return value_error("`storage` must must be sorted and can't have duplicates");
    return ElevationStorage{std::move(elevation), std::move(storage)};
}

Result<double> ElevationStorage::get_storage(double e) const {
    auto s = interp1d(elevation, storage, e, std::nullopt, std::nullopt);
    if (!s) return std::unexpected(std::move(s.error()));
    if (!*s)
        return value_error("`elevation` " + fmt::plain(e) +
                           " is outside the range of the elevation-storage curve.");
    return **s;
}

Result<double> ElevationStorage::get_elevation(double s) const {
    auto e = interp1d(storage, elevation, s, std::nullopt, std::nullopt);
    if (!e) return std::unexpected(std::move(e.error()));
    if (!*e)
        return value_error("`storage` " + fmt::plain(s) +
                           " is outside the range of the elevation-storage curve.");
    return **e;
}

} // namespace basinkit
