// Uniformly spaced series: the plain value carried by both Python series
// classes, plus the lookups the models need.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/large_buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace basinkit {

inline constexpr const char *VALID_KINDS[] = {"discharge", "rainfall", "elevation", "volume"};

struct TimeSeries {
    Values data;
    std::int32_t time_step = 1; // whole seconds
    std::string kind;
};

// Checks `kind` against the four tags; the error lists them in order.
Result<void> validate_kind(std::string_view kind);

// Value of a continuous series `duration` seconds after its first point,
// interpolating linearly between points (no extrapolation).
Result<double> series_get_value(std::span<const double> data, std::int32_t time_step,
                                double duration);

// The lookup of series_get_value for a duration already known to lie within
// the series (at least one value, 0 <= duration <= last point), without the
// range checks and their messages; the hot loops call this directly. A NaN
// position reads as the first point.
inline double series_value_within(std::span<const double> data, std::int32_t time_step,
                                  double duration) {
    const double p = duration / static_cast<double>(time_step);
    // For p >= 0 truncation is floor.
    const std::size_t i = p >= 0.0 ? static_cast<std::size_t>(p) : 0;
    const std::size_t n = data.size();
    if (i >= n - 1) return data[n - 1];
    return data[i] + (p - static_cast<double>(i)) * (data[i + 1] - data[i]);
}

// Splits each interval of an incremental series into time_step / target_step
// equal pieces. `cancel` may stop it early (an Interrupted error).
Result<TimeSeries> series_disaggregate(const TimeSeries &s, std::int32_t target_step,
                                       const CancelHook &cancel = {});

// time_step * (n - 1) for a continuous series, time_step * n for an incremental one.
inline std::int64_t continuous_total_duration(const TimeSeries &s) {
    return static_cast<std::int64_t>(s.time_step) * (static_cast<std::int64_t>(s.data.size()) - 1);
}
inline std::int64_t incremental_total_duration(const TimeSeries &s) {
    return static_cast<std::int64_t>(s.time_step) * static_cast<std::int64_t>(s.data.size());
}

} // namespace basinkit
