#include "check.hpp"

#include "reach_routing/lag.hpp"
#include "reach_routing/muskingum.hpp"

#include <cmath>
#include <limits>
#include <vector>

using namespace basinkit;

namespace {
const std::vector<double> HYDROGRAPH{100.0, 200.0, 300.0, 200.0, 100.0};
constexpr Duration HOURS_2{7200, 0};
} // namespace

TEST(muskingum_coefficients_of_the_examples) {
    // K = 2 h, x = 0.2, dt = 1 h: every intermediate is an exact integer, so
    // each weight is the correctly rounded fraction.
    const auto one = muskingum_coefficients(3600.0, 7200.0, 0.2);
    CHECK_BITS(one.c0, 1.0 / 21.0);
    CHECK_BITS(one.c1, 9.0 / 21.0);
    CHECK_BITS(one.c2, 11.0 / 21.0);
    const auto two = muskingum_coefficients(3600.0, 3600.0, 0.2);
    CHECK_BITS(two.c0, 3.0 / 13.0);
    CHECK_BITS(two.c1, 7.0 / 13.0);
    CHECK_BITS(two.c2, 3.0 / 13.0);
    const auto zero_k = muskingum_coefficients(3600.0, 0.0, 0.3);
    CHECK_BITS(zero_k.c0, 1.0);
    CHECK_BITS(zero_k.c1, 1.0);
    CHECK_BITS(zero_k.c2, -1.0);
}

TEST(muskingum_reach_examples) {
    struct Case {
        std::int64_t sub_reaches;
        double expected[5];
    };
    const Case cases[] = {
        {1, {100.0, 104.761905, 154.875283, 219.220387, 205.305917}},
        {2, {100.0, 105.325444, 137.960856, 201.260460, 227.554250}},
    };
    for (const Case &c : cases) {
        auto out = muskingum_reach_rs(HYDROGRAPH, 3600, HOURS_2, 0.2, c.sub_reaches, 100.0);
        CHECK(out.has_value() && out->size() == 5);
        for (std::size_t i = 0; i < 5; ++i) CHECK_NEAR((*out)[i], c.expected[i], 5e-7);
    }
}

TEST(muskingum_first_value_is_the_initial_outflow) {
    for (std::int64_t passes : {1, 2, 3, 7}) {
        auto out = muskingum_reach_rs(HYDROGRAPH, 600, HOURS_2, 0.1, passes, 42.5);
        CHECK(out.has_value() && out->size() == HYDROGRAPH.size());
        CHECK_BITS(out->front(), 42.5);
    }
    const std::vector<double> single{7.0};
    auto one = muskingum_reach_rs(single, 60, HOURS_2, 0.2, 1000000000000, -3.0);
    CHECK(one.has_value() && one->size() == 1);
    CHECK_BITS(one->front(), -3.0);
}

TEST(muskingum_pass_without_initial_starts_at_first_inflow) {
    auto out = muskingum_routing_rs({5.0, 9.0}, std::nullopt, 60.0, 120.0, 0.25);
    CHECK(out.has_value());
    CHECK_BITS((*out)[0], 5.0);
    // Zero storage: O_1 = -O_0 + (I_0 + I_1).
    auto instant = muskingum_routing_rs({5.0, 9.0, 4.0}, 1.0, 60.0, 0.0, 0.25);
    CHECK(instant.has_value());
    CHECK_BITS((*instant)[1], 13.0);
    CHECK_BITS((*instant)[2], 0.0);
}

TEST(muskingum_reservoir_routing_conserves_volume) {
    // x = 0 over one sub-reach, a pulse on a base flow of 10 that the outflow
    // has long returned to by the end.
    std::vector<double> inflow(300, 10.0);
    const double pulse[] = {30.0, 80.0, 140.0, 110.0, 60.0, 25.0};
    for (std::size_t i = 0; i < 6; ++i) inflow[3 + i] = pulse[i];
    auto out = muskingum_reach_rs(inflow, 3600, Duration{7200, 0}, 0.0, 1, 10.0);
    CHECK(out.has_value());
    double in_volume = 0.0, out_volume = 0.0;
    for (std::size_t i = 0; i < inflow.size(); ++i) {
        in_volume += inflow[i];
        out_volume += (*out)[i];
    }
    CHECK_NEAR(out->back(), 10.0, 1e-9);
    CHECK_NEAR(out_volume / in_volume, 1.0, 1e-12);
}

TEST(muskingum_refusals) {
    auto empty_pass = muskingum_routing_rs({}, 1.0, 60.0, 60.0, 0.2);
    CHECK(!empty_pass && empty_pass.error().kind == ErrorKind::Value &&
          empty_pass.error().message == "`inflow` must contain at least one value.");
    auto empty_reach = muskingum_reach_rs({}, 60, HOURS_2, 0.2, 0, 1.0);
    CHECK(!empty_reach &&
          empty_reach.error().message == "`inflow` must contain at least one value.");
    for (std::int64_t bad :
         {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
        auto r = muskingum_reach_rs(HYDROGRAPH, 60, HOURS_2, 0.2, bad, 1.0);
        CHECK(!r && r.error().kind == ErrorKind::Value &&
              r.error().message == "`sub_reaches` must be >= 1.");
    }
}

TEST(muskingum_x_range) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double x : {0.0, -0.0, 0.5, 0.25}) CHECK(!muskingum_x_out_of_range(x));
    for (double x : {0.6, -0.1, 0.5000000000000001, nan, -HUGE_VAL})
        CHECK(muskingum_x_out_of_range(x));
}

