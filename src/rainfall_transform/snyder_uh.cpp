#include "rainfall_transform/snyder_uh.hpp"

#include "format.hpp"
#include "rainfall_transform/user_uh.hpp"

#include <cmath>
#include <cstddef>

namespace basinkit {

Result<SnyderPolygon> snyder_polygon(std::int32_t time_step, double unit_volume, double area,
                                     double lag_s, double cp, const SnyderUnits &units) {
    if (!(lag_s > 0.0) || !(cp > 0.0) || !(area > 0.0) || !(unit_volume > 0.0))
        return value_error("Snyder's lag, peaking coefficient, area and unit volume must be > 0.");
    const double dt_h = static_cast<double>(time_step) / 3600.0;
    const double tp = lag_s / 3600.0;
    const double tr = tp / 5.5;
    const double tp_r = tp + (dt_h - tr) / 4.0;
    const double qp_r = (units.c2 * cp) / tp_r;
    const double peak = qp_r * area;
    const double spread = std::pow(qp_r, 1.08);
    const double w50 = units.c50 / spread;
    const double w75 = units.c75 / spread;
    const double t_peak = 0.5 * dt_h + tp_r;
    SnyderPolygon p;
    p.t = {0.0,
           (t_peak - w50 / 3.0) * 3600.0,
           (t_peak - w75 / 3.0) * 3600.0,
           t_peak * 3600.0,
           (t_peak + (2.0 * w75) / 3.0) * 3600.0,
           (t_peak + (2.0 * w50) / 3.0) * 3600.0,
           0.0};
    p.q = {0.0, 0.5 * peak, 0.75 * peak, peak, 0.75 * peak, 0.5 * peak, 0.0};
    if (!(p.t[1] > 0.0))
        return value_error("Snyder's width at half the peak (" + fmt::plain(w50) +
                           " h) starts before the excess: the peak is too low for its lag.");
    double held = 0.0;
    for (std::size_t i = 0; i < 5; ++i)
        held = held + (0.5 * (p.t[i + 1] - p.t[i])) * (p.q[i] + p.q[i + 1]);
    if (!(held < unit_volume))
        return value_error("Snyder's widths already hold " + fmt::plain(held / unit_volume) +
                           " units of depth: the peak is too low for its lag.");
    p.t[6] = p.t[5] + (4.0 * (unit_volume - held)) / peak;
    return p;
}

Result<std::vector<double>> snyder_unit_hydrograph(std::int32_t time_step, double unit_volume,
                                                   double area, double lag_s, double cp,
                                                   const SnyderUnits &units,
                                                   const CancelHook &cancel) {
    auto poly = snyder_polygon(time_step, unit_volume, area, lag_s, cp, units);
    if (!poly) return std::unexpected(std::move(poly.error()));
    const SnyderPolygon &p = *poly;
    const double dt = static_cast<double>(time_step);
    const double steps = std::ceil(p.t[6] / dt) + 1.0;
    if (!(steps < static_cast<double>(UH_MAX_ORDINATES)))
        return memory_error("Snyder's base time spans " + fmt::plain(p.t[6] / dt) +
                            " time steps; the unit hydrograph can hold at most " +
                            fmt::integer(static_cast<std::int64_t>(UH_MAX_ORDINATES)) +
                            " ordinates.");
    const std::size_t n = static_cast<std::size_t>(steps);
    std::vector<double> uh;
    uh.reserve(n + 1);
    uh.push_back(0.0);
    CancelCheck check(cancel);
    std::size_t i = 0;
    for (std::size_t k = 1;; ++k) {
        const double t = dt * static_cast<double>(k);
        if (!(t < p.t[6])) break;
        while (p.t[i + 1] <= t) ++i;
        uh.push_back(p.q[i] + (p.q[i + 1] - p.q[i]) * ((t - p.t[i]) / (p.t[i + 1] - p.t[i])));
        if (k % CancelCheck::POLL_INTERVAL == 0 && check.stop(CancelCheck::POLL_INTERVAL))
            return interrupted();
    }
    return closed_unit_hydrograph(std::move(uh), dt, unit_volume);
}

Result<Values> snyder_uh_rs(std::span<const double> excess, std::int32_t time_step,
                            double unit_volume, double area, double lag_s, double cp,
                            const SnyderUnits &units, const CancelHook &cancel) {
    return convolve_made(
        excess, snyder_unit_hydrograph(time_step, unit_volume, area, lag_s, cp, units, cancel),
        cancel);
}

} // namespace basinkit
