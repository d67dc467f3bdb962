#include "check.hpp"

#include "metrics/kge.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace basinkit;

TEST(kge_worked_examples) {
    struct Case {
        std::vector<double> sim, obs;
        double expected;
    };
    const double one_minus_root2 = 1.0 - std::sqrt(2.0);
    const Case cases[] = {
        {{1.0, 2.0, 3.0}, {1.0, 2.0, 3.0}, 1.0},
        {{3.0, 2.0, 1.0}, {1.0, 2.0, 3.0}, -1.0},
        {{2.0, 4.0, 6.0}, {1.0, 2.0, 3.0}, -0.41421356237309515},
        {{5.0}, {5.0}, one_minus_root2},
        {{1.0, 1.0, 1.0}, {1.0, 2.0, 3.0}, -0.5},
        {{1.0, 2.0, 3.0}, {2.0, 2.0, 2.0}, -816494.5809283386},
        {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, -0.7320508075688772},
        // A small negative observed mean is replaced by +1e-6: beta = 1.
        {{1e-6}, {-5e-7}, one_minus_root2},
    };
    for (const Case &c : cases) {
        auto r = kge_rs(c.sim, c.obs, false);
        CHECK(r.has_value());
        CHECK_BITS(*r, c.expected);
    }
    auto logged = kge_rs(cases[0].sim, cases[0].obs, true);
    CHECK(logged.has_value());
    CHECK_BITS(*logged, 1.0);
}

TEST(kge_log_transform) {
    // ln(x + 1e-6) of [e - 1e-6, ...] style inputs: compare with the score of
    // the transformed series computed without the flag.
    const std::vector<double> sim{0.5, 2.0, 7.5, 3.25}, obs{0.4, 2.5, 6.0, 3.0};
    std::vector<double> log_sim, log_obs;
    for (double v : sim) log_sim.push_back(std::log(v + 1e-6));
    for (double v : obs) log_obs.push_back(std::log(v + 1e-6));
    auto direct = kge_rs(sim, obs, true);
    auto pre = kge_rs(log_sim, log_obs, false);
    CHECK(direct.has_value() && pre.has_value());
    CHECK_BITS(*direct, *pre);
    const std::vector<double> negative{1.0, -1.0, 2.0};
    const std::vector<double> fine{1.0, 1.5, 2.0};
    for (bool sim_side : {true, false}) {
        auto r = sim_side ? kge_rs(negative, fine, true) : kge_rs(fine, negative, true);
        CHECK(r.has_value() && std::isnan(*r));
    }
}

TEST(kge_refusals) {
    const std::vector<double> three{1.0, 2.0, 3.0}, two{1.0, 2.0}, empty;
    struct Case {
        const std::vector<double> &sim, &obs;
        const char *message;
    };
    const Case cases[] = {
        {empty, empty, "Observed series is empty."},
        {three, empty, "Observed series is empty."},
        {empty, three, "Series length mismatch."},
        {two, three, "Series length mismatch."},
    };
    for (const Case &c : cases) {
        for (bool use_log : {false, true}) {
            auto r = kge_rs(c.sim, c.obs, use_log);
            CHECK(!r && r.error().kind == ErrorKind::Value && r.error().message == c.message);
        }
    }
}
