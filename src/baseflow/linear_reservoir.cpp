#include "baseflow/linear_reservoir.hpp"

#include "format.hpp"

#include <cstdint>
#include <limits>
#include <string>

namespace basinkit {

Result<LinearReservoirConfig> make_linear_reservoir(Duration k, double gw_fraction,
                                                    double initial_q,
                                                    std::uint64_t num_reservoir) {
    // Microseconds are dropped; very long constants saturate.
    constexpr std::uint64_t i32_max = std::numeric_limits<std::int32_t>::max();
    const auto k_secs = static_cast<std::int32_t>(k.secs > i32_max ? i32_max : k.secs);
    if (k_secs < 1) return value_error("k_duration must be > 0");
    if (gw_fraction < 0.0 || gw_fraction > 1.0)
        return value_error("gw_fraction must be between 0 and 1");
    if (num_reservoir == 0) return value_error("num_reservoir must be at least 1");
    return LinearReservoirConfig{k_secs, gw_fraction, initial_q, num_reservoir};
}

namespace {

// Per-reservoir storage constant in hours; infinite for an unrouted layer.
double k_per_reservoir(const LinearReservoirConfig &layer) {
    return (static_cast<double>(layer.k_duration) / 3600.0) /
           static_cast<double>(layer.num_reservoir);
}

} // namespace

Result<BaseflowOutput>
linear_reservoir_rs(double basin_area, std::span<const double> rainfall, std::int32_t time_step,
                    const std::vector<std::pair<std::string, LinearReservoirConfig>> &layers) {
    if (!layers.empty()) {
        double fraction = 0.0;
        for (const auto &[name, layer] : layers) fraction = fraction + layer.gw_fraction;
        // A small tolerance over 1.0; a NaN sum passes.
        if (fraction > 1.000001)
            return value_error("Total fraction " + fmt::plain(fraction) + " > 1.0");
    }

    const double dt_h = static_cast<double>(time_step) / 3600.0;
    const double half_dt = dt_h * 0.5;
    // cfs per acre-inch per hour.
    const double area_factor = basin_area * 1.00833;

    // Every layer is checked before any is computed, so a failure leaves no
    // work behind; errors still come layer by layer in processing order.
    for (const auto &[name, layer] : layers) {
        const double k_per_res = k_per_reservoir(layer);
        if (k_per_res < half_dt)
            return value_error("Stability Error: k_per_res (" + fmt::fixed(k_per_res, 4) +
                               ") < 0.5*dt (" + fmt::fixed(half_dt, 4) +
                               "). Increase k_hr or num_reservoir.");
        if (layer.num_reservoir > MAX_RESERVOIR_CHAIN)
            return memory_error("num_reservoir " + std::to_string(layer.num_reservoir) +
                                " of layer '" + name + "' is too large: at most " +
                                std::to_string(MAX_RESERVOIR_CHAIN) +
                                " reservoirs can be chained.");
    }

    const std::size_t n_steps = rainfall.size();
    BaseflowOutput out{std::vector<double>(n_steps, 0.0), {}};
    out.components.reserve(layers.size());
    std::vector<double> state;
    for (const auto &[name, layer] : layers) {
        const double k_per_res = k_per_reservoir(layer);
        const double c = dt_h / (half_dt + k_per_res);
        const double d = 1.0 - c;
        const double fraction = layer.gw_fraction;
        state.assign(static_cast<std::size_t>(layer.num_reservoir), layer.initial_q);

        std::vector<double> series(n_steps);
        for (std::size_t i = 0; i < n_steps; ++i) {
            double flow = area_factor * ((fraction * rainfall[i]) / dt_h);
            // The outflow of each reservoir is the inflow of the next.
            for (double &s : state) {
                flow = (c * flow) + (d * s);
                s = flow;
            }
            series[i] = flow;
            out.total[i] = flow + out.total[i];
        }
        out.components.emplace_back(name, std::move(series));
    }
    return out;
}

} // namespace basinkit
