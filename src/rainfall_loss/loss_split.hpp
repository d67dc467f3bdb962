// What every event loss method returns, and the chunked loop they share so
// that a long record can be cancelled without a test in every step.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/general.hpp"
#include "utils/large_buffer.hpp"

#include <cstddef>
#include <span>
#include <utility>

namespace basinkit {

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

    // Step i of rain `p`: the impervious share `imp` runs off whole, the
    // pervious share `perv` as `pervious_excess`, never more than the rain:
    // excess = min(imp * p + perv * pervious_excess, p), loss = p - excess.
    void put(std::size_t i, double p, double imp, double perv, double pervious_excess,
             double end_state) const {
        const double e = min_num(imp * p + perv * pervious_excess, p);
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

} // namespace basinkit
