#include "rainfall_loss/green_ampt.hpp"

#include "utils/general.hpp"

#include <cmath>

namespace basinkit {

namespace {

static_assert(LOSS_BLOCK <= 65536, "step indices within a block are 16-bit");

// One Newton step towards the root of
// g(F) = F - f0 - sd ln((F + sd) / base) - target, base = f0 + sd.
inline double ponded_step(double x, double f0, double sd, double base, double target) {
    const double g = x - f0 - sd * std::log((x + sd) / base) - target;
    const double dg = x / (x + sd);
    return x - g / dg;
}

struct GaRun {
    double sd, dt, k, target, imp, perv;
    double f; // cumulative infiltration at the end of the last block
};

// One block. Each step's intensity and ponding depth fp need no state, and
// are found first. Only the steps with i > k (`heavy`) can pond; the others
// infiltrate all their rain. The chain of infiltration then runs from one
// heavy step to the next. A ponded step's Newton iteration only ends when a
// step no longer falls, so the last step of each root is a check; the next
// heavy step's first step is taken beside it, from the root as it stands,
// and kept when the check confirms it. The values are those of the plain
// loop: the same operations on the same numbers, in another schedule.
// Each rain value is read once.
BASINKIT_AVX2_CLONE
void green_ampt_block(GaRun &run, const double *rain, std::size_t count, double *__restrict excess,
                      double *__restrict loss, double *__restrict state) {
    double p[LOSS_BLOCK];
    double i[LOSS_BLOCK];
    double taken[LOSS_BLOCK];
    std::uint16_t heavy[LOSS_BLOCK];
    const double sd = run.sd, dt = run.dt, k = run.k, target = run.target;
    for (std::size_t j = 0; j < count; ++j) p[j] = rain_depth(read_once(rain[j]));
    for (std::size_t j = 0; j < count; ++j) i[j] = p[j] / dt;
    std::size_t m = 0;
    for (std::size_t j = 0; j < count; ++j) {
        heavy[m] = static_cast<std::uint16_t>(j);
        m += i[j] > k ? 1 : 0;
    }
    const double ksd = k * sd;
    const auto fp = [&](std::size_t h) { return ksd / (i[h] - k); };

    double f = run.f;
    std::size_t at = 0; // the first step without its state
    const auto light_until = [&](std::size_t end) {
        for (; at < end; ++at) {
            f = f + p[at];
            taken[at] = p[at];
            state[at] = f;
        }
    };
    const auto settle = [&](std::size_t h, double infiltration) {
        f = f + infiltration;
        taken[h] = infiltration;
        state[h] = f;
        at = h + 1;
    };

    // A ponded heavy step `h` in progress: x after `moves` Newton steps from f.
    double x = 0.0, base = 0.0;
    int moves = 0;
    bool near = false; // the last fall was tiny, so this step is likely the check
    bool ponding = false;
    std::size_t q = 0;
    while (q < m) {
        const std::size_t h = heavy[q];
        if (!ponding) {
            light_until(h);
            const double fp_h = fp(h);
            if (f >= fp_h) {
                if (sd == 0.0) {
                    settle(h, min_num(f + target - f, p[h]));
                    ++q;
                    continue;
                }
                base = f + sd;
                x = ponded_step(f + target, f, sd, base, target);
                moves = 1;
                near = false;
                ponding = true;
            } else {
                double infiltration = p[h];
                if (f + p[h] > fp_h) {
                    const double tp = (fp_h - f) / i[h];
                    infiltration = min_num(green_ampt_ponded(fp_h, dt - tp, k, sd) - f, p[h]);
                }
                settle(h, infiltration);
                ++q;
                continue;
            }
        }
        const double next = ponded_step(x, f, sd, base, target);
        // The next heavy step's first Newton step, as if x were the root.
        double ahead = 0.0;
        bool ahead_ponds = false;
        if (near && q + 1 < m) {
            const std::size_t h2 = heavy[q + 1];
            double f2 = f + min_num(x - f, p[h]);
            for (std::size_t j = h + 1; j < h2; ++j) f2 = f2 + p[j];
            ahead_ponds = f2 >= fp(h2);
            ahead = ponded_step(f2 + target, f2, sd, f2 + sd, target);
        }
        if (next < x) {
            // Newton converges quadratically: after a fall this small the next step is most
            // likely the check.
            near = x - next <= x * 0x1p-26;
            x = next;
            if (++moves < GREEN_AMPT_MAX_ITERATIONS) continue;
            ahead_ponds = false;
        }
        settle(h, min_num(x - f, p[h]));
        ++q;
        ponding = false;
        if (ahead_ponds) {
            light_until(heavy[q]);
            base = f + sd;
            x = ahead;
            moves = 1;
            near = false;
            ponding = true;
        }
    }
    light_until(count);
    run.f = f;

    const double imp = run.imp, perv = run.perv;
    for (std::size_t j = 0; j < count; ++j) {
        const double e = capped_excess(p[j], imp, perv, p[j] - taken[j]);
        excess[j] = e;
        loss[j] = p[j] - e;
    }
}

} // namespace

double green_ampt_ponded(double f0, double hours, double k, double sd) {
    const double target = k * hours;
    // Without suction the rate is k throughout.
    if (sd == 0.0) return f0 + target;
    // g(F) = F - f0 - sd ln((F + sd) / (f0 + sd)) - k t rises and is convex, and
    // g(f0 + k t) <= 0: the first step lands above the root, and from there
    // every step falls towards it. The first step that no longer falls ends it.
    const double base = f0 + sd;
    double x = ponded_step(f0 + target, f0, sd, base, target);
    for (int it = 1; it < GREEN_AMPT_MAX_ITERATIONS; ++it) {
        const double next = ponded_step(x, f0, sd, base, target);
        if (!(next < x)) break;
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
    GaRun run{sd, dt, k, k * dt, imp, 1.0 - imp, 0.0};
    const bool done =
        for_each_block(rainfall.size(), cancel, [&](std::size_t i, std::size_t count) {
            green_ampt_block(run, rainfall.data() + i, count, out.excess.data() + i,
                             out.loss.data() + i, out.state.data() + i);
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
