#include "rainfall_transform/clark_uh.hpp"

#include "format.hpp"
#include "reach_routing/muskingum.hpp"
#include "utils/general.hpp"

#include <cmath>
#include <utility>

namespace basinkit {

namespace {

// Cumulative share of the basin contributing at relative time t (0..1). The
// constant 1.414 is used on both halves, so the curve steps slightly at 0.5.
double time_area(double t) {
    if (t < 0.5) return std::pow(t, 1.5) * 1.414;
    return std::pow(1.0 - t, 1.5) * (-1.414) + 1.0;
}

// Runs the reservoir on past the translation with zero inflow, from the last
// outflow `u` and the last inflow `q`, handing each kept ordinate to `emit`;
// returns how many were kept.
template <class Emit>
std::size_t run_recession(const MuskingumCoefficients &c, double u, double q, double largest,
                          Emit &&emit) {
    std::size_t kept = 0;
    while (kept < CLARK_MAX_RECESSION) {
        u = muskingum_step(c, u, q, 0.0);
        q = 0.0;
        // Zero, negative and NaN ordinates all end the recession.
        if (!(u > 1e-9 * largest)) break;
        if (u > largest) largest = u;
        emit(kept, u);
        ++kept;
    }
    return kept;
}

} // namespace

Result<ClarkUnitHydrograph> clark_unit_hydrograph(std::int32_t time_step, double basin_area,
                                                  double tc_s, double storage_r_s) {
    const double dt = static_cast<double>(time_step);
    const double steps = std::ceil(tc_s / dt);
    if (!(steps <= static_cast<double>(CLARK_MAX_ORDINATES)))
        return memory_error("`tc` spans " + fmt::plain(steps) +
                            " time steps; the unit hydrograph can hold at most " +
                            fmt::integer(CLARK_MAX_ORDINATES) + " ordinates.");
    const std::size_t n = static_cast<std::size_t>(steps);
    const double dt_h = dt / 3600.0;
    // Translated inflow through a linear reservoir with x = 0, K = R.
    const MuskingumCoefficients c = muskingum_coefficients(dt, storage_r_s, 0.0);

    ClarkUnitHydrograph uh;
    uh.head.resize(n);
    double a_prev = 0.0; // A_0
    double q_prev = 0.0;
    double largest = 0.0;
    for (std::size_t j = 1; j <= n; ++j) {
        const double t = min_num((dt * static_cast<double>(j)) / tc_s, 1.0);
        const double a = time_area(t);
        // cfs per inch of excess: 1 inch on 1 acre in 1 hour is 1.00833 cfs.
        const double q = (((a - a_prev) * basin_area) * 1.00833) / dt_h;
        a_prev = a;
        // The reservoir starts empty: the first ordinate is 0.0 whatever q_1 is.
        const double u = j == 1 ? 0.0 : muskingum_step(c, uh.head[j - 2], q_prev, q);
        uh.head[j - 1] = u;
        if (u > largest) largest = u;
        q_prev = q;
    }

    // Counted first so the recession is allocated once at its final length.
    const double u_last = uh.head[n - 1];
    const std::size_t m = run_recession(c, u_last, q_prev, largest, [](std::size_t, double) {});
    uh.recession.resize(m);
    run_recession(c, u_last, q_prev, largest,
                  [&](std::size_t i, double u) { uh.recession[i] = u; });
    return uh;
}

Result<std::vector<double>> clark_uh_rs(std::span<const double> rainfall,
                                        std::int32_t time_step, double basin_area, Duration tc,
                                        Duration storage_r) {
    const std::size_t len = rainfall.size();
    const double tc_s = tc.as_secs_f64();
    const double r_s = storage_r.as_secs_f64();
    if (tc_s <= 0.0 || time_step < 1) return std::vector<double>(len, 0.0);

    auto uh = clark_unit_hydrograph(time_step, basin_area, tc_s, r_s);
    if (!uh) return std::unexpected(std::move(uh.error()));
    const std::span<const double> head = uh->head, tail = uh->recession;
    const std::size_t m = head.size() + tail.size();

    // Each value sums its contributions in increasing rainfall index from 0.0;
    // zero rainfall (either sign) is skipped, even against infinite ordinates.
    std::vector<double> q(len + m - 1, 0.0);
    for (std::size_t i = 0; i < len; ++i) {
        const double p = rainfall[i];
        if (p == 0.0) continue;
        double *row = q.data() + i;
        for (std::size_t k = 0; k < head.size(); ++k) row[k] = row[k] + p * head[k];
        row += head.size();
        for (std::size_t k = 0; k < tail.size(); ++k) row[k] = row[k] + p * tail[k];
    }
    return q;
}

} // namespace basinkit
