#include "reach_routing/lag.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace basinkit {

namespace {

// Steps [from, to), all at or past m + 1: each value on its own, so a vector
// lane computes exactly what a scalar step would (no contraction: see the
// flags). On x86-64 a second copy for AVX2 is chosen when the processor
// has it, twice as wide as the SSE2 baseline.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void shift_rows(double *__restrict o, const double *__restrict in, std::size_t from, std::size_t to,
                std::size_t m, double g, double f) {
    for (std::size_t i = from; i < to; ++i) o[i] = g * in[i - m] + f * in[i - m - 1];
}

} // namespace

Result<Values> lag_rs(std::span<const double> inflow, double dt, double lag,
                      const CancelHook &cancel) {
    Values out(inflow.size());
    auto done = lag_into(inflow, dt, lag, out, cancel);
    if (!done) return std::unexpected(std::move(done.error()));
    return out;
}

Result<void> lag_into(std::span<const double> inflow, double dt, double lag, std::span<double> out,
                      const CancelHook &cancel) {
    if (inflow.empty()) return value_error("`inflow` must contain at least one value.");
    if (out.size() != inflow.size())
        return value_error("`out` must hold as many values as `inflow`.");
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
    double *o = out.data();
    const double *in = inflow.data();
    // The steps that reach back before the start, then the rest without a
    // test per step; in chunks, asking about cancellation between them.
    const std::size_t head = m + 1 < n ? m + 1 : n;
    for (std::size_t i = 0; i < head; ++i) o[i] = g * (i >= m ? in[i - m] : first) + f * first;
    CancelCheck check(cancel);
    for (std::size_t i = head; i < n;) {
        const std::size_t stop =
            n - i > CancelCheck::POLL_INTERVAL ? i + CancelCheck::POLL_INTERVAL : n;
        shift_rows(o, in, i, stop, m, g, f);
        if (check.stop(stop - i)) return interrupted();
        i = stop;
    }
    return {};
}

} // namespace basinkit
