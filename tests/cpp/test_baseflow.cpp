#include "check.hpp"

#include "baseflow/linear_reservoir.hpp"
#include "baseflow/recession.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace basinkit;

namespace {

using Layers = std::vector<std::pair<std::string, LinearReservoirConfig>>;

LinearReservoirConfig layer(std::int32_t k, double fraction, double q0, std::uint64_t n) {
    return LinearReservoirConfig{k, fraction, q0, n};
}

// The layer inflow in cfs, from inches per step.
double inflow(double area, double fraction, double p, double dt_h) {
    return area * 1.00833 * ((fraction * p) / dt_h);
}

} // namespace

TEST(linear_reservoir_construction) {
    auto ok = make_linear_reservoir(Duration{7200, 0}, 0.5, 0.0, 1);
    CHECK(ok.has_value() && ok->k_duration == 7200 && ok->num_reservoir == 1);
    auto truncated = make_linear_reservoir(Duration{1, 900000000}, 0.0, 0.0, 1);
    CHECK(truncated.has_value() && truncated->k_duration == 1);
    auto saturated = make_linear_reservoir(Duration{std::uint64_t{1} << 40, 0}, 1.0, -5.0, 3);
    CHECK(saturated.has_value() && saturated->k_duration == 2147483647);
    auto nan = make_linear_reservoir(Duration{60, 0}, std::nan(""), 0.0, 1);
    CHECK(nan.has_value());

    struct Refusal {
        Duration k;
        double fraction;
        std::uint64_t n;
        const char *message;
    };
    // Checked in order: K, then the fraction, then the count.
    const Refusal refusals[] = {
        {{0, 500000000}, 2.0, 0, "k_duration must be > 0"},
        {{0, 0}, 0.5, 1, "k_duration must be > 0"},
        {{60, 0}, 1.0000001, 0, "gw_fraction must be between 0 and 1"},
        {{60, 0}, -0.0001, 1, "gw_fraction must be between 0 and 1"},
        {{60, 0}, 0.2, 0, "num_reservoir must be at least 1"},
    };
    for (const Refusal &r : refusals) {
        auto e = make_linear_reservoir(r.k, r.fraction, 0.0, r.n);
        CHECK(!e && e.error().kind == ErrorKind::Value && e.error().message == r.message);
    }
}

TEST(linear_reservoir_fraction_check) {
    const std::vector<double> rain{0.1, 0.2};
    struct Case {
        double a, b;
        const char *message; // null: accepted
    };
    const Case cases[] = {
        {0.6, 0.4000005, nullptr},
        {0.6, 0.41, "Total fraction 1.01 > 1.0"},
        {0.7, 0.4, "Total fraction 1.1 > 1.0"},
        {std::nan(""), 5.0, nullptr},
    };
    for (const Case &c : cases) {
        // The second layer is unstable: the fraction check comes first.
        const Layers layers{{"a", layer(7200, c.a, 0.0, 1)}, {"b", layer(60, c.b, 0.0, 1)}};
        auto r = linear_reservoir_rs(10.0, rain, 3600, layers);
        CHECK(!r && r.error().kind == ErrorKind::Value);
        if (c.message)
            CHECK_EQ(r.error().message, c.message);
        else
            CHECK(r.error().message.starts_with("Stability Error"));
    }
}

TEST(linear_reservoir_stability_boundary) {
    const std::vector<double> rain{0.5, 0.0, 1.25, 0.3};
    // K = 1 h, n = 2: k_per_res = 0.5 h = dt / 2, so C = 1 and each output is
    // the step's inflow, whatever the initial discharge.
    auto r = linear_reservoir_rs(640.0, rain, 3600, {{"deep", layer(3600, 0.8, 99.0, 2)}});
    CHECK(r.has_value() && r->components.size() == 1 && r->components[0].first == "deep");
    for (std::size_t i = 0; i < rain.size(); ++i) {
        CHECK_BITS(r->components[0].second[i], inflow(640.0, 0.8, rain[i], 1.0));
        CHECK_BITS(r->total[i], r->components[0].second[i]);
    }
    auto bad = linear_reservoir_rs(
        640.0, rain, 3600, {{"ok", layer(36000, 0.1, 0.0, 1)}, {"fast", layer(3600, 0.2, 0.0, 3)}});
    CHECK(!bad && bad.error().message == "Stability Error: k_per_res (0.3333) < 0.5*dt "
                                         "(0.5000). Increase k_hr or num_reservoir.");
}

