#include "check.hpp"

#include "rainfall_loss/deficit_and_constant.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace basinkit;

namespace {
constexpr Duration HOURS_10{36000, 0};
}

TEST(deficit_worked_example) {
    const std::vector<double> rain{1.0, 0.0};
    auto r = deficit_and_constant_rs(rain, 3600, 0.5, 1.0, 0.1, HOURS_10);
    CHECK(r.has_value());
    const double k = 1.0 - std::exp(-0.1); // one hour of a ten-hour drying time
    CHECK_NEAR(k, 0.0951626, 5e-8);
    CHECK_NEAR(r->excess[0], 0.3524187, 5e-8);
    CHECK_NEAR(r->loss[0], 0.6475813, 5e-8);
    CHECK_BITS(r->deficit[0], 0.0);
    CHECK_BITS(r->excess[1], 0.0);
    CHECK_BITS(r->loss[1], 0.0);
    CHECK_BITS(r->deficit[1], k);
}

TEST(deficit_conserves_rain_and_keeps_excess_non_negative) {
    const std::vector<double> rain{0.3, 0.0, 0.05, 1.7, 0.2, 0.0, 0.0, 2.4, 0.01, 0.6};
    const Duration dry_times[] = {{0, 0}, {7200, 0}, {86400 * 3, 250000}};
    for (const Duration &dry : dry_times) {
        auto r = deficit_and_constant_rs(rain, 900, 0.2, 1.5, 0.4, dry);
        CHECK(r.has_value());
        CHECK_EQ(r->excess.size(), rain.size());
        CHECK_EQ(r->deficit.size(), rain.size());
        for (std::size_t i = 0; i < rain.size(); ++i) {
            CHECK(r->excess[i] >= 0.0);
            CHECK(r->deficit[i] >= 0.0 && r->deficit[i] <= 1.5);
            if (rain[i] > 0.0) CHECK_NEAR(r->excess[i] + r->loss[i], rain[i], 4e-15);
        }
    }
}

TEST(deficit_without_drying_time_only_fills) {
    // Starting above the maximum: capped at the first step even though k = 0.
    const std::vector<double> rain{0.0, 0.5, 0.0, 0.0};
    auto r = deficit_and_constant_rs(rain, 3600, 3.0, 2.0, 0.0, Duration{0, 0});
    CHECK(r.has_value());
    CHECK_BITS(r->deficit[0], 2.0);
    CHECK_BITS(r->deficit[1], 1.5);
    CHECK_BITS(r->deficit[2], 1.5);
    CHECK_BITS(r->deficit[3], 1.5);
    CHECK_BITS(r->loss[1], 0.5);
}

TEST(deficit_rain_below_constant_loss_is_all_lost) {
    // 0.25 in/h over half an hour: 0.125 in per step.
    const std::vector<double> rain{0.1, 0.125};
    auto r = deficit_and_constant_rs(rain, 1800, 0.0, 1.0, 0.25, Duration{0, 0});
    CHECK(r.has_value());
    for (std::size_t i = 0; i < rain.size(); ++i) {
        CHECK_BITS(r->loss[i], rain[i]);
        CHECK_BITS(r->excess[i], 0.0);
        CHECK_BITS(r->deficit[i], 0.0);
    }
}

TEST(deficit_nan_inputs) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // NaN rain counts as no rain.
    const std::vector<double> rain{nan, -1.0};
    auto r = deficit_and_constant_rs(rain, 3600, 0.5, 1.0, 0.1, HOURS_10);
    CHECK(r.has_value());
    for (std::size_t i = 0; i < 2; ++i) {
        CHECK_BITS(r->excess[i], 0.0);
        CHECK_BITS(r->loss[i], 0.0);
    }
    // max/min ignore NaN: a NaN deficit recovers to the maximum at once, and
    // a NaN loss rate leaves the whole rain to the constant loss.
    const std::vector<double> one{0.4};
    auto a = deficit_and_constant_rs(one, 3600, nan, 1.0, 0.0, HOURS_10);
    CHECK(a.has_value());
    CHECK_BITS(a->deficit[0], 0.6);
    auto b = deficit_and_constant_rs(one, 3600, 0.5, 1.0, nan, HOURS_10);
    CHECK(b.has_value());
    CHECK_BITS(b->loss[0], 0.4);
    CHECK_BITS(b->excess[0], 0.0);
}

TEST(deficit_sub_second_drying_time_counts) {
    // From an empty store the first deficit is the recovery fraction itself.
    const std::vector<double> rain{0.0};
    auto whole = deficit_and_constant_rs(rain, 3600, 0.0, 1.0, 0.0, Duration{36000, 0});
    auto frac = deficit_and_constant_rs(rain, 3600, 0.0, 1.0, 0.0, Duration{36000, 500000000});
    CHECK(whole.has_value() && frac.has_value());
    CHECK_BITS(whole->deficit[0], 1.0 - std::exp(-0.1));
    CHECK_BITS(frac->deficit[0], 1.0 - std::exp(1.0 / (36000.5 / -3600.0)));
    CHECK(whole->deficit[0] != frac->deficit[0]);
}

TEST(deficit_empty_rainfall) {
    auto r = deficit_and_constant_rs({}, 3600, 0.5, 1.0, 0.1, HOURS_10);
    CHECK(r.has_value() && r->excess.empty() && r->loss.empty() && r->deficit.empty());
}
