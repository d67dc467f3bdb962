// What every event loss method returns, and the chunked loop they share so
// that a long record can be cancelled without a test in every step.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/general.hpp"
#include "utils/large_buffer.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace basinkit {

// Selects without branches: wet and dry steps follow each other at random,
// and GCC turns these selects into branches whose mispredictions cost more
// than the rest of a step. With SSE2 one or two instructions; elsewhere a
// mask over the bits, which gives the same values.

// `x` where `keep`, else +0.
inline double kept_or_zero(bool keep, double x) {
    const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(keep);
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & mask);
}

// A step's rain: rainfall > 0 ? rainfall : +0 (negative and NaN rain count as none).
inline double rain_depth(double rainfall) {
#if defined(__SSE2__)
    // maxsd gives its second operand, +0, unless the first is greater.
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(rainfall), _mm_setzero_pd()));
#else
    return kept_or_zero(rainfall > 0.0, rainfall);
#endif
}

// Steps a loss method takes at a time where it splits its loop into a
// serial part and one that runs in vector lanes.
inline constexpr std::size_t LOSS_BLOCK = 256;

// A step's excess from its rain `p`: the impervious share `imp` runs off
// whole, the pervious share `perv` as `pervious_excess`, never more than the
// rain: min(imp * p + perv * pervious_excess, p); the loss is p minus it.
// The min is min_num without its tests: p is never NaN and a NaN sum gives
// p here too; neither side is ever -0 (p >= +0 from rain_depth, imp and
// perv >= 0 or imp = -0, pervious_excess >= +0 or NaN), so equal sides are
// equal bits. One minsd (or a vector lane's) instead of two branches.
inline double capped_excess(double p, double imp, double perv, double pervious_excess) {
    const double t = imp * p + perv * pervious_excess;
    return t < p ? t : p;
}

// One value per rainfall step each; `state` is the method's state at the
// step's end (what it means is the method's own).
struct LossSplit {
    Values excess;
    Values loss;
    Values state;
};

// Where a method writes its split: three spans as long as the rainfall, so
// that a caller can hand over memory it already owns.
struct LossSpans {
    std::span<double> excess;
    std::span<double> loss;
    std::span<double> state;

    // Step i of rain `p` (see capped_excess).
    void put(std::size_t i, double p, double imp, double perv, double pervious_excess,
             double end_state) const {
        const double e = capped_excess(p, imp, perv, pervious_excess);
        excess[i] = e;
        loss[i] = p - e;
        state[i] = end_state;
    }
};

// A LossSplit filled by `fill(LossSpans)`, which returns a Result<void>.
template <class Fill> Result<LossSplit> split_into_values(std::size_t n, Fill &&fill) {
    LossSplit out{Values(n), Values(n), Values(n)};
    auto done = std::forward<Fill>(fill)(LossSpans{out.excess, out.loss, out.state});
    if (!done) return std::unexpected(done.error());
    return out;
}

// Calls `step(i)` for every i in [0, n) in order, asking `cancel` once per
// chunk; false when it asked to stop.
template <class Step> bool for_each_step(std::size_t n, const CancelHook &cancel, Step &&step) {
    CancelCheck check(cancel);
    constexpr std::size_t chunk = CancelCheck::POLL_INTERVAL;
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t end = n - start < chunk ? n : start + chunk;
        if (check.stop(end - start)) return false;
        for (std::size_t i = start; i < end; ++i) step(i);
    }
    return true;
}

// Calls `block(start, count)` over [0, n) in blocks of LOSS_BLOCK steps, in
// order, asking `cancel` between them; false when it asked to stop.
template <class Block> bool for_each_block(std::size_t n, const CancelHook &cancel, Block &&block) {
    CancelCheck check(cancel);
    for (std::size_t i = 0; i < n; i += LOSS_BLOCK) {
        const std::size_t count = n - i < LOSS_BLOCK ? n - i : LOSS_BLOCK;
        block(i, count);
        if (check.stop(count)) return false;
    }
    return true;
}

} // namespace basinkit
