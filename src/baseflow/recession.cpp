#include "baseflow/recession.hpp"

#include <cmath>

namespace basinkit {

namespace {

// The recession's running state: the receding flow, the largest total so far
// and where it was.
struct Scan {
    double base;
    double top;
    std::size_t peak;
};

// Steps [from, to) of the first pass. Apart from the loop that asks about
// cancellation, which calls out and so would keep the state in memory: here
// it stays in registers.
[[gnu::noinline]] Scan recede(double *b, const double *d, std::size_t from, std::size_t to,
                              double kd, Scan s) {
    for (std::size_t i = from; i < to; ++i) {
        s.base = s.base * kd;
        b[i] = s.base;
        const double total = d[i] + s.base;
        if (total > s.top) {
            s.top = total;
            s.peak = i;
        }
    }
    return s;
}

// Steps [from, to) after the crossing: the total recedes from q.
[[gnu::noinline]] double recede_total(double *b, const double *d, std::size_t from, std::size_t to,
                                      double kd, double q) {
    for (std::size_t i = from; i < to; ++i) {
        q = q * kd;
        b[i] = q - d[i];
    }
    return q;
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
    Scan scan{initial_q, d[0] + b[0], 0};
    for (std::size_t i = 1; i < n;) {
        const std::size_t stop =
            n - i > CancelCheck::POLL_INTERVAL ? i + CancelCheck::POLL_INTERVAL : n;
        scan = recede(b, d, i, stop, kd, scan);
        if (check.stop(stop - i)) return interrupted();
        i = stop;
    }
    const double top = scan.top;
    const std::size_t peak = scan.peak;
    const double threshold = by_ratio ? ratio_or_threshold * top : ratio_or_threshold;
    std::size_t c = peak + 1;
    while (c < n && !(direct[c] + b[c] < threshold)) ++c;
    if (c >= n) return std::ptrdiff_t{-1};
    double q = d[c] + b[c];
    for (std::size_t i = c + 1; i < n;) {
        const std::size_t stop =
            n - i > CancelCheck::POLL_INTERVAL ? i + CancelCheck::POLL_INTERVAL : n;
        q = recede_total(b, d, i, stop, kd, q);
        if (check.stop(stop - i)) return interrupted();
        i = stop;
    }
    return static_cast<std::ptrdiff_t>(c);
}

} // namespace basinkit