TEST(linear_reservoir_unrouted_layer) {
    const std::vector<double> rain{0.25, 0.0, 2.0};
    auto r = linear_reservoir_rs(12.5, rain, 1800, {{"raw", layer(60, 0.3, 7.0, 0)}});
    CHECK(r.has_value());
    for (std::size_t i = 0; i < rain.size(); ++i)
        CHECK_BITS(r->components[0].second[i], inflow(12.5, 0.3, rain[i], 0.5));
}

TEST(linear_reservoir_recession_from_initial_discharge) {
    // No rain: each output is D times the one before, starting from D x Q0,
    // with C = dt / (K + dt / 2) in hours.
    const std::vector<double> rain(6, 0.0);
    auto r = linear_reservoir_rs(100.0, rain, 3600, {{"one", layer(3 * 3600, 0.5, 40.0, 1)}});
    CHECK(r.has_value());
    const double d = 1.0 - 1.0 / (0.5 + 3.0);
    const auto &out = r->components[0].second;
    CHECK_BITS(out[0], d * 40.0);
    for (std::size_t i = 1; i < out.size(); ++i) CHECK_BITS(out[i], d * out[i - 1]);
    // With rain the first output is C x I + D x Q0, not Q0.
    const std::vector<double> wet{0.4};
    auto w = linear_reservoir_rs(100.0, wet, 3600, {{"one", layer(3 * 3600, 0.5, 40.0, 1)}});
    CHECK(w.has_value());
    const double c = 1.0 / (0.5 + 3.0);
    CHECK_NEAR(w->components[0].second[0], c * inflow(100.0, 0.5, 0.4, 1.0) + d * 40.0, 1e-12);
}

TEST(linear_reservoir_total_is_the_sum_of_layers) {
    const std::vector<double> rain{0.3, 0.1, 0.0, 0.7, 0.2};
    const Layers layers{{"fast", layer(7200, 0.25, 1.0, 2)}, {"slow", layer(86400, 0.5, 3.0, 4)}};
    auto r = linear_reservoir_rs(250.0, rain, 3600, layers);
    CHECK(r.has_value() && r->components.size() == 2);
    CHECK(r->components[0].first == "fast" && r->components[1].first == "slow");
    for (std::size_t i = 0; i < rain.size(); ++i)
        CHECK_BITS(r->total[i], r->components[0].second[i] + r->components[1].second[i]);
}

TEST(linear_reservoir_empty_inputs) {
    const std::vector<double> rain{0.3, 0.1};
    auto none = linear_reservoir_rs(10.0, rain, 3600, {});
    CHECK(none.has_value() && none->components.empty() && none->total.size() == 2);
    for (double v : none->total) CHECK_BITS(v, 0.0);
    auto dry = linear_reservoir_rs(10.0, {}, 3600, {{"a", layer(7200, 0.5, 1.0, 1)}});
    CHECK(dry.has_value() && dry->total.empty() && dry->components[0].second.empty());
}

TEST(linear_reservoir_chain_too_long_to_allocate) {
    const std::vector<double> rain{0.3};
    // Stable at a 1 s step, but 2e8 reservoirs of state.
    auto big = linear_reservoir_rs(1.0, rain, 1, {{"a", layer(2147483647, 0.5, 0.0, 200'000'000)}});
    CHECK(!big && big.error().kind == ErrorKind::Memory);
    CHECK_EQ(big.error().message, "num_reservoir 200000000 of layer 'a' is too large: at most "
                                  "100000000 reservoirs can be chained.");
    // The largest count is unstable before it is too long.
    auto huge = linear_reservoir_rs(1.0, rain, 1, {{"a", layer(2147483647, 0.5, 0.0, UINT64_MAX)}});
    CHECK(!huge && huge.error().kind == ErrorKind::Value);
    // Layers are checked in order: an earlier unstable layer wins.
    auto order = linear_reservoir_rs(
        1.0, rain, 3600,
        {{"b", layer(60, 0.1, 0.0, 1)}, {"a", layer(2147483647, 0.5, 0.0, 200'000'000)}});
    CHECK(!order && order.error().kind == ErrorKind::Value);
}

