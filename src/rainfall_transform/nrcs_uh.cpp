#include "rainfall_transform/nrcs_uh.hpp"

#include "format.hpp"
#include "rainfall_transform/user_uh.hpp"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace basinkit {

namespace {

// NRCS NEH 630 ch. 16, Table 16-1: t/Tp and q/qp of the dimensionless curve.
constexpr double TABLE_X[] = {0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0,
                              1.1, 1.2, 1.3, 1.4, 1.5, 1.6, 1.7, 1.8, 1.9, 2.0, 2.2,
                              2.4, 2.6, 2.8, 3.0, 3.2, 3.4, 3.6, 3.8, 4.0, 4.5, 5.0};
constexpr double TABLE_Q[] = {0.000, 0.030, 0.100, 0.190, 0.310, 0.470, 0.660, 0.820, 0.930,
                              0.990, 1.000, 0.990, 0.930, 0.860, 0.780, 0.680, 0.560, 0.460,
                              0.390, 0.330, 0.280, 0.207, 0.147, 0.107, 0.077, 0.055, 0.040,
                              0.029, 0.021, 0.015, 0.011, 0.005, 0.000};
constexpr std::size_t TABLE_N = sizeof TABLE_X / sizeof TABLE_X[0];

// log Gamma(z) for z > 0 from log and exp alone, so that every platform and
// the reference model agree: shifted up to z >= 20, then Stirling's series.
double log_gamma(double z) {
    double shift = 0.0;
    while (z < 20.0) {
        shift = shift + std::log(z);
        z = z + 1.0;
    }
    const double r = 1.0 / z;
    const double r2 = r * r;
    const double series =
        r * (1.0 / 12.0 - r2 * (1.0 / 360.0 - r2 * (1.0 / 1260.0 - r2 * (1.0 / 1680.0))));
    return (z - 0.5) * std::log(z) - z + 0.5 * std::log(2.0 * std::numbers::pi) + series - shift;
}

} // namespace

double nrcs_gamma_area(double m) {
    return std::exp(m + log_gamma(m + 1.0) - (m + 1.0) * std::log(m));
}

Result<double> nrcs_gamma_shape(double area_ratio) {
    constexpr double LOW = 0.01, HIGH = 1000.0;
    // The area falls as m grows.
    if (!(area_ratio <= nrcs_gamma_area(LOW) && area_ratio >= nrcs_gamma_area(HIGH)))
        return value_error("no gamma curve has the area " + fmt::plain(area_ratio) +
                           " that this peak rate factor needs.");
    double lo = LOW, hi = HIGH;
    for (int i = 0; i < 200; ++i) {
        const double mid = 0.5 * (lo + hi);
        if (mid == lo || mid == hi) break;
        if (nrcs_gamma_area(mid) > area_ratio)
            lo = mid;
        else
            hi = mid;
    }
    return 0.5 * (lo + hi);
}

double nrcs_curve(double x, bool tabulated, double m) {
    if (!tabulated) return std::pow(x, m) * std::exp(m * (1.0 - x));
    if (!(x < TABLE_X[TABLE_N - 1])) return 0.0;
    std::size_t i = 0;
    while (TABLE_X[i + 1] <= x) ++i;
    return TABLE_Q[i] +
           (TABLE_Q[i + 1] - TABLE_Q[i]) * ((x - TABLE_X[i]) / (TABLE_X[i + 1] - TABLE_X[i]));
}

Result<std::vector<double>> nrcs_unit_hydrograph(std::int32_t time_step, double unit_volume,
                                                 double lag_s, bool tabulated, double m,
                                                 const CancelHook &cancel) {
    const double dt = static_cast<double>(time_step);
    const double tp = 0.5 * dt + lag_s;
    // The table ends at 5 Tp; the gamma curve is below 1e-12 well before 60 Tp for m >= 1.
    const double reach = tabulated ? 5.0 : (m >= 1.0 ? 60.0 : 60.0 / m);
    const double steps = std::ceil((reach * tp) / dt) + 2.0;
    if (!(steps < static_cast<double>(UH_MAX_ORDINATES)))
        return memory_error("`lag` spans " + fmt::plain(tp / dt) +
                            " time steps; the unit hydrograph can hold at most " +
                            fmt::integer(static_cast<std::int64_t>(UH_MAX_ORDINATES)) +
                            " ordinates.");
    const std::size_t n = static_cast<std::size_t>(steps);
    std::vector<double> uh;
    uh.reserve(n);
    uh.push_back(0.0);
    CancelCheck check(cancel);
    for (std::size_t k = 1; k + 1 < n; ++k) {
        const double x = (dt * static_cast<double>(k)) / tp;
        const double f = nrcs_curve(x, tabulated, m);
        // Past the peak the first (near-)zero ends the curve.
        if (x > 1.0 && !(f >= 1e-12)) break;
        uh.push_back(f);
        if (k % CancelCheck::POLL_INTERVAL == 0 && check.stop(CancelCheck::POLL_INTERVAL))
            return interrupted();
    }
    return closed_unit_hydrograph(std::move(uh), dt, unit_volume);
}

Result<Values> nrcs_uh_rs(std::span<const double> excess, std::int32_t time_step,
                          double unit_volume, double lag_s, bool tabulated, double m,
                          const CancelHook &cancel) {
    return convolve_made(
        excess, nrcs_unit_hydrograph(time_step, unit_volume, lag_s, tabulated, m, cancel), cancel);
}

} // namespace basinkit
