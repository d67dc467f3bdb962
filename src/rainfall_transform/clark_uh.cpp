#include "rainfall_transform/clark_uh.hpp"

#include "format.hpp"
#include "reach_routing/muskingum.hpp"
#include "utils/general.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

namespace basinkit {

namespace {

// Cumulative share of the basin contributing at relative time t (0..1). The
// constant 1.414 is used on both halves, so the curve steps slightly at 0.5.
double time_area(double t) {
    if (t < 0.5) return std::pow(t, 1.5) * 1.414;
    return std::pow(1.0 - t, 1.5) * (-1.414) + 1.0;
}

// Runs the reservoir on past the translation with zero inflow, from the last
// outflow `u` and the last inflow `q`, handing each kept ordinate to `emit`;
// `kept` receives how many were kept. `largest` is the largest |U| so far.
// Below R = dt / 2 the recession alternates in sign, so magnitudes are
// compared. False when `check` stopped it.
template <class Emit>
bool run_recession(const MuskingumCoefficients &c, double u, double q, double largest,
                   CancelCheck &check, std::size_t &kept, Emit &&emit) {
    kept = 0;
    std::size_t since_check = 0;
    while (kept < CLARK_MAX_RECESSION) {
        u = muskingum_step(c, u, q, 0.0);
        q = 0.0;
        const double size = std::fabs(u);
        // Zero and NaN ordinates end the recession.
        if (!(size > 1e-9 * largest)) break;
        if (size > largest) largest = size;
        emit(kept, u);
        ++kept;
        if (++since_check == CancelCheck::POLL_INTERVAL) {
            since_check = 0;
            if (check.stop(CancelCheck::POLL_INTERVAL)) return false;
        }
    }
    return true;
}

// The blocked convolution below: q[j] = sum of p_i * u[j - i] over the
// nonzero p_i in increasing i, from 0.0, for finite rainfall. A block of
// outputs is computed at a time with its sums in registers, one product and
// one sum per term as in the plain loop, so the order of the real terms is
// the same. The ordinates are padded with zeros on both sides, so that every
// lane of a block can take every rainfall value of the block's window: a lane
// outside its own reach adds p * 0.0, a zero of either sign, which leaves a
// sum unchanged (a sum starting at +0.0 is never -0.0). That needs p finite.
struct Convolution {
    CancelCheck *check; // asked once per block
    const double *rain;
    const std::size_t *wet; // indices of the nonzero rainfall values, increasing
    std::size_t wet_count;
    const double *u0; // ordinate k at u0[k]; zeros for -PAD <= k < 0 and m <= k < m + PAD
    std::size_t m;
    double *q;
    std::size_t q_len;
};

// Widest block used; the padding on each side of the ordinates.
constexpr std::size_t MAX_BLOCK = 32;
constexpr std::size_t PAD = MAX_BLOCK - 1;

// Vectors of two and four doubles (GCC/Clang vector extensions).
using Double2 = double __attribute__((vector_size(2 * sizeof(double))));
using Double4 = double __attribute__((vector_size(4 * sizeof(double))));

// `Width` lanes per vector V, Block / Width accumulators.
template <class V, std::size_t Width, std::size_t Block>
[[gnu::always_inline]] inline bool convolve_blocks(const Convolution &c) {
    static_assert(sizeof(V) == Width * sizeof(double) && Block % Width == 0 && Block <= MAX_BLOCK);
    std::size_t lo = 0, hi = 0; // wet[lo, hi) lies in the block's window
    for (std::size_t j0 = 0; j0 < c.q_len; j0 += Block) {
        // Rainfall indices i with j0 - m < i < j0 + Block reach the block.
        const std::size_t first = j0 + 1 > c.m ? j0 + 1 - c.m : 0;
        while (lo < c.wet_count && c.wet[lo] < first) ++lo;
        while (hi < c.wet_count && c.wet[hi] < j0 + Block) ++hi;
        V acc[Block / Width] = {};
        for (std::size_t w = lo; w < hi; ++w) {
            const std::size_t i = c.wet[w];
            V p = {};
            for (std::size_t l = 0; l < Width; ++l) p[l] = c.rain[i];
            const double *u =
                c.u0 + static_cast<std::ptrdiff_t>(j0) - static_cast<std::ptrdiff_t>(i);
            for (std::size_t v = 0; v < Block / Width; ++v) {
                V x;
                std::memcpy(&x, u + v * Width, sizeof x);
                acc[v] = acc[v] + p * x;
            }
        }
        double lanes[Block];
        std::memcpy(lanes, acc, sizeof lanes);
        const std::size_t n = c.q_len - j0 < Block ? c.q_len - j0 : Block;
        std::copy(lanes, lanes + n, c.q + j0);
        if (c.check->stop(hi - lo + 1)) return false;
    }
    return true;
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] bool convolve_avx2(const Convolution &c) {
    return convolve_blocks<Double4, 4, 32>(c);
}
#endif

// True when `kernel` runs the four-lane AVX2 code on this processor.
bool uses_avx2([[maybe_unused]] ConvolutionKernel kernel) {
#if defined(__x86_64__)
    return kernel == ConvolutionKernel::Fastest && __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// False when the cancellation check stopped it.
bool convolve(const Convolution &c, ConvolutionKernel kernel) {
#if defined(__x86_64__)
    if (uses_avx2(kernel)) return convolve_avx2(c);
#endif
    return convolve_blocks<Double2, 2, 16>(c);
}

// Appends `count` copies of `value`, or the values of `from`, in chunks,
// asking about cancellation between them: a long unit hydrograph's buffers
// take a while just to fill. False when `check` stopped it.
template <class Vec> bool append_fill(Vec &v, std::size_t count, double value, CancelCheck &check) {
    constexpr std::size_t chunk = CancelCheck::POLL_INTERVAL;
    for (std::size_t done = 0; done < count; done += chunk) {
        const std::size_t part = count - done < chunk ? count - done : chunk;
        v.insert(v.end(), part, value);
        if (check.stop(part)) return false;
    }
    return true;
}
template <class Vec> bool append_copy(Vec &v, std::span<const double> from, CancelCheck &check) {
    constexpr std::size_t chunk = CancelCheck::POLL_INTERVAL;
    for (std::size_t done = 0; done < from.size(); done += chunk) {
        const std::size_t part = from.size() - done < chunk ? from.size() - done : chunk;
        v.insert(v.end(), from.begin() + done, from.begin() + done + part);
        if (check.stop(part)) return false;
    }
    return true;
}

bool convolve_blocked(std::span<const double> rain, std::span<const double> head,
                      std::span<const double> tail, Values &q, ConvolutionKernel kernel,
                      CancelCheck &check) {
    const std::size_t m = head.size() + tail.size();
    std::vector<double> padded;
    padded.reserve(m + 2 * PAD);
    padded.assign(PAD, 0.0);
    if (!append_copy(padded, head, check) || !append_copy(padded, tail, check)) return false;
    padded.insert(padded.end(), PAD, 0.0);
    // The wet steps, listed once: a block then visits only those in its
    // window, without a test per block and step.
    std::size_t wet_count = 0;
    for (const double p : rain) wet_count += p != 0.0;
    std::vector<std::size_t, LargeBufferAllocator<std::size_t>> wet;
    wet.reserve(wet_count);
    for (std::size_t i = 0; i < rain.size(); ++i)
        if (rain[i] != 0.0) wet.push_back(i);
    return convolve(
        {&check, rain.data(), wet.data(), wet.size(), padded.data() + PAD, m, q.data(), q.size()},
        kernel);
}

} // namespace

const char *kernel_name(ConvolutionKernel kernel) {
    return uses_avx2(kernel) ? "avx2" : "portable";
}

Result<ClarkUnitHydrograph> clark_unit_hydrograph(std::int32_t time_step, double basin_area,
                                                  double tc_s, double storage_r_s,
                                                  const CancelHook &cancel) {
    const double dt = static_cast<double>(time_step);
    // A zero tc is its own limit: the whole excess arrives within one step.
    const double steps = std::max(std::ceil(tc_s / dt), 1.0);
    if (!(steps <= static_cast<double>(CLARK_MAX_ORDINATES)))
        return memory_error("`tc` spans " + fmt::plain(steps) +
                            " time steps; the unit hydrograph can hold at most " +
                            fmt::integer(CLARK_MAX_ORDINATES) + " ordinates.");
    const std::size_t n = static_cast<std::size_t>(steps);
    const double dt_h = dt / 3600.0;
    // Translated inflow through a linear reservoir with x = 0, K = R.
    const MuskingumCoefficients c = muskingum_coefficients(dt, storage_r_s, 0.0);

    // Each translation ordinate q_j is the inflow at the end of interval j,
    // after a zero inflow at time 0, so the trapezoid of every interval takes
    // in all of the excess.
    // Filled as computed (no zeroing pass first), so that a long one can be
    // stopped from its start.
    ClarkUnitHydrograph uh;
    uh.c2 = c.c2;
    uh.head.reserve(n + 1);
    uh.head.push_back(0.0);
    double a_prev = 0.0; // A_0
    double q_prev = 0.0; // I_0
    double largest = 0.0;
    CancelCheck check(cancel);
    for (std::size_t j = 1; j <= n; ++j) {
        if (j % CancelCheck::POLL_INTERVAL == 0 && check.stop(CancelCheck::POLL_INTERVAL))
            return interrupted();
        const double t = min_num((dt * static_cast<double>(j)) / tc_s, 1.0);
        const double a = time_area(t);
        // cfs per inch of excess: 1 inch on 1 acre in 1 hour is 1.00833 cfs.
        const double q = (((a - a_prev) * basin_area) * 1.00833) / dt_h;
        a_prev = a;
        const double u = muskingum_step(c, uh.head[j - 1], q_prev, q);
        uh.head.push_back(u);
        if (std::fabs(u) > largest) largest = std::fabs(u);
        q_prev = q;
    }

    // Counted first so the recession is allocated once at its final length.
    const double u_last = uh.head[n];
    std::size_t m = 0;
    if (!run_recession(c, u_last, q_prev, largest, check, m, [](std::size_t, double) {}))
        return interrupted();
    uh.recession.resize(m);
    if (!run_recession(c, u_last, q_prev, largest, check, m,
                       [&](std::size_t i, double u) { uh.recession[i] = u; }))
        return interrupted();
    return uh;
}

Result<Values> clark_uh_rs(std::span<const double> rainfall, std::int32_t time_step,
                           double basin_area, Duration tc, Duration storage_r,
                           ConvolutionKernel kernel, const CancelHook &cancel,
                           ClarkUnitEnd *unit_end) {
    const std::size_t len = rainfall.size();
    const double tc_s = tc.as_secs_f64();
    const double r_s = storage_r.as_secs_f64();
    if (time_step < 1) {
        if (unit_end) *unit_end = {};
        return Values(len, 0.0);
    }

    auto uh = clark_unit_hydrograph(time_step, basin_area, tc_s, r_s, cancel);
    if (!uh) return std::unexpected(std::move(uh.error()));
    const std::span<const double> head = uh->head, tail = uh->recession;
    const std::size_t m = head.size() + tail.size();
    if (unit_end) *unit_end = {m, tail.empty() ? head.back() : tail.back(), uh->c2};

    // Each value sums its contributions in increasing rainfall index from 0.0;
    // zero rainfall (either sign) is skipped, even against infinite ordinates.
    CancelCheck check(cancel);
    Values q;
    q.reserve(len + m - 1);
    if (!append_fill(q, len + m - 1, 0.0, check)) return interrupted();
    bool finite = true;
    for (const double p : rainfall) finite = finite && std::isfinite(p);
    if (finite) {
        if (!convolve_blocked(rainfall, head, tail, q, kernel, check)) return interrupted();
        return q;
    }
    // NaN or infinite rainfall reaches exactly its own m values.
    for (std::size_t i = 0; i < len; ++i) {
        const double p = rainfall[i];
        if (p == 0.0) continue;
        if (check.stop(m)) return interrupted();
        double *row = q.data() + i;
        for (std::size_t k = 0; k < head.size(); ++k) row[k] = row[k] + p * head[k];
        row += head.size();
        for (std::size_t k = 0; k < tail.size(); ++k) row[k] = row[k] + p * tail[k];
    }
    return q;
}

} // namespace basinkit