TEST(linear_reservoir_chain_ends_hold_the_stored_volume) {
    // With inflow constant over a step and outflow linear between instants, a
    // chain holds K Q in its last reservoir and (K - dt/2) Q in each other:
    // inflow - outflow = change of that storage. Chains of 1 to 4 run fused,
    // 7 on its own.
    const std::vector<double> rain{0.0, 0.4, 1.1, 0.3, 0.0, 0.0, 0.2, 0.0};
    const double area = 640.0, dt_h = 0.5;
    const Layers layers{{"fast", layer(6 * 3600, 0.2, 3.0, 1)},
                        {"mid", layer(20 * 3600, 0.3, 1.0, 4)},
                        {"slow", layer(70 * 3600, 0.4, 0.5, 7)}};
    std::vector<Values> ends;
    auto out = linear_reservoir_rs(area, rain, 1800, layers, {}, &ends);
    CHECK(out.has_value() && ends.size() == 3);
    if (!out || ends.size() != 3) return;
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const LinearReservoirConfig &c = layers[l].second;
        const Values &q = out->components[l].second;
        CHECK(ends[l].size() == c.num_reservoir);
        CHECK_BITS(ends[l].back(), q.back());
        const double k = (c.k_duration / 3600.0) / static_cast<double>(c.num_reservoir);
        auto held = [&](auto states) {
            double v = k * states.back();
            for (std::size_t j = 0; j + 1 < states.size(); ++j) v += (k - dt_h / 2) * states[j];
            return v;
        };
        double in = 0.0, released = 0.5 * (c.initial_q + q.back());
        for (std::size_t i = 0; i < rain.size(); ++i) {
            in += inflow(area, c.gw_fraction, rain[i], dt_h);
            if (i + 1 < rain.size()) released += q[i];
        }
        const std::vector<double> start(c.num_reservoir, c.initial_q);
        CHECK_NEAR(held(ends[l]) - held(start), (in - released) * dt_h, 1e-9 * in * dt_h);
    }
}

TEST(recession_follows_the_total_after_the_threshold) {
    // k = 0.5 per day on 12-hour steps: kd = sqrt(0.5) for the initial flow,
    // and the total below a quarter of its peak recedes at the same rate.
    const std::vector<double> direct{0.0, 40.0, 100.0, 60.0, 30.0, 10.0, 5.0, 2.0};
    auto out = recession_rs(direct, 43200.0, 8.0, 0.5, true, 0.25);
    CHECK(out.has_value() && out->baseflow.size() == direct.size());
    const double kd = std::pow(0.5, 0.5);
    CHECK_BITS(out->baseflow[0], 8.0);
    CHECK_BITS(out->baseflow[1], 8.0 * kd);
    // Peak total at instant 2; the first total below 0.25 * peak is at instant 5.
    CHECK(out->crossing == 5);
    double q = direct[5] + out->baseflow[5];
    for (std::size_t i = 6; i < direct.size(); ++i) {
        q = q * kd;
        CHECK_BITS(out->baseflow[i] + direct[i], q);
    }
    // A threshold never reached leaves the initial recession alone.
    auto none = recession_rs(direct, 43200.0, 8.0, 0.5, false, 0.5);
    CHECK(none.has_value() && none->crossing == -1);
    CHECK(!recession_rs(direct, 43200.0, 8.0, 1.5, true, 0.25).has_value());
    CHECK(!recession_rs(direct, 43200.0, 8.0, 0.5, true, 0.0).has_value());
    CHECK(!recession_rs({}, 43200.0, 8.0, 0.5, true, 0.25).has_value());
}
