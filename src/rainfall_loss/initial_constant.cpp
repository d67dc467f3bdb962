#include "rainfall_loss/initial_constant.hpp"

#include "utils/general.hpp"

namespace basinkit {

Result<void> initial_constant_into(std::span<const double> rainfall, std::int32_t time_step,
                                   double initial_loss, double rate_per_hr, double impervious_pct,
                                   LossSpans out, const CancelHook &cancel) {
    if (time_step < 1) return value_error("time_step must be > 0");
    if (!(initial_loss >= 0.0)) return value_error("initial_loss must be >= 0");
    if (!(rate_per_hr >= 0.0)) return value_error("rate_per_hr must be >= 0");
    if (!(impervious_pct >= 0.0 && impervious_pct <= 100.0))
        return value_error("impervious_pct must be in [0, 100]");

    // Order of operations, kept by the reference model:
    //   cap = rate_per_hr * (time_step / 3600);  imp = impervious_pct / 100;  perv = 1 - imp
    //   per step: il = min(p, left);  left = left - il;  r = p - il;  cl = min(r, cap)
    //   excess = min(imp * p + perv * (r - cl), p);  loss = p - excess
    const double cap = rate_per_hr * (static_cast<double>(time_step) / 3600.0);
    const double imp = impervious_pct / 100.0;
    const double perv = 1.0 - imp;

    const std::size_t n = rainfall.size();
    double left = initial_loss;
    const bool done = for_each_step(n, cancel, [&](std::size_t i) {
        const double p = rain_depth(rainfall[i]);
        const double il = min_num(p, left);
        left = left - il;
        const double r = p - il;
        const double cl = min_num(r, cap);
        out.put(i, p, imp, perv, r - cl, left);
    });
    if (!done) return interrupted();
    return {};
}

Result<LossSplit> initial_constant_rs(std::span<const double> rainfall, std::int32_t time_step,
                                      double initial_loss, double rate_per_hr,
                                      double impervious_pct, const CancelHook &cancel) {
    return split_into_values(rainfall.size(), [&](LossSpans out) {
        return initial_constant_into(rainfall, time_step, initial_loss, rate_per_hr, impervious_pct,
                                     out, cancel);
    });
}

} // namespace basinkit
