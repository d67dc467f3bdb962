#include "metrics/kge.hpp"
#include "utils/large_buffer.hpp"

#include <cmath>
#include <vector>

namespace basinkit {

namespace {

constexpr double EPS = 1e-6;

// The score itself, on series already transformed. Every sum runs in index
// order; the two means share a pass and the three deviation sums another,
// which changes no rounding since their accumulators are independent.
double kge_of(std::span<const double> sim, std::span<const double> obs) {
    const std::size_t len = obs.size();
    const double n = static_cast<double>(len);
    double sum_sim = -0.0, sum_obs = -0.0;
    for (std::size_t i = 0; i < len; ++i) {
        sum_sim = sum_sim + sim[i];
        sum_obs = sum_obs + obs[i];
    }
    const double mean_sim = sum_sim / n;
    double mean_obs = sum_obs / n;

    double s_ss = 0.0, s_oo = 0.0, s_so = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double ds = sim[i] - mean_sim;
        const double d_o = obs[i] - mean_obs;
        s_ss = s_ss + ds * ds;
        s_oo = s_oo + d_o * d_o;
        s_so = s_so + ds * d_o;
    }

    // No spread in either series: r is taken as 0.
    const double den = std::sqrt(s_oo * s_ss);
    double r_term = 1.0;
    if (!(den < EPS)) {
        const double r = s_so / den;
        r_term = (r - 1.0) * (r - 1.0);
    }

    const double std_sim = std::sqrt(s_ss / n);
    double std_obs = std::sqrt(s_oo / n);
    // Only the observed statistics are guarded, always towards +EPS.
    if (std::fabs(mean_obs) < EPS) mean_obs = EPS;
    if (std_obs < EPS) std_obs = EPS;

    const double beta = mean_sim / mean_obs;
    const double gamma = std_sim / std_obs;
    const double t = (beta - 1.0) * (beta - 1.0) + r_term;
    const double s = (gamma - 1.0) * (gamma - 1.0) + t;
    return 1.0 - std::sqrt(s);
}

Values log_transform(std::span<const double> v) {
    Values out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = std::log(v[i] + EPS);
    return out;
}

} // namespace

Result<double> kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log) {
    if (obs.empty()) return value_error("Observed series is empty.");
    if (sim.size() != obs.size()) return value_error("Series length mismatch.");
    if (!use_log) return kge_of(sim, obs);
    const Values log_sim = log_transform(sim), log_obs = log_transform(obs);
    return kge_of(log_sim, log_obs);
}

} // namespace basinkit
