#include "baseflow/linear_reservoir.hpp"

#include "format.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>

namespace basinkit {

Result<LinearReservoirConfig> make_linear_reservoir(Duration k, double gw_fraction,
                                                    double initial_q, std::uint64_t num_reservoir) {
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

// One layer's constants and output.
struct LayerPass {
    double fraction, c, d, initial_q;
    std::uint64_t reservoirs;
    double *series; // the layer's outflow
    double *ends;   // the chain's states after the last step, or null
};

// The shared input of every layer, and the running total the layers add to.
struct Sweep {
    const double *rain;
    std::size_t n_steps;
    double area_factor, dt_h;
    double *total;
};

// L layers of N reservoirs each in one sweep over the rainfall. The outflow
// of each reservoir is the inflow of the next; each layer's arithmetic, and
// the order in which the layers are added to the total, are those of one
// layer at a time. Fixed sizes keep the states in registers, and the layers'
// independent chains overlap in time.
template <std::size_t N, std::size_t L> void route_layers(const Sweep &w, const LayerPass *layers) {
    double c[L], d[L], fraction[L];
    double *series[L];
    std::array<std::array<double, N>, L> state;
    for (std::size_t l = 0; l < L; ++l) {
        c[l] = layers[l].c;
        d[l] = layers[l].d;
        fraction[l] = layers[l].fraction;
        series[l] = layers[l].series;
        state[l].fill(layers[l].initial_q);
    }
    const double area_factor = w.area_factor, dt_h = w.dt_h;
    for (std::size_t i = 0; i < w.n_steps; ++i) {
        const double rain = w.rain[i];
        double total = w.total[i];
        for (std::size_t l = 0; l < L; ++l) {
            double flow = area_factor * ((fraction[l] * rain) / dt_h);
            for (std::size_t j = 0; j < N; ++j) {
                flow = (c[l] * flow) + (d[l] * state[l][j]);
                state[l][j] = flow;
            }
            series[l][i] = flow;
            total = flow + total;
        }
        w.total[i] = total;
    }
    for (std::size_t l = 0; l < L; ++l)
        if (layers[l].ends)
            for (std::size_t j = 0; j < N; ++j) layers[l].ends[j] = state[l][j];
}

// A chain of any length, alone; a long chain runs in chunks, asking about
// cancellation between them. False when `check` stopped it.
bool route_any_chain(const Sweep &w, const LayerPass &p, CancelCheck &check) {
    const std::size_t length = static_cast<std::size_t>(p.reservoirs);
    constexpr std::size_t chunk = CancelCheck::POLL_INTERVAL;
    // Even filling the states of a long chain takes a while.
    std::vector<double> state;
    state.reserve(length);
    for (std::size_t j0 = 0; j0 < length; j0 += chunk) {
        const std::size_t part = length - j0 > chunk ? chunk : length - j0;
        state.insert(state.end(), part, p.initial_q);
        if (check.stop(part)) return false;
    }
    for (std::size_t i = 0; i < w.n_steps; ++i) {
        double flow = w.area_factor * ((p.fraction * w.rain[i]) / w.dt_h);
        for (std::size_t j0 = 0; j0 < length; j0 += chunk) {
            const std::size_t j1 = length - j0 > chunk ? j0 + chunk : length;
            for (std::size_t j = j0; j < j1; ++j) {
                flow = (p.c * flow) + (p.d * state[j]);
                state[j] = flow;
            }
            if (check.stop(j1 - j0)) return false;
        }
        p.series[i] = flow;
        w.total[i] = flow + w.total[i];
    }
    if (p.ends) std::copy(state.begin(), state.end(), p.ends);
    return true;
}

// Longest chain routed with registers; most layers fused in one sweep.
constexpr std::uint64_t REGISTER_CHAIN = 4;
constexpr std::size_t FUSED_LAYERS = 3;

template <std::size_t N>
void route_group(const Sweep &w, const LayerPass *layers, std::size_t count) {
    switch (count) {
    case 1:
        return route_layers<N, 1>(w, layers);
    case 2:
        return route_layers<N, 2>(w, layers);
    default:
        return route_layers<N, 3>(w, layers);
    }
}

// `count` consecutive layers of one chain length, at most FUSED_LAYERS.
bool route_group(const Sweep &w, const LayerPass *layers, std::size_t count, CancelCheck &check) {
    using Group = void (*)(const Sweep &, const LayerPass *, std::size_t);
    static constexpr Group by_length[REGISTER_CHAIN + 1] = {
        route_group<0>, route_group<1>, route_group<2>, route_group<3>, route_group<4>};
    if (layers[0].reservoirs > REGISTER_CHAIN) return route_any_chain(w, layers[0], check);
    by_length[layers[0].reservoirs](w, layers, count);
    // A short chain's sweep is a small multiple of the rainfall; the count of
    // layers multiplies it, so the check comes between groups.
    return !check.stop(w.n_steps * count * (layers[0].reservoirs + 1));
}

// Every layer in order: runs of up to FUSED_LAYERS layers with the same
// short chain share a sweep; each run is added to the total after the ones
// before it, so the total's order of addition is unchanged.
bool route_all(const Sweep &w, const std::vector<LayerPass> &layers, CancelCheck &check) {
    for (std::size_t k = 0; k < layers.size();) {
        std::size_t count = 1;
        if (layers[k].reservoirs <= REGISTER_CHAIN)
            while (count < FUSED_LAYERS && k + count < layers.size() &&
                   layers[k + count].reservoirs == layers[k].reservoirs)
                ++count;
        if (!route_group(w, &layers[k], count, check)) return false;
        k += count;
    }
    return true;
}

} // namespace

Result<BaseflowOutput>
linear_reservoir_rs(double basin_area, std::span<const double> rainfall, std::int32_t time_step,
                    const std::vector<std::pair<std::string, LinearReservoirConfig>> &layers,
                    const CancelHook &cancel, std::vector<Values> *chain_ends) {
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
    BaseflowOutput out{Values(n_steps, 0.0), {}};
    out.components.reserve(layers.size());
    std::vector<LayerPass> passes;
    passes.reserve(layers.size());
    if (chain_ends) {
        chain_ends->clear();
        chain_ends->reserve(layers.size());
    }
    for (const auto &[name, layer] : layers) {
        const double k_per_res = k_per_reservoir(layer);
        const double c = dt_h / (half_dt + k_per_res);
        out.components.emplace_back(name, Values(n_steps));
        double *ends = nullptr;
        if (chain_ends) {
            chain_ends->emplace_back(static_cast<std::size_t>(layer.num_reservoir));
            ends = chain_ends->back().data();
        }
        passes.push_back({layer.gw_fraction, c, 1.0 - c, layer.initial_q, layer.num_reservoir,
                          out.components.back().second.data(), ends});
    }
    CancelCheck check(cancel);
    if (!route_all({rainfall.data(), n_steps, area_factor, dt_h, out.total.data()}, passes, check))
        return interrupted();
    return out;
}

} // namespace basinkit
