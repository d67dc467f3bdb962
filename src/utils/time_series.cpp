#include "utils/time_series.hpp"

#include "format.hpp"

namespace basinkit {

Result<void> validate_kind(std::string_view kind) {
    for (const char *k : VALID_KINDS)
        if (kind == k) return {};
    std::string list = "[";
    bool first = true;
    for (const char *k : VALID_KINDS) {
        if (!first) list += ", ";
        list += fmt::debug_text(k);
        first = false;
    }
    list += "]";
    return value_error("kind must be one of " + list + "; got '" + std::string(kind) + "'");
}

Result<double> series_get_value(std::span<const double> data, std::int32_t time_step,
                                double duration) {
    if (duration < -0.000001)
        return value_error("`duration` " + fmt::plain(duration) + " is less than 0.");
    const std::int64_t max =
        (static_cast<std::int64_t>(data.size()) - 1) * static_cast<std::int64_t>(time_step);
    if (duration > static_cast<double>(max) + 0.000001)
        return value_error("`duration` " + fmt::plain(duration) + " is out of range (max " +
                           fmt::integer(max) + ").");
    // Clamping into an empty range (no points) is impossible.
    if (max < 0) return panic("clamp called with an empty range");
    double clamped = duration < 0.0 ? 0.0 : duration;
    if (clamped > static_cast<double>(max)) clamped = static_cast<double>(max);
    return series_value_within(data, time_step, clamped);
}

Result<TimeSeries> series_disaggregate(const TimeSeries &s, std::int32_t target_step,
                                       const CancelHook &cancel) {
    if (target_step < 30) return value_error("target_step must be >= 30 seconds.");
    const std::int32_t n = s.time_step / target_step;
    if (s.time_step - n * target_step != 0)
        return value_error("Original time_step (" + fmt::integer(s.time_step) +
                           ") must be a multiple of target_step (" + fmt::integer(target_step) +
                           ").");
    const double factor = static_cast<double>(target_step) / static_cast<double>(s.time_step);
    TimeSeries out;
    out.time_step = target_step;
    out.kind = s.kind;
    out.data.reserve(static_cast<std::size_t>(n) * s.data.size());
    // Each value splits into up to 2**31 / 30 pieces: written in chunks,
    // asking about cancellation between them.
    CancelCheck check(cancel);
    const auto chunk = static_cast<std::int32_t>(CancelCheck::POLL_INTERVAL);
    for (double v : s.data) {
        const double piece = factor * v;
        for (std::int32_t j = 0; j < n; j += chunk) {
            const std::int32_t count = n - j < chunk ? n - j : chunk;
            out.data.insert(out.data.end(), static_cast<std::size_t>(count), piece);
            if (check.stop(static_cast<std::uint64_t>(count))) return interrupted();
        }
    }
    return out;
}

} // namespace basinkit
