#include "baseflow/recession.hpp"

#include <cmath>

namespace basinkit {

Result<RecessionOutput> recession_rs(std::span<const double> direct, double dt, double initial_q,
                                     double k, bool by_ratio, double ratio_or_threshold,
                                     const CancelHook &cancel) {
    if (direct.empty()) return value_error("`direct` must contain at least one value.");
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
    RecessionOutput out{Values(n), -1};
    double *b = out.baseflow.data();
    CancelCheck check(cancel);
    b[0] = initial_q;
    std::size_t peak = 0;
    double top = direct[0] + b[0];
    for (std::size_t i = 1; i < n; ++i) {
        b[i] = b[i - 1] * kd;
        const double total = direct[i] + b[i];
        if (total > top) {
            top = total;
            peak = i;
        }
        if (check.stop(1)) return interrupted();
    }
    const double threshold = by_ratio ? ratio_or_threshold * top : ratio_or_threshold;
    std::size_t c = peak + 1;
    while (c < n && !(direct[c] + b[c] < threshold)) ++c;
    if (c >= n) return out;
    out.crossing = static_cast<std::ptrdiff_t>(c);
    double q = direct[c] + b[c];
    for (std::size_t i = c + 1; i < n; ++i) {
        q = q * kd;
        b[i] = q - direct[i];
        if (check.stop(1)) return interrupted();
    }
    return out;
}

} // namespace basinkit
