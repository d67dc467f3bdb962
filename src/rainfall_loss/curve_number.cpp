#include "rainfall_loss/curve_number.hpp"

#include "utils/general.hpp"

namespace basinkit {

Result<void> curve_number_into(std::span<const double> rainfall, double cn,
                               double initial_abstraction_ratio, double impervious_pct,
                               double depth_per_inch, LossSpans out, const CancelHook &cancel) {
    if (!(cn > 0.0 && cn <= 100.0)) return value_error("cn must be in (0, 100]");
    if (!(initial_abstraction_ratio >= 0.0))
        return value_error("initial_abstraction_ratio must be >= 0");
    if (!(impervious_pct >= 0.0 && impervious_pct <= 100.0))
        return value_error("impervious_pct must be in [0, 100]");
    if (!(depth_per_inch > 0.0)) return value_error("depth_per_inch must be > 0");

    // Order of operations, kept by the reference model:
    //   s = (1000 / cn - 10) * depth_per_inch;  ia = ratio * s
    //   imp = impervious_pct / 100;  perv = 1 - imp
    //   per step: P += p;  Q' = P > ia ? (P - ia) * (P - ia) / ((P - ia) + s) : 0
    //   dq = min(max(Q' - Q, 0), p);  excess = min(imp * p + perv * dq, p);  loss = p - excess
    // The clamps only undo rounding: the runoff equation's slope lies in [0, 1).
    const double s = (1000.0 / cn - 10.0) * depth_per_inch;
    const double ia = initial_abstraction_ratio * s;
    const double imp = impervious_pct / 100.0;
    const double perv = 1.0 - imp;

    const std::size_t n = rainfall.size();
    double p_cum = 0.0, q_cum = 0.0;
    const bool done = for_each_step(n, cancel, [&](std::size_t i) {
        const double p = rain_depth(rainfall[i]);
        p_cum = p_cum + p;
        double q = 0.0;
        if (p_cum > ia) {
            const double d = p_cum - ia;
            q = d * d / (d + s);
        }
        // min_num(max_num(q - q_cum, 0), p) without branches: neither side
        // of the min is NaN.
        const double up = nonnegative_part(q - q_cum);
        const double dq = p < up ? p : up;
        q_cum = q;
        out.put(i, p, imp, perv, dq, p_cum);
    });
    if (!done) return interrupted();
    return {};
}

Result<LossSplit> curve_number_rs(std::span<const double> rainfall, double cn,
                                  double initial_abstraction_ratio, double impervious_pct,
                                  double depth_per_inch, const CancelHook &cancel) {
    return split_into_values(rainfall.size(), [&](LossSpans out) {
        return curve_number_into(rainfall, cn, initial_abstraction_ratio, impervious_pct,
                                 depth_per_inch, out, cancel);
    });
}

} // namespace basinkit
