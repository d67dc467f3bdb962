#include "rainfall_loss/deficit_and_constant.hpp"

#include "utils/general.hpp"

#include <cmath>

namespace basinkit {

Result<DeficitConstantOutput> deficit_and_constant_rs(std::span<const double> rainfall,
                                                      std::int32_t time_step,
                                                      double initial_deficit, double max_deficit,
                                                      double constant_loss_per_hr,
                                                      Duration time_to_dry) {
    const double dt_h = static_cast<double>(time_step) / 3600.0;
    const double dry_s = time_to_dry.as_secs_f64();
    // Share of the remaining gap recovered per step; none for a zero drying time.
    double recovery = 0.0;
    if (dry_s > 0.0) {
        const double q = dry_s / -3600.0;
        const double e = dt_h / q;
        recovery = 1.0 - std::exp(e);
    }
    const double step_loss = constant_loss_per_hr * dt_h;
    const double d_max = max_deficit;
    double d = initial_deficit;

    const std::size_t n = rainfall.size();
    DeficitConstantOutput out{Values(n), Values(n), Values(n)};
    for (std::size_t i = 0; i < n; ++i) {
        // Recovery comes first in every step, rainy or dry; min/max ignore NaN.
        double gap = d_max - d;
        gap = max_num(gap, 0.0);
        const double rec = recovery * gap;
        d = min_num(d + rec, d_max);

        const double p = rainfall[i];
        double excess = 0.0, loss = 0.0;
        if (p > 0.0) {
            // Constant loss first; only the remainder fills the deficit.
            const double cl = min_num(p, step_loss);
            const double r = p - cl;
            const double f = min_num(r, d);
            d = d - f;
            excess = r - f;
            loss = cl + f;
        }
        out.excess[i] = excess;
        out.loss[i] = loss;
        out.deficit[i] = d;
    }
    return out;
}

} // namespace basinkit
