#include "reach_routing/muskingum.hpp"

#include <cstddef>
#include <utility>

namespace basinkit {

namespace {
constexpr const char *EMPTY_INFLOW = "`inflow` must contain at least one value.";
}

Result<Values> muskingum_routing_rs(Values inflow, std::optional<double> initial_outflow, double dt,
                                    double k, double x) {
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

namespace {

// Up to this many passes are routed together in one sweep.
constexpr std::int64_t FUSED_PASSES = 8;

// `Passes` consecutive passes in one sweep over `in`, each result handed to
// `emit` in order (it may overwrite `in[i]`, which is read before); `ends`,
// when not null, receives each pass's last outflow. The first
// pass starts at `start` with `in[0]` as its previous inflow; every later one
// starts at its own first inflow, which is `start` too. Each pass keeps its
// own recurrence in its own order, so the values are those of pass-by-pass
// routing. The passes are skewed by one step each: in one round, pass p
// routes step t - p from what pass p - 1 gave in the round before, so the
// work of a round is independent and the passes' chains overlap in time.
template <int Passes, class Emit>
bool route_passes(const double *in, std::size_t n, double start, MuskingumCoefficients c,
                  CancelCheck &check, double *ends, Emit &&emit) {
    double prev_in[Passes], prev_out[Passes], last[Passes];
    prev_in[0] = in[0];
    prev_out[0] = start;
    for (int p = 1; p < Passes; ++p) prev_in[p] = prev_out[p] = start;
    emit(0, start);
    // Pass p at step i = t - p, highest pass first so that last[p - 1] still
    // holds the round before's value.
    auto round = [&](std::size_t t, int lo, int hi) {
        for (int p = hi; p >= lo; --p) {
            const double x = p == 0 ? in[t] : last[p - 1];
            const double routed = muskingum_step(c, prev_out[p], prev_in[p], x);
            prev_in[p] = x;
            prev_out[p] = routed;
            last[p] = routed;
        }
        if (hi == Passes - 1) emit(t - (Passes - 1), last[Passes - 1]);
    };
    const std::size_t np = static_cast<std::size_t>(Passes);
    if (n <= np) {
        // Too short for a full round: every step of every pass in turn.
        for (std::size_t t = 1; t < n + np - 1; ++t) {
            const int lo = t >= n ? static_cast<int>(t - n + 1) : 0;
            const int hi = t - 1 < np - 1 ? static_cast<int>(t - 1) : Passes - 1;
            round(t, lo, hi);
        }
        if (ends)
            for (int p = 0; p < Passes; ++p) ends[p] = prev_out[p];
        return !check.stop(n * np);
    }
    for (std::size_t t = 1; t < np; ++t) round(t, 0, static_cast<int>(t - 1));
    // Full rounds in chunks, asking about cancellation between them.
    constexpr std::size_t chunk = (CancelCheck::POLL_INTERVAL + np - 1) / np;
    for (std::size_t t = np; t < n;) {
        const std::size_t stop = n - t > chunk ? t + chunk : n;
        const std::size_t rounds = stop - t;
        for (; t < stop; ++t) round(t, 0, Passes - 1);
        if (check.stop(rounds * np)) return false;
    }
    for (std::size_t t = n; t < n + np - 1; ++t) round(t, static_cast<int>(t - n + 1), Passes - 1);
    if (ends)
        for (int p = 0; p < Passes; ++p) ends[p] = prev_out[p];
    return !check.stop(np * np);
}

// False when `check` stopped the sweep.
template <class Emit>
bool route_fused(const double *in, std::size_t n, double start, const MuskingumCoefficients &c,
                 std::int64_t passes, CancelCheck &check, double *ends, Emit &&emit) {
    switch (passes) {
    case 1:
        return route_passes<1>(in, n, start, c, check, ends, emit);
    case 2:
        return route_passes<2>(in, n, start, c, check, ends, emit);
    case 3:
        return route_passes<3>(in, n, start, c, check, ends, emit);
    case 4:
        return route_passes<4>(in, n, start, c, check, ends, emit);
    case 5:
        return route_passes<5>(in, n, start, c, check, ends, emit);
    case 6:
        return route_passes<6>(in, n, start, c, check, ends, emit);
    case 7:
        return route_passes<7>(in, n, start, c, check, ends, emit);
    default:
        return route_passes<8>(in, n, start, c, check, ends, emit);
    }
}

} // namespace

Result<Values> muskingum_reach_rs(std::span<const double> inflow, std::int32_t time_step,
                                  Duration k, double x, std::int64_t sub_reaches,
                                  double initial_outflow, const CancelHook &cancel,
                                  Values *pass_ends) {
    // The divisor is only formed for a valid count; the checks are repeated
    // (in the same order) by the segments call.
    const double k_seg = sub_reaches < 1 ? 0.0 : k.as_secs_f64() / static_cast<double>(sub_reaches);
    return muskingum_segments_rs(inflow, static_cast<double>(time_step), k_seg, x, sub_reaches,
                                 initial_outflow, cancel, pass_ends);
}

Result<Values> muskingum_segments_rs(std::span<const double> inflow, double dt, double k_seg,
                                     double x, std::int64_t sub_reaches, double initial_outflow,
                                     const CancelHook &cancel, Values *pass_ends) {
    if (inflow.empty()) return value_error(EMPTY_INFLOW);
    if (sub_reaches < 1) return value_error("`sub_reaches` must be >= 1.");
    const std::size_t n = inflow.size();
    Values routed;
    routed.reserve(n);
    // A single value passes every later pass unchanged.
    if (n == 1) {
        routed.push_back(initial_outflow);
        if (pass_ends) pass_ends->assign(static_cast<std::size_t>(sub_reaches), initial_outflow);
        return routed;
    }
    double *ends = nullptr;
    if (pass_ends) {
        pass_ends->resize(static_cast<std::size_t>(sub_reaches));
        ends = pass_ends->data();
    }
    const MuskingumCoefficients c = muskingum_coefficients(dt, k_seg, x);
    // The first sweep reads the caller's values and appends the result in
    // order, so the buffer is written once rather than zeroed first; later
    // sweeps route it in place.
    auto append = [&routed](std::size_t, double v) { routed.push_back(v); };
    CancelCheck check(cancel);
    std::int64_t left = sub_reaches;
    std::int64_t passes = left < FUSED_PASSES ? left : FUSED_PASSES;
    if (!route_fused(inflow.data(), n, initial_outflow, c, passes, check, ends, append))
        return interrupted();
    double *out = routed.data();
    auto write = [out](std::size_t i, double v) { out[i] = v; };
    for (left -= passes; left > 0; left -= passes) {
        if (ends) ends += passes;
        passes = left < FUSED_PASSES ? left : FUSED_PASSES;
        if (!route_fused(out, n, out[0], c, passes, check, ends, write)) return interrupted();
    }
    return routed;
}

} // namespace basinkit
