// Recession baseflow: the initial flow receding at a constant daily rate, and
// after the peak of the total flow (direct runoff plus baseflow), once the
// total falls below a threshold, the total itself receding at that rate.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/large_buffer.hpp"

#include <cstddef>
#include <span>

namespace basinkit {

struct RecessionOutput {
    Values baseflow;         // on the direct runoff's instants
    std::ptrdiff_t crossing; // first instant below the threshold after the peak; -1: none
};

// `direct` is the direct runoff on instants `dt` seconds apart; `k` the
// recession constant per day, in (0, 1]. The threshold is `ratio` times the
// peak total flow when `by_ratio`, else the flow `threshold`. In order:
//     kd = pow(k, dt / 86400)
//     b[0] = initial_q, b[i] = b[i - 1] * kd        (the initial recession)
//     p = first instant of the largest direct[i] + b[i]
//     T = by_ratio ? ratio * (direct[p] + b[p]) : threshold
//     c = first i > p with direct[i] + b[i] < T
//     q = direct[c] + b[c]; for i > c: q = q * kd, b[i] = q - direct[i]
// so after c the total is q; the baseflow there is what the recession adds to
// (or takes from) the direct runoff.
Result<RecessionOutput> recession_rs(std::span<const double> direct, double dt, double initial_q,
                                     double k, bool by_ratio, double ratio_or_threshold,
                                     const CancelHook &cancel = {});
// The same into `baseflow` of direct.size() values, each written once, so
// that a caller may hand over memory it has not initialised; the crossing.
Result<std::ptrdiff_t> recession_into(std::span<const double> direct, double dt, double initial_q,
                                      double k, bool by_ratio, double ratio_or_threshold,
                                      std::span<double> baseflow, const CancelHook &cancel = {});

} // namespace basinkit
