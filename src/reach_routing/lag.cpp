#include "reach_routing/lag.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace basinkit {

Result<Values> lag_rs(std::span<const double> inflow, double dt, double lag,
                      const CancelHook &cancel) {
    if (inflow.empty()) return value_error("`inflow` must contain at least one value.");
    if (!(dt > 0.0) || !std::isfinite(dt)) return value_error("`dt` must be > 0.");
    if (!(lag >= 0.0) || !std::isfinite(lag)) return value_error("`lag` must be >= 0.");
    const std::size_t n = inflow.size();
    // Whole steps and the fraction left: steps = lag / dt, m = floor(steps),
    // f = steps - m, g = 1 - f.
    const double steps = lag / dt;
    const double whole = std::floor(steps);
    const double f = steps - whole;
    const double g = 1.0 - f;
    // A shift past the end leaves every value at the steady start.
    const std::size_t m = whole >= static_cast<double>(n) ? n : static_cast<std::size_t>(whole);
    const double first = inflow[0];
    Values out;
    out.reserve(n);
    CancelCheck check(cancel);
    // In chunks, asking about cancellation between them.
    for (std::size_t i = 0; i < n;) {
        const std::size_t stop =
            n - i > CancelCheck::POLL_INTERVAL ? i + CancelCheck::POLL_INTERVAL : n;
        const std::size_t chunk = stop - i;
        for (; i < stop; ++i) {
            const double a = i >= m ? inflow[i - m] : first;
            const double b = i >= m + 1 ? inflow[i - m - 1] : first;
            out.push_back(g * a + f * b);
        }
        if (check.stop(chunk)) return interrupted();
    }
    return out;
}

} // namespace basinkit
