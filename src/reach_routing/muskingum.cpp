#include "reach_routing/muskingum.hpp"

#include <utility>

namespace basinkit {

namespace {
constexpr const char *EMPTY_INFLOW = "`inflow` must contain at least one value.";
}

Result<std::vector<double>> muskingum_routing_rs(std::vector<double> inflow,
                                                 std::optional<double> initial_outflow,
                                                 double dt, double k, double x) {
    if (inflow.empty()) return value_error(EMPTY_INFLOW);
    // Routed in place: each inflow value is read before its slot is
    // overwritten and kept as the previous inflow of the next step.
    double prev_in = inflow[0];
    double prev_out = initial_outflow ? *initial_outflow : inflow[0];
    inflow[0] = prev_out;
    if (inflow.size() == 1) return inflow;
    const MuskingumCoefficients c = muskingum_coefficients(dt, k, x);
    for (std::size_t i = 1; i < inflow.size(); ++i) {
        const double in = inflow[i];
        prev_out = muskingum_step(c, prev_out, prev_in, in);
        prev_in = in;
        inflow[i] = prev_out;
    }
    return inflow;
}

Result<std::vector<double>> muskingum_reach_rs(std::span<const double> inflow,
                                               std::int32_t time_step, Duration k, double x,
                                               std::int64_t sub_reaches, double initial_outflow) {
    if (inflow.empty()) return value_error(EMPTY_INFLOW);
    if (sub_reaches < 1) return value_error("`sub_reaches` must be >= 1.");
    const double dt = static_cast<double>(time_step);
    const double k_seg = k.as_secs_f64() / static_cast<double>(sub_reaches);
    auto routed = muskingum_routing_rs(std::vector<double>(inflow.begin(), inflow.end()),
                                       initial_outflow, dt, k_seg, x);
    // A single value passes every later pass unchanged.
    if (!routed || inflow.size() == 1) return routed;
    for (std::int64_t pass = 1; pass < sub_reaches; ++pass) {
        routed = muskingum_routing_rs(std::move(*routed), std::nullopt, dt, k_seg, x);
        if (!routed) return routed;
    }
    return routed;
}

} // namespace basinkit
