// Muskingum channel routing: one routing pass, and a reach of equal
// sub-reaches routed one after another. The pass also serves as the linear
// reservoir of the Clark unit hydrograph (x = 0).
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/duration.hpp"
#include "utils/large_buffer.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace basinkit {

// Weights of one pass: c0 on the current inflow, c1 on the previous inflow,
// c2 on the previous outflow.
struct MuskingumCoefficients {
    double c0;
    double c1;
    double c2;
};

// Coefficients for time step `dt` and storage constant `k` (both seconds) and
// weighting factor `x`. The operation order is part of the bit-exact results.
inline MuskingumCoefficients muskingum_coefficients(double dt, double k, double x) {
    const double two_k = k + k;
    const double omx = 1.0 - x;
    const double two_kx = two_k * x;
    const double two_k1mx = two_k * omx;
    const double den = dt + two_k1mx;
    return {(dt - two_kx) / den, (dt + two_kx) / den, (two_k1mx - dt) / den};
}

// One step of the recurrence; the inflow terms are summed first.
inline double muskingum_step(const MuskingumCoefficients &c, double prev_outflow,
                             double prev_inflow, double inflow) {
    return c.c2 * prev_outflow + (c.c1 * prev_inflow + c.c0 * inflow);
}

// True where `x` lies outside the recommended range [0.0, 0.5] (NaN included).
inline bool muskingum_x_out_of_range(double x) {
    return x < 0.0 || x > 0.5 || std::isnan(x);
}

// One routing pass. The outflow starts at `initial_outflow`, or at the first
// inflow when none is given, and is written over the inflow buffer, which is
// returned. An empty inflow has no first value and is refused.
Result<Values> muskingum_routing_rs(Values inflow, std::optional<double> initial_outflow, double dt,
                                    double k, double x);

// A whole reach: `sub_reaches` passes with K = k / sub_reaches each, the first
// starting at `initial_outflow`, the later ones at their own first inflow.
// `cancel` may stop the passes early (an Interrupted error). When given,
// `pass_ends` receives the last outflow of every pass in pass order: the
// storage of each sub-reach follows from its ends, which the fused sweeps
// otherwise overwrite.
Result<Values> muskingum_reach_rs(std::span<const double> inflow, std::int32_t time_step,
                                  Duration k, double x, std::int64_t sub_reaches,
                                  double initial_outflow, const CancelHook &cancel = {},
                                  Values *pass_ends = nullptr);

// The same reach with the step `dt` and each sub-reach's constant `k_seg` in
// seconds: for constants derived from a channel rather than given as a
// duration (Muskingum-Cunge). `muskingum_reach_rs` is this call with
// k_seg = k / sub_reaches.
Result<Values> muskingum_segments_rs(std::span<const double> inflow, double dt, double k_seg,
                                     double x, std::int64_t sub_reaches, double initial_outflow,
                                     const CancelHook &cancel = {}, Values *pass_ends = nullptr);

} // namespace basinkit
