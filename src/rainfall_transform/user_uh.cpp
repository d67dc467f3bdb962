#include "rainfall_transform/user_uh.hpp"

#include "format.hpp"
#include "utils/general.hpp"

#include <algorithm>
#include <cmath>

namespace basinkit {

Result<void> scale_to_unit_volume(std::span<double> shape, double dt, double unit_volume) {
    double total = 0.0;
    for (const double f : shape) total += f;
    if (!(total > 0.0) || !std::isfinite(total))
        return value_error("the unit hydrograph's ordinates must have a finite positive sum, got " +
                           fmt::plain(total) + ".");
    const double factor = unit_volume / (dt * total);
    for (double &f : shape) f = f * factor;
    return {};
}

namespace {

// The rows of the convolution, q[i + k] += p_i * u_k: each lane of a vector
// adds one q_j's own terms in the same order as a scalar loop would, so
// every instruction set gives the same bits (no contraction: see the
// flags). On x86-64 a second copy for AVX2 is chosen when the processor
// has it, twice as wide as the SSE2 baseline.
BASINKIT_AVX2_CLONE
void add_rows(double *__restrict q, const std::size_t *__restrict at, const double *__restrict p,
              std::size_t rows, const double *__restrict uh, std::size_t m) {
    for (std::size_t r = 0; r < rows; ++r) {
        const double pr = p[r];
        double *__restrict row = q + at[r];
        for (std::size_t k = 0; k < m; ++k) row[k] = row[k] + pr * uh[k];
    }
}

// Rows [first, last), at most WET_BLOCK of them, with p_i == 0 left out:
// gathered first without a branch, since wet and dry steps alternate at
// random and a test per row mispredicts often. Each excess value is read
// once.
constexpr std::size_t WET_BLOCK = 256;
void add_wet_rows(double *q, const double *excess, std::size_t first, std::size_t last,
                  const double *uh, std::size_t m) {
    std::size_t at[WET_BLOCK];
    double p[WET_BLOCK];
    std::size_t rows = 0;
    for (std::size_t i = first; i < last; ++i) {
        const double v = read_once(excess[i]);
        at[rows] = i;
        p[rows] = v;
        rows += v != 0.0;
    }
    add_rows(q, at, p, rows, uh, m);
}

} // namespace

Result<Values> convolve_unit_hydrograph(std::span<const double> excess, std::span<const double> uh,
                                        const CancelHook &cancel) {
    Values q(convolved_size(excess.size(), uh.size()));
    auto done = convolve_unit_hydrograph_into(excess, uh, q, cancel);
    if (!done) return std::unexpected(std::move(done.error()));
    return q;
}

Result<void> convolve_unit_hydrograph_into(std::span<const double> excess,
                                           std::span<const double> uh, std::span<double> q,
                                           const CancelHook &cancel) {
    const std::size_t len = excess.size(), m = uh.size();
    if (q.size() != convolved_size(len, m))
        return value_error("the runoff must hold len(excess) + len(ordinates) - 1 values.");
    if (len == 0 || m == 0) {
        std::fill(q.begin(), q.end(), 0.0);
        return {};
    }
    CancelCheck check(cancel);
    // Row by row in increasing i: each q_j then takes its terms in increasing
    // i. Cancellation is asked between blocks of rows of about
    // POLL_INTERVAL terms. Rows [i, last) reach q up to last + m - 1; what
    // lies past the previous block's reach starts at 0.0 here, while still
    // in cache.
    const std::size_t rows = m >= CancelCheck::POLL_INTERVAL ? 1 : CancelCheck::POLL_INTERVAL / m;
    std::size_t zeroed = 0;
    for (std::size_t i = 0; i < len; i += rows) {
        const std::size_t last = len - i > rows ? i + rows : len;
        const std::size_t reach = last + m - 1;
        std::fill(q.data() + zeroed, q.data() + reach, 0.0);
        zeroed = reach;
        for (std::size_t b = i; b < last; b += WET_BLOCK)
            add_wet_rows(q.data(), excess.data(), b, last - b > WET_BLOCK ? b + WET_BLOCK : last,
                         uh.data(), m);
        if (check.stop((last - i) * m)) return interrupted();
    }
    return {};
}

Result<std::vector<double>> user_unit_hydrograph(std::int32_t time_step,
                                                 std::span<const double> ordinates,
                                                 double unit_volume, bool normalise) {
    if (ordinates.size() < 2)
        return value_error("a unit hydrograph needs at least 2 ordinates, got " +
                           fmt::integer(static_cast<std::int64_t>(ordinates.size())) + ".");
    if (ordinates.size() >= UH_MAX_ORDINATES)
        return memory_error("the unit hydrograph can hold at most " +
                            fmt::integer(static_cast<std::int64_t>(UH_MAX_ORDINATES)) +
                            " ordinates.");
    for (const double u : ordinates)
        if (!(u >= 0.0) || !std::isfinite(u))
            return value_error("the unit hydrograph's ordinates must be finite and >= 0, got " +
                               fmt::plain(u) + ".");
    if (ordinates.front() != 0.0)
        return value_error("the unit hydrograph's first ordinate (at t = 0) must be 0, got " +
                           fmt::plain(ordinates.front()) + ".");
    std::vector<double> uh;
    uh.reserve(ordinates.size() + 1);
    uh.assign(ordinates.begin(), ordinates.end());
    if (uh.back() != 0.0) uh.push_back(0.0);
    const double dt = static_cast<double>(time_step);
    double total = 0.0;
    for (const double u : uh) total += u;
    const double volume = dt * total;
    if (!normalise && !(std::fabs(volume - unit_volume) <= 0.01 * unit_volume))
        return value_error("the unit hydrograph holds " + fmt::plain(volume / unit_volume) +
                           " units of depth, more than 1 % away from 1; pass normalise to scale "
                           "it.");
    auto scaled = scale_to_unit_volume(uh, dt, unit_volume);
    if (!scaled) return std::unexpected(std::move(scaled.error()));
    return uh;
}

Result<Values> user_uh_rs(std::span<const double> excess, std::int32_t time_step,
                          std::span<const double> ordinates, double unit_volume, bool normalise,
                          const CancelHook &cancel) {
    return convolve_made(excess, user_unit_hydrograph(time_step, ordinates, unit_volume, normalise),
                         cancel);
}

Result<std::vector<double>> closed_unit_hydrograph(std::vector<double> shape, double dt,
                                                   double unit_volume) {
    shape.push_back(0.0);
    auto scaled = scale_to_unit_volume(shape, dt, unit_volume);
    if (!scaled) return std::unexpected(std::move(scaled.error()));
    return shape;
}

Result<Values> convolve_made(std::span<const double> excess, const Result<std::vector<double>> &uh,
                             const CancelHook &cancel) {
    if (!uh) return std::unexpected(uh.error());
    return convolve_unit_hydrograph(excess, *uh, cancel);
}

} // namespace basinkit