TEST(muskingum_evaluation_order) {
    // Irregular values, so that another summation order rounds differently:
    // O_i = C2 O_{i-1} + (C1 I_{i-1} + C0 I_i), the inflow terms first.
    const std::vector<double> inflow{3.7, 118.21, 0.013, 77.7, 1e-3, 5123.9, 0.7, 33.3};
    const double dt = 900.0, k = 2345.6, x = 0.137;
    const double two_k = k + k, omx = 1.0 - x;
    const double den = dt + two_k * omx;
    const double c0 = (dt - two_k * x) / den, c1 = (dt + two_k * x) / den;
    const double c2 = (two_k * omx - dt) / den;
    auto out = muskingum_routing_rs(Values(inflow.begin(), inflow.end()), 2.5, dt, k, x);
    CHECK(out.has_value());
    double prev = 2.5;
    CHECK_BITS((*out)[0], prev);
    for (std::size_t i = 1; i < inflow.size(); ++i) {
        const double inflow_terms = c1 * inflow[i - 1] + c0 * inflow[i];
        prev = c2 * prev + inflow_terms;
        CHECK_BITS((*out)[i], prev);
    }
}

TEST(muskingum_pass_ends_are_those_of_a_plain_rerun) {
    // Passes routed one by one: the first from the initial outflow, each
    // later one from its own first inflow; more than one fused sweep of 8.
    const std::vector<double> flood{10.0, 80.0, 260.0, 190.0, 120.0, 60.0, 30.0, 20.0, 15.0};
    for (std::size_t n : {1u, 2u, 5u, 9u})
        for (std::int64_t passes : {1, 3, 8, 11}) {
            const std::span<const double> in(flood.data(), n);
            Values ends;
            auto out = muskingum_reach_rs(in, 900, HOURS_2, 0.15, passes, 12.5, {}, &ends);
            CHECK(out.has_value() && ends.size() == static_cast<std::size_t>(passes));
            if (!out || ends.size() != static_cast<std::size_t>(passes)) continue;
            const double k_seg = 7200.0 / static_cast<double>(passes);
            Values pass(in.begin(), in.end());
            for (std::int64_t p = 0; p < passes; ++p) {
                pass = *muskingum_routing_rs(
                    std::move(pass), p == 0 ? 12.5 : std::optional<double>{}, 900.0, k_seg, 0.15);
                CHECK_BITS(ends[static_cast<std::size_t>(p)], pass.back());
            }
            CHECK_BITS(ends.back(), out->back());
        }
}

TEST(muskingum_segments_is_the_reach_with_k_in_seconds) {
    // A Muskingum-Cunge reach routes through the same passes: bit for bit.
    for (std::int64_t passes : {1, 3, 9}) {
        Values ends_a, ends_b;
        auto a = muskingum_reach_rs(HYDROGRAPH, 600, HOURS_2, 0.35, passes, 90.0, {}, &ends_a);
        auto b = muskingum_segments_rs(HYDROGRAPH, 600.0, 7200.0 / static_cast<double>(passes),
                                       0.35, passes, 90.0, {}, &ends_b);
        CHECK(a.has_value() && b.has_value() && a->size() == b->size());
        for (std::size_t i = 0; i < a->size(); ++i) CHECK_BITS((*a)[i], (*b)[i]);
        for (std::size_t i = 0; i < ends_a.size(); ++i) CHECK_BITS(ends_a[i], ends_b[i]);
    }
    CHECK(!muskingum_segments_rs(HYDROGRAPH, 60.0, 10.0, 0.2, 0, 1.0).has_value());
}

TEST(lag_shifts_and_interpolates) {
    // Whole steps shift exactly; 1.25 steps is a quarter of the way to the next shift.
    auto two = lag_rs(HYDROGRAPH, 600.0, 1200.0);
    const double shifted[] = {100.0, 100.0, 100.0, 200.0, 300.0};
    CHECK(two.has_value() && two->size() == 5);
    for (std::size_t i = 0; i < 5; ++i) CHECK_BITS((*two)[i], shifted[i]);
    auto part = lag_rs(HYDROGRAPH, 600.0, 750.0);
    const double parted[] = {100.0, 100.0, 175.0, 275.0, 225.0};
    for (std::size_t i = 0; i < 5; ++i) CHECK_BITS((*part)[i], parted[i]);
    auto none = lag_rs(HYDROGRAPH, 600.0, 0.0);
    for (std::size_t i = 0; i < 5; ++i) CHECK_BITS((*none)[i], HYDROGRAPH[i]);
    auto past = lag_rs(HYDROGRAPH, 600.0, 1e9);
    for (double v : *past) CHECK_BITS(v, 100.0);
    CHECK(!lag_rs({}, 600.0, 0.0).has_value());
    CHECK(!lag_rs(HYDROGRAPH, 600.0, -1.0).has_value());
    CHECK(!lag_rs(HYDROGRAPH, 0.0, 1.0).has_value());
}

TEST(lag_conserves_volume) {
    // A pulse that passes the reach within the record leaves as much as came in.
    std::vector<double> pulse(40, 5.0);
    for (std::size_t i = 3; i < 12; ++i) pulse[i] = 5.0 + 10.0 * static_cast<double>(i % 5);
    for (double lag : {0.0, 600.0, 1000.0, 3599.0}) {
        auto out = lag_rs(pulse, 300.0, lag);
        double in_sum = 0.0, out_sum = 0.0;
        for (std::size_t i = 0; i < pulse.size(); ++i) {
            in_sum += pulse[i];
            out_sum += (*out)[i];
        }
        CHECK_NEAR(out_sum, in_sum, 1e-9);
    }
}
