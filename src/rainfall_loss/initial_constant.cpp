#include "rainfall_loss/initial_constant.hpp"

#include "utils/general.hpp"

namespace basinkit {

namespace {

struct IcRun {
    double cap, imp, perv;
    double left; // initial loss still to be satisfied after the last block
};

// One block: the initial loss first, the only chain from step to step; then
// each step's constant loss and excess, the same operations in every step,
// so that vector lanes give what a scalar loop gives. Each rain value is
// read once. On x86-64 a second copy for AVX2 is chosen when the processor
// has it.
BASINKIT_AVX2_CLONE
void initial_constant_block(IcRun &run, const double *rain, std::size_t count,
                            double *__restrict excess, double *__restrict loss,
                            double *__restrict state) {
    double p[LOSS_BLOCK];
    double il[LOSS_BLOCK];
    double left = run.left;
    for (std::size_t j = 0; j < count; ++j) {
        const double pj = rain_depth(read_once(rain[j]));
        const double take = min_num(pj, left);
        left = left - take;
        p[j] = pj;
        il[j] = take;
        state[j] = left;
    }
    const double cap = run.cap, imp = run.imp, perv = run.perv;
    for (std::size_t j = 0; j < count; ++j) {
        const double r = p[j] - il[j];
        const double cl = min_num(r, cap);
        const double e = capped_excess(p[j], imp, perv, r - cl);
        excess[j] = e;
        loss[j] = p[j] - e;
    }
    run.left = left;
}

} // namespace

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
    IcRun run{cap, imp, perv, initial_loss};
    const bool done = for_each_block(n, cancel, [&](std::size_t i, std::size_t count) {
        initial_constant_block(run, rainfall.data() + i, count, out.excess.data() + i,
                               out.loss.data() + i, out.state.data() + i);
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
