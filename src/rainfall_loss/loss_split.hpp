// What every event loss method returns, and the chunked loop they share so
// that a long record can be cancelled without a test in every step.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/large_buffer.hpp"

#include <cstddef>

namespace basinkit {

// One value per rainfall step each; `state` is the method's state at the
// step's end (what it means is the method's own).
struct LossSplit {
    Values excess;
    Values loss;
    Values state;
};

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
