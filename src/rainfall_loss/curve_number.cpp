#include "rainfall_loss/curve_number.hpp"

#include "utils/general.hpp"

namespace basinkit {

namespace {

struct CnRun {
    double ia, s, imp, perv;
    double p_cum, q_cum; // at the end of the last block
};

// One block: the cumulative rain first, the only chain from step to step;
// then each step's runoff from its own cumulative rain, and its excess
// from that and the step before's, the same operations in every step, so
// that vector lanes give what a scalar loop gives. Each rain value is read
// once. On x86-64 a second copy for AVX2 is chosen when the processor has it.
BASINKIT_AVX2_CLONE
void curve_number_block(CnRun &run, const double *rain, std::size_t count,
                        double *__restrict excess, double *__restrict loss,
                        double *__restrict state) {
    double p[LOSS_BLOCK];
    double q[LOSS_BLOCK + 1];
    double p_cum = run.p_cum;
    for (std::size_t j = 0; j < count; ++j) {
        const double pj = rain_depth(read_once(rain[j]));
        p_cum = p_cum + pj;
        p[j] = pj;
        state[j] = p_cum;
    }
    const double ia = run.ia, s = run.s, imp = run.imp, perv = run.perv;
    q[0] = run.q_cum;
    for (std::size_t j = 0; j < count; ++j) {
        const double d = state[j] - ia;
        const double wet = d * d / (d + s);
        q[j + 1] = kept_or_zero(state[j] > ia, wet);
    }
    for (std::size_t j = 0; j < count; ++j) {
        const double change = q[j + 1] - q[j];
        const double up = change >= 0.0 ? change : 0.0;
        const double dq = p[j] < up ? p[j] : up;
        const double e = capped_excess(p[j], imp, perv, dq);
        excess[j] = e;
        loss[j] = p[j] - e;
    }
    run.p_cum = p_cum;
    run.q_cum = q[count];
}

} // namespace

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
    CnRun run{ia, s, imp, perv, 0.0, 0.0};
    const bool done = for_each_block(n, cancel, [&](std::size_t i, std::size_t count) {
        curve_number_block(run, rainfall.data() + i, count, out.excess.data() + i,
                           out.loss.data() + i, out.state.data() + i);
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
