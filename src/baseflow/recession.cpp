#include "baseflow/recession.hpp"

#include "utils/general.hpp"

#include <cmath>

namespace basinkit {

namespace {

// One pass, each runoff value read once (the caller's memory may change
// meanwhile). Up to a crossing the output holds the receding flow. Once the
// total falls below the threshold after the latest peak, the steps after
// it are taken as the recession of the total, since only a later, higher
// peak undoes that guess. Then the steps since the old peak get the
// receding flow back, recomputed by the same chain of products,
// base_i = base_(i-1) * kd, so with the same bits.
//
// After a crossing the receding flow itself is needed only where the total
// could pass the peak. It never grows (kd <= 1), so x + base_a, with the
// flow at an earlier step a, bounds the total x + base_i from above
// (rounding keeps order): only where that bound passes the peak is the
// chain carried up to the step, and the step tested.
constexpr std::size_t NO_CROSSING = static_cast<std::size_t>(-1);

struct Scan {
    double base;      // receding flow at the last step
    double top;       // largest total so far
    std::size_t peak; // where it was
    double peak_base; // receding flow there
    double threshold;
    std::size_t crossing; // NO_CROSSING while none follows the peak
    double q;             // receding total after the crossing
    std::size_t anchor;   // after a crossing: the last step whose receding flow
    double anchor_base;   // is known, and that flow
};

// b[i] = base_i for i in (from, to), the chain continued from `base` at `from`.
void fill_receding(double *b, std::size_t from, std::size_t to, double base, double kd) {
    for (std::size_t i = from + 1; i < to; ++i) {
        base = base * kd;
        b[i] = base;
    }
}

// Steps [from, to). The state is held in locals so that it stays in
// registers, apart from the calls that ask about cancellation.
[[gnu::noinline]] Scan recede(double *b, const double *d, std::size_t from, std::size_t to,
                              double kd, bool by_ratio, double ratio_or_threshold, Scan s) {
    double base = s.base, top = s.top, q = s.q;
    std::size_t i = from;
    while (i < to) {
        if (s.crossing == NO_CROSSING) {
            for (; i < to; ++i) {
                const double x = read_once(d[i]);
                base = base * kd;
                const double total = x + base;
                b[i] = base;
                if (total > top) {
                    top = total;
                    s.peak = i;
                    s.peak_base = base;
                    s.threshold = by_ratio ? ratio_or_threshold * top : ratio_or_threshold;
                } else if (total < s.threshold) {
                    s.crossing = i;
                    s.anchor = i;
                    s.anchor_base = base;
                    q = total;
                    ++i;
                    break;
                }
            }
        } else {
            for (; i < to; ++i) {
                const double x = read_once(d[i]);
                if (x + s.anchor_base > top) [[unlikely]] {
                    base = s.anchor_base;
                    for (std::size_t j = s.anchor; j < i; ++j) base = base * kd;
                    s.anchor = i;
                    s.anchor_base = base;
                    const double total = x + base;
                    if (total > top) {
                        fill_receding(b, s.peak, i, s.peak_base, kd);
                        b[i] = base;
                        top = total;
                        s.peak = i;
                        s.peak_base = base;
                        s.threshold = by_ratio ? ratio_or_threshold * top : ratio_or_threshold;
                        s.crossing = NO_CROSSING;
                        ++i;
                        break;
                    }
                }
                q = q * kd;
                b[i] = q - x;
            }
        }
    }
    s.base = base;
    s.top = top;
    s.q = q;
    return s;
}

} // namespace

Result<RecessionOutput> recession_rs(std::span<const double> direct, double dt, double initial_q,
                                     double k, bool by_ratio, double ratio_or_threshold,
                                     const CancelHook &cancel) {
    RecessionOutput out{Values(direct.size()), -1};
    auto crossing = recession_into(direct, dt, initial_q, k, by_ratio, ratio_or_threshold,
                                   out.baseflow, cancel);
    if (!crossing) return std::unexpected(std::move(crossing.error()));
    out.crossing = *crossing;
    return out;
}

Result<std::ptrdiff_t> recession_into(std::span<const double> direct, double dt, double initial_q,
                                      double k, bool by_ratio, double ratio_or_threshold,
                                      std::span<double> baseflow, const CancelHook &cancel) {
    if (direct.empty()) return value_error("`direct` must contain at least one value.");
    if (baseflow.size() != direct.size())
        return value_error("`baseflow` must hold as many values as `direct`.");
    if (!(dt > 0.0) || !std::isfinite(dt)) return value_error("`dt` must be > 0.");
    if (!(initial_q >= 0.0) || !std::isfinite(initial_q))
        return value_error("`initial_q` must be >= 0.");
    if (!(k > 0.0 && k <= 1.0)) return value_error("`recession_constant` must be in (0, 1].");
    if (by_ratio && !(ratio_or_threshold > 0.0 && ratio_or_threshold <= 1.0))
        return value_error("`ratio_to_peak` must be in (0, 1].");
    if (!by_ratio && !(ratio_or_threshold >= 0.0 && std::isfinite(ratio_or_threshold)))
        return value_error("`threshold_q` must be >= 0.");
    const std::size_t n = direct.size();
    const double kd = std::pow(k, dt / 86400.0);
    double *b = baseflow.data();
    const double *d = direct.data();
    CancelCheck check(cancel);
    b[0] = initial_q;
    const double top = read_once(d[0]) + initial_q;
    Scan scan{
        initial_q,   top, 0, initial_q, by_ratio ? ratio_or_threshold * top : ratio_or_threshold,
        NO_CROSSING, 0.0, 0, 0.0};
    for (std::size_t i = 1; i < n;) {
        const std::size_t stop =
            n - i > CancelCheck::POLL_INTERVAL ? i + CancelCheck::POLL_INTERVAL : n;
        scan = recede(b, d, i, stop, kd, by_ratio, ratio_or_threshold, scan);
        if (check.stop(stop - i)) return interrupted();
        i = stop;
    }
    if (scan.crossing == NO_CROSSING) return std::ptrdiff_t{-1};
    return static_cast<std::ptrdiff_t>(scan.crossing);
}

} // namespace basinkit
