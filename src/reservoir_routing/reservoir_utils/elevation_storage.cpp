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

namespace {

// One direction of the curve; `what` names the value looked up.
Result<double> curve_lookup(const auto &from, const auto &to, double v, const char *what) {
    auto r = interp1d(from, to, v, std::nullopt, std::nullopt);
    if (!r) return std::unexpected(std::move(r.error()));
    if (!*r)
        return value_error(std::string("`") + what + "` " + fmt::plain(v) +
                           " is outside the range of the elevation-storage curve.");
    return **r;
}

} // namespace

Result<double> ElevationStorage::get_storage(double e) const {
    return curve_lookup(elevation, storage, e, "elevation");
}

Result<double> ElevationStorage::get_elevation(double s) const {
    return curve_lookup(storage, elevation, s, "storage");
}

} // namespace basinkit
