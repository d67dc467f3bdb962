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

#include "rainfall_loss/curve_number.hpp"

namespace {
double total(const Values &v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s;
}
} // namespace

TEST(curve_number_known_runoff_in_inches_and_millimetres) {
    // P = 5 in on CN 80: S = 2.5 in, Ia = 0.5 in, Q = 4.5^2 / 7 in.
    const std::vector<double> rain{0.3, 0.0, 1.2, 2.5, 1.0};
    auto r = curve_number_rs(rain, 80.0, 0.2, 0.0, 1.0);
    CHECK(r.has_value());
    CHECK_NEAR(total(r->excess), 4.5 * 4.5 / 7.0, 1e-14);
    CHECK_BITS(r->excess[0], 0.0);
    CHECK_BITS(r->state[4], 5.0);
    std::vector<double> mm;
    for (double p : rain) mm.push_back(p * 25.4);
    auto m = curve_number_rs(mm, 80.0, 0.2, 0.0, 25.4);
    CHECK(m.has_value());
    CHECK_NEAR(total(m->excess), 25.4 * 4.5 * 4.5 / 7.0, 1e-12);
}

TEST(curve_number_conserves_rain_and_weights_impervious_area) {
    const std::vector<double> rain{0.05, 0.4, -1.0, 0.0, 0.9, 0.02, 1.6, 0.3};
    for (double imp : {0.0, 35.0, 100.0}) {
        auto r = curve_number_rs(rain, 67.0, 0.05, imp, 1.0);
        auto pervious = curve_number_rs(rain, 67.0, 0.05, 0.0, 1.0);
        CHECK(r.has_value() && pervious.has_value());
        double rain_total = 0.0;
        for (std::size_t i = 0; i < rain.size(); ++i) {
            const double p = rain[i] > 0.0 ? rain[i] : 0.0;
            rain_total += p;
            CHECK(r->excess[i] >= 0.0 && r->loss[i] >= 0.0);
            CHECK_NEAR(r->excess[i] + r->loss[i], p, 1e-15);
        }
        const double expected =
            imp / 100.0 * rain_total + (1.0 - imp / 100.0) * total(pervious->excess);
        CHECK_NEAR(total(r->excess), expected, 1e-14);
    }
    // CN 100 loses nothing; bad parameters are refused.
    auto all = curve_number_rs(rain, 100.0, 0.2, 0.0, 1.0);
    CHECK(all.has_value());
    CHECK_NEAR(total(all->loss), 0.0, 1e-14);
    CHECK(!curve_number_rs(rain, 0.0, 0.2, 0.0, 1.0).has_value());
    CHECK(!curve_number_rs(rain, 80.0, 0.2, 101.0, 1.0).has_value());
    CHECK(!curve_number_rs(rain, 80.0, std::nan(""), 0.0, 1.0).has_value());
}

#include "rainfall_loss/green_ampt.hpp"
#include "rainfall_loss/initial_constant.hpp"

TEST(initial_constant_fills_the_initial_loss_then_the_rate) {
    // 0.5 in initial loss, 0.2 in/h: the rest of the step that fills it meets the whole rate.
    const std::vector<double> rain{0.3, 0.5, 0.0, 1.0, 0.1};
    auto r = initial_constant_rs(rain, 3600, 0.5, 0.2, 0.0);
    CHECK(r.has_value());
    const double excess[] = {0.0, 0.1, 0.0, 0.8, 0.0};
    const double left[] = {0.2, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < rain.size(); ++i) {
        CHECK_NEAR(r->excess[i], excess[i], 1e-15);
        CHECK_NEAR(r->excess[i] + r->loss[i], rain[i], 1e-15);
        CHECK_NEAR(r->state[i], left[i], 1e-15);
    }
    // Half the area impervious: half the rain runs off besides the pervious excess.
    auto half = initial_constant_rs(rain, 3600, 0.5, 0.2, 50.0);
    CHECK(half.has_value());
    CHECK_NEAR(total(half->excess), 0.5 * 1.9 + 0.5 * 0.9, 1e-14);
    CHECK(!initial_constant_rs(rain, 0, 0.5, 0.2, 0.0).has_value());
    CHECK(!initial_constant_rs(rain, 3600, -0.1, 0.2, 0.0).has_value());
}

TEST(green_ampt_ponding_within_a_step_does_not_depend_on_the_step) {
    // Constant rain of 5 cm/h on a silt loam: ponding at tp = K sd / (i (i - K)),
    // then F follows the ponded equation from Fp; exact for any step.
    const double k = 0.65, sd = 16.68 * (1.0 - 0.3) * 0.486;
    const double i = 5.0, fp = k * sd / (i - k), tp = fp / i;
    const double f_hour = green_ampt_ponded(fp, 1.0 - tp, k, sd);
    // The root: g(F) = 0 to rounding.
    CHECK_NEAR(f_hour - fp - sd * std::log((f_hour + sd) / (fp + sd)), k * (1.0 - tp), 1e-13);
    auto one = green_ampt_rs(std::vector<double>{5.0}, 3600, 0.1458, 0.486, 16.68, k, 0.0);
    std::vector<double> minutes(60, 5.0 / 60.0);
    auto fine = green_ampt_rs(minutes, 60, 0.1458, 0.486, 16.68, k, 0.0);
    CHECK(one.has_value() && fine.has_value());
    CHECK_NEAR(one->state[0], f_hour, 1e-12);
    CHECK_NEAR(fine->state[59], f_hour, 1e-12);
    // Before ponding (10.2 min) every drop infiltrates; the step holding it ponds.
    for (std::size_t m = 0; m < 10; ++m) CHECK_BITS(fine->excess[m], 0.0);
    CHECK(fine->excess[10] > 0.0);
    CHECK_NEAR(total(fine->excess) + total(fine->loss), 5.0, 1e-13);
}

TEST(green_ampt_limits) {
    // Rain no faster than K never ponds; no suction leaves a constant rate K.
    const std::vector<double> slow{0.5, 0.65, 0.2};
    auto r = green_ampt_rs(slow, 3600, 0.1, 0.4, 10.0, 0.65, 0.0);
    CHECK(r.has_value());
    CHECK_NEAR(total(r->excess), 0.0, 0.0);
    CHECK_BITS(r->state[2], 0.5 + 0.65 + 0.2);
    auto flat = green_ampt_rs(std::vector<double>{2.0, 0.4}, 3600, 0.4, 0.4, 10.0, 0.65, 25.0);
    CHECK(flat.has_value());
    CHECK_NEAR(flat->excess[0], 0.25 * 2.0 + 0.75 * (2.0 - 0.65), 1e-15);
    CHECK_NEAR(flat->excess[1], 0.25 * 0.4, 1e-15);
    CHECK(!green_ampt_rs(slow, 3600, 0.5, 0.4, 10.0, 0.65, 0.0).has_value());
    CHECK(!green_ampt_rs(slow, 3600, 0.1, 0.4, 10.0, 0.0, 0.0).has_value());
}
