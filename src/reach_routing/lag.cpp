#include "reach_routing/lag.hpp"

#include "utils/general.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace basinkit {

namespace {

// Inflow is copied into a small block before use, each value read once:
// the caller's memory may change meanwhile, and every value feeds two
// outflows, which must see the same one.
constexpr std::size_t BLOCK = 512;

// o[j] = g * b[j + 1] + f * b[j] for j in [0, count): each value on its own,
// so a vector lane computes exactly what a scalar step would (no
// contraction: see the flags). On x86-64 a second copy for AVX2 is chosen
// when the processor has it, twice as wide as the SSE2 baseline.
BASINKIT_AVX2_CLONE
void shift_block(double *__restrict o, const double *__restrict b, std::size_t count, double g,
                 double f) {
    for (std::size_t j = 0; j < count; ++j) o[j] = g * b[j + 1] + f * b[j];
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
    double *o = out.data();
    const double *in = inflow.data();
    const double first = read_once(in[0]);
    // The steps that reach back to the start or before it (in[0] is the
    // first value), then the rest block by block, without a test per step,
    // asking about cancellation between blocks.
    const std::size_t head = m + 1 < n ? m + 1 : n;
    const double steady = g * first + f * first;
    for (std::size_t i = 0; i < head; ++i) o[i] = steady;
    CancelCheck check(cancel);
    double block[BLOCK + 1];
    block[0] = first; // in[i - m - 1] of the first step below
    for (std::size_t i = head; i < n;) {
        const std::size_t count = n - i > BLOCK ? BLOCK : n - i;
        std::memcpy(block + 1, in + (i - m), count * sizeof(double));
        shift_block(o + i, block, count, g, f);
        block[0] = block[count];
        if (check.stop(count)) return interrupted();
        i += count;
    }
    return {};
}

} // namespace basinkit
