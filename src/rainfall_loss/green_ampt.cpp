#include "rainfall_loss/green_ampt.hpp"

#include "utils/general.hpp"

#include <cmath>

namespace basinkit {

double green_ampt_ponded(double f0, double hours, double k, double sd) {
    const double target = k * hours;
    // Without suction the rate is k throughout.
    if (sd == 0.0) return f0 + target;
    // g(F) = F - f0 - sd ln((F + sd) / (f0 + sd)) - k t rises and is convex, and
    // g(f0 + k t) <= 0: the first step lands above the root, and from there
    // every step falls towards it. The first step that no longer falls ends it.
    const double base = f0 + sd;
    double x = f0 + target;
    for (int it = 0; it < GREEN_AMPT_MAX_ITERATIONS; ++it) {
        const double g = x - f0 - sd * std::log((x + sd) / base) - target;
        const double dg = x / (x + sd);
        const double next = x - g / dg;
        if (it > 0 && !(next < x)) break;
        x = next;
    }
    return x;
}

Result<void> green_ampt_into(std::span<const double> rainfall, std::int32_t time_step,
                             double initial_content, double saturated_content, double suction,
                             double conductivity, double impervious_pct, LossSpans out,
                             const CancelHook &cancel) {
    if (time_step < 1) return value_error("time_step must be > 0");
    if (!(initial_content >= 0.0 && initial_content <= saturated_content &&
          saturated_content <= 1.0))
        return value_error("contents must satisfy 0 <= initial_content <= saturated_content <= 1");
    if (!(suction >= 0.0)) return value_error("suction must be >= 0");
    if (!(conductivity > 0.0)) return value_error("conductivity must be > 0");
    if (!(impervious_pct >= 0.0 && impervious_pct <= 100.0))
        return value_error("impervious_pct must be in [0, 100]");

    // Order of operations, kept by the reference model:
    //   sd = suction * (saturated - initial);  dt = time_step / 3600 (hours)
    //   imp = impervious_pct / 100;  perv = 1 - imp
    //   per step, with p > 0 and i = p / dt:
    //     i <= k: no ponding, infiltration = p
    //     else fp = k * sd / (i - k), the F at which the capacity falls to i:
    //       F >= fp:      ponded throughout, F' = ponded(F, dt)
    //       F + p <= fp:  no ponding, infiltration = p
    //       otherwise:    ponding at tp = (fp - F) / i, F' = ponded(fp, dt - tp)
    //     infiltration = min(F' - F, p) where ponded
    //   F = F + infiltration;  excess = min(imp * p + perv * (p - infiltration), p)
    //   loss = p - excess
    const double sd = suction * (saturated_content - initial_content);
    const double dt = static_cast<double>(time_step) / 3600.0;
    const double k = conductivity;
    const double imp = impervious_pct / 100.0;
    const double perv = 1.0 - imp;

    const std::size_t n = rainfall.size();
    double f = 0.0;
    const bool done = for_each_step(n, cancel, [&](std::size_t j) {
        const double p = rain_depth(read_once(rainfall[j]));
        double infiltration = p;
        // One test: with k > 0, i > k already means rain fell.
        const double i = p / dt;
        if (i > k) {
            const double fp = k * sd / (i - k);
            if (f >= fp) {
                infiltration = min_num(green_ampt_ponded(f, dt, k, sd) - f, p);
            } else if (f + p > fp) {
                const double tp = (fp - f) / i;
                infiltration = min_num(green_ampt_ponded(fp, dt - tp, k, sd) - f, p);
            }
        }
        f = f + infiltration;
        out.put(j, p, imp, perv, p - infiltration, f);
    });
    if (!done) return interrupted();
    return {};
}

Result<LossSplit> green_ampt_rs(std::span<const double> rainfall, std::int32_t time_step,
                                double initial_content, double saturated_content, double suction,
                                double conductivity, double impervious_pct,
                                const CancelHook &cancel) {
    return split_into_values(rainfall.size(), [&](LossSpans out) {
        return green_ampt_into(rainfall, time_step, initial_content, saturated_content, suction,
                               conductivity, impervious_pct, out, cancel);
    });
}

} // namespace basinkit
