#include "check.hpp"

#include "rainfall_transform/clark_uh.hpp"
#include "reach_routing/muskingum.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

using namespace basinkit;

namespace {

// Translation ordinates q_1..q_n written straight from the time-area curve;
// n is at least 1 and a zero tc reads the curve at its end.
std::vector<double> translation(double dt, double tc, double area) {
    const std::size_t n = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(tc / dt)));
    std::vector<double> q;
    double prev = 0.0;
    for (std::size_t j = 1; j <= n; ++j) {
        double t = (dt * static_cast<double>(j)) / tc;
        if (t > 1.0) t = 1.0;
        const double a =
            t < 0.5 ? std::pow(t, 1.5) * 1.414 : std::pow(1.0 - t, 1.5) * (-1.414) + 1.0;
        q.push_back((((a - prev) * area) * 1.00833) / (dt / 3600.0));
        prev = a;
    }
    return q;
}

// The unit hydrograph up to U_n, by one Muskingum pass over the inflow
// [0.0, q_1, ..., q_n] from an empty reservoir, and its convolution: what the
// model gives before its recession is added.
std::vector<double> truncated_discharge(const std::vector<double> &rain, double dt, double tc,
                                        double r, double area, std::vector<double> *uh_out) {
    Values inflow{0.0};
    for (double q : translation(dt, tc, area)) inflow.push_back(q);
    auto uh = muskingum_routing_rs(inflow, 0.0, dt, r, 0.0);
    std::vector<double> q(rain.size() + uh->size() - 1, 0.0);
    for (std::size_t i = 0; i < rain.size(); ++i) {
        if (rain[i] == 0.0) continue;
        for (std::size_t m = 0; m < uh->size(); ++m) q[i + m] = q[i + m] + rain[i] * (*uh)[m];
    }
    if (uh_out) uh_out->assign(uh->begin(), uh->end());
    return q;
}

double sum(std::span<const double> v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s;
}

Duration secs(std::uint64_t s, std::uint32_t nanos = 0) {
    return Duration{s, nanos};
}

} // namespace

TEST(clark_worked_example) {
    const std::vector<double> rain{1.0, 0.5};
    const auto q = translation(3600.0, 7200.0, 640.0);
    CHECK_NEAR(q[0], 322.714326, 5e-7);
    CHECK_NEAR(q[1], 322.616874, 5e-7);
    auto uh = clark_unit_hydrograph(3600, 640.0, 7200.0, 3600.0);
    CHECK(uh.has_value() && uh->head.size() == 3 && uh->recession.size() >= 2);
    CHECK_BITS(uh->head[0], 0.0);
    CHECK_NEAR(uh->head[1], 107.571442, 5e-7);
    CHECK_NEAR(uh->head[2], 250.967547, 5e-7);
    CHECK_NEAR(uh->recession[0], 191.194807, 5e-7);
    CHECK_NEAR(uh->recession[1], 63.731602, 5e-7);
    auto out = clark_uh_rs(rain, 3600, 640.0, secs(7200), secs(3600));
    CHECK(out.has_value() && out->size() == 23);
    CHECK_EQ(out->size(), rain.size() + uh->head.size() + uh->recession.size() - 1);
    const double expected[] = {0.0, 107.571442, 304.753268, 316.678581, 159.329006, 53.109669};
    for (std::size_t i = 0; i < 6; ++i) CHECK_NEAR((*out)[i], expected[i], 5e-7);
    CHECK_BITS((*out)[0], 0.0);
}

TEST(clark_first_ordinates_match_the_truncated_hydrograph) {
    struct Case {
        std::int32_t step;
        double tc, r, area;
    };
    const Case cases[] = {
        {3600, 7200.0, 3600.0, 640.0}, {3600, 9000.0, 5400.0, 100.0},
        {3600, 10800.0, 0.0, 50.0},    {900, 360000.0, 7200.0, 1200.0},
        {60, 7260.5, 30.0, 3.25},      {3600, 3600.0 * 7, 1e7, 10.0},
        {3600, 0.0, 3600.0, 640.0},    {900, 100.0, 200.0, 7.5},
    };
    const std::vector<double> rain{0.0, 0.4, 1.25, 0.0, -0.0, 0.3, 0.05};
    for (const Case &c : cases) {
        std::vector<double> uh_ref;
        const auto ref = truncated_discharge(rain, c.step, c.tc, c.r, c.area, &uh_ref);
        auto uh = clark_unit_hydrograph(c.step, c.area, c.tc, c.r);
        CHECK(uh.has_value() && uh->head.size() == uh_ref.size());
        for (std::size_t i = 0; i < uh_ref.size(); ++i) CHECK_BITS(uh->head[i], uh_ref[i]);
        const std::uint64_t tc_s = static_cast<std::uint64_t>(c.tc);
        const auto nanos = static_cast<std::uint32_t>((c.tc - static_cast<double>(tc_s)) * 1e9);
        auto out = clark_uh_rs(rain, c.step, c.area, secs(tc_s, nanos),
                               secs(static_cast<std::uint64_t>(c.r)));
        CHECK(out.has_value() && out->size() >= ref.size());
        for (std::size_t i = 0; i < uh_ref.size(); ++i) CHECK_BITS((*out)[i], ref[i]);
    }
}

TEST(clark_recession_ends_at_its_cutoff) {
    // Above, at and below R = dt / 2; below it the recession alternates in sign.
    for (double r : {18000.0, 1800.0, 600.0}) {
        auto uh = clark_unit_hydrograph(3600, 640.0, 36000.0, r);
        CHECK(uh.has_value() && !uh->recession.empty());
        double largest = 0.0;
        for (double u : uh->head) largest = std::fabs(u) > largest ? std::fabs(u) : largest;
        bool negative = false;
        for (double u : uh->recession) {
            CHECK(std::fabs(u) > 1e-9 * largest);
            largest = std::fabs(u) > largest ? std::fabs(u) : largest;
            negative = negative || u < 0.0;
        }
        CHECK(negative == (r < 1800.0));
        if (r < 1800.0) CHECK(uh->recession.size() > 3); // past the first negative
        // The ordinate after the last kept one would fall below the cutoff.
        const auto c = muskingum_coefficients(3600.0, r, 0.0);
        CHECK(!(std::fabs(muskingum_step(c, uh->recession.back(), 0.0, 0.0)) > 1e-9 * largest));
    }

    // R = dt / 2 empties the reservoir in one step: one recession ordinate,
    // half of the last translation ordinate.
    const auto q = translation(3600.0, 10800.0, 80.0);
    auto half = clark_unit_hydrograph(3600, 80.0, 10800.0, 1800.0);
    CHECK(half.has_value() && half->recession.size() == 1);
    CHECK_BITS(half->recession[0], 0.5 * q.back());

    // Without storage the translation passes unchanged: U = [0, q_1, ..., q_n]
    // to rounding, and nothing follows.
    auto bare = clark_unit_hydrograph(3600, 80.0, 10800.0, 0.0);
    CHECK(bare.has_value() && bare->head.size() == q.size() + 1 && bare->recession.empty());
    for (std::size_t j = 0; j < q.size(); ++j) CHECK_NEAR(bare->head[j + 1], q[j], 1e-12 * q[j]);

    // A very slow reservoir stops at the length cap.
    auto slow = clark_unit_hydrograph(60, 1.0, 120.0, 6e7);
    CHECK(slow.has_value() && slow->recession.size() == CLARK_MAX_RECESSION);
}

TEST(clark_short_tc_without_storage_passes_rain_one_step_later) {
    const std::vector<double> rain{0.2, 0.0, 1.5, 0.75};
    for (std::uint64_t tc : {3600u, 1800u, 1u, 0u}) {
        auto out = clark_uh_rs(rain, 3600, 640.0, secs(tc), secs(0));
        CHECK(out.has_value() && out->size() == rain.size() + 1);
        const double q1 = ((1.0 * 640.0) * 1.00833) / (3600.0 / 3600.0);
        CHECK_BITS((*out)[0], 0.0);
        for (std::size_t i = 0; i < rain.size(); ++i) CHECK_BITS((*out)[i + 1], rain[i] * q1);
    }
    // With storage the short tc yields a hydrograph.
    auto stored = clark_uh_rs(rain, 3600, 640.0, secs(3600), secs(3600));
    CHECK(stored.has_value() && (*stored)[1] > 0.0 && stored->size() > rain.size() + 2);
}

TEST(clark_holds_the_volume_of_its_excess) {
    // One inch of excess leaves as one inch of runoff, whatever tc and R.
    struct Case {
        std::uint64_t tc, r;
        double area;
    };
    const Case cases[] = {{7200, 3600, 640.0}, {9000, 1800, 10.0},    {36000, 18000, 333.0},
                          {3600, 7200, 5.0},   {100000, 250000, 2.0}, {0, 900, 64.0},
                          {10800, 0, 12.0},    {10800, 1000, 12.0},   {3600, 1, 900.0}};
    const std::vector<double> rain{0.3, 0.0, 1.1, 0.6, 0.02};
    for (const Case &c : cases) {
        const double q_sum = sum(translation(3600.0, static_cast<double>(c.tc), c.area));
        CHECK_NEAR(q_sum / (c.area * 1.00833), 1.0, 1e-12); // the curve reaches 1
        auto out = clark_uh_rs(rain, 3600, c.area, secs(c.tc), secs(c.r));
        CHECK(out.has_value());
        CHECK_NEAR(sum(*out) / (sum(rain) * q_sum), 1.0, 1e-9);
    }
}

TEST(clark_degenerate_cases) {
    const std::vector<double> rain{1.0, 2.0, 0.5};
    for (std::int32_t step : {0, -60}) {
        auto out = clark_uh_rs(rain, step, 640.0, secs(7200), secs(3600));
        CHECK(out.has_value() && out->size() == rain.size());
        for (double v : *out) CHECK_BITS(v, 0.0);
    }
    // A zero tc is its limit: the same as the shortest positive one.
    auto zero = clark_uh_rs(rain, 3600, 640.0, secs(0), secs(3600));
    auto tiny = clark_uh_rs(rain, 3600, 640.0, secs(0, 1000), secs(3600));
    CHECK(zero.has_value() && tiny.has_value() && zero->size() == tiny->size());
    CHECK(zero->size() > rain.size() + 1);
    for (std::size_t i = 0; i < zero->size(); ++i) CHECK_BITS((*zero)[i], (*tiny)[i]);
    // No rain: every unit-hydrograph ordinate but one, all zero.
    auto uh = clark_unit_hydrograph(3600, 640.0, 18000.0, 3600.0);
    auto empty = clark_uh_rs({}, 3600, 640.0, secs(18000), secs(3600));
    CHECK(empty.has_value());
    CHECK_EQ(empty->size(), uh->head.size() + uh->recession.size() - 1);
    for (double v : *empty) CHECK_BITS(v, 0.0);
}

TEST(clark_ordinate_count_rounds_up) {
    struct Case {
        Duration tc;
        std::size_t n;
    };
    const Case cases[] = {{secs(9000), 3}, {secs(10800), 3}, {secs(7200, 1000), 3},
                          {secs(7200), 2}, {secs(1), 1},     {secs(0), 1}};
    for (const Case &c : cases) {
        auto uh = clark_unit_hydrograph(3600, 1.0, c.tc.as_secs_f64(), 3600.0);
        CHECK(uh.has_value() && uh->head.size() == c.n + 1);
    }
}

TEST(clark_non_finite_values) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> rain{0.5, nan, 0.0};
    auto out = clark_uh_rs(rain, 3600, 640.0, secs(10800), secs(3600));
    CHECK(out.has_value() && out->size() > 3);
    // The NaN reaches the values from its own step on, one per ordinate; the
    // last value only has the zero rain behind it.
    CHECK(!std::isnan((*out)[0]));
    for (std::size_t i = 1; i + 1 < out->size(); ++i) CHECK(std::isnan((*out)[i]));
    CHECK_BITS(out->back(), 0.0);
    // Zero rain is skipped even against infinite ordinates.
    const std::vector<double> dry{0.0, -0.0};
    auto inf = clark_uh_rs(dry, 3600, INFINITY, secs(10800), secs(3600));
    CHECK(inf.has_value() && !inf->empty());
    for (double v : *inf) CHECK_BITS(v, 0.0);
}

TEST(clark_refuses_an_unallocatable_tc) {
    const std::vector<double> rain{1.0};
    auto out = clark_uh_rs(rain, 1, 640.0, secs(1'000'000'000'000'000'000), secs(3600));
    CHECK(!out && out.error().kind == ErrorKind::Memory);
    CHECK_EQ(out.error().message, "`tc` spans 1000000000000000000 time steps; the unit "
                                  "hydrograph can hold at most 100000000 ordinates.");
    auto top = clark_uh_rs(rain, 1, 640.0, secs(UINT64_MAX, 999999000), secs(0));
    CHECK(!top && top.error().kind == ErrorKind::Memory);
}

// Every kernel against the plain convolution, bit for bit, across lengths
// around the block widths and rain with gaps, negative and signed-zero steps.
TEST(clark_kernels_match_the_plain_convolution) {
    auto uh = clark_unit_hydrograph(900, 2000.0, 4500.0, 2700.0);
    CHECK(uh.has_value());
    std::vector<double> u = uh->head;
    u.insert(u.end(), uh->recession.begin(), uh->recession.end());
    for (std::size_t len : {1u, 2u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 97u}) {
        std::vector<double> rain(len);
        for (std::size_t i = 0; i < len; ++i)
            rain[i] = i % 5 == 3   ? 0.0
                      : i % 7 == 2 ? -0.0
                                   : 0.01 * static_cast<double>(i % 9) - 0.02;
        std::vector<double> plain(len + u.size() - 1, 0.0);
        for (std::size_t i = 0; i < len; ++i) {
            if (rain[i] == 0.0) continue;
            for (std::size_t k = 0; k < u.size(); ++k) plain[i + k] = plain[i + k] + rain[i] * u[k];
        }
        for (ConvolutionKernel kernel : {ConvolutionKernel::Fastest, ConvolutionKernel::Portable}) {
            auto q = clark_uh_rs(rain, 900, 2000.0, secs(4500), secs(2700), kernel);
            CHECK(q.has_value() && q->size() == plain.size());
            for (std::size_t j = 0; j < plain.size(); ++j) CHECK_BITS((*q)[j], plain[j]);
        }
    }
    CHECK(std::strcmp(kernel_name(ConvolutionKernel::Portable), "portable") == 0);
}

TEST(clark_cut_tail_is_the_geometric_rest_of_the_recession) {
    // Continued past the cut, each ordinate is c2 times the one before; the
    // cut tail sums that continuation. Alternating (R < dt / 2) and slow.
    for (double r : {600.0, 7200.0, 90000.0}) {
        const std::vector<double> one{1.0};
        ClarkUnitEnd end;
        auto unit = clark_uh_rs(one, 1800, 500.0, secs(10800), secs(static_cast<std::uint64_t>(r)),
                                ConvolutionKernel::Fastest, {}, &end);
        CHECK(unit.has_value() && end.ordinates == unit->size());
        if (!unit) continue;
        const MuskingumCoefficients c = muskingum_coefficients(1800.0, r, 0.0);
        CHECK_BITS(end.c2, c.c2);
        CHECK_BITS(end.last, unit->back());
        double u = unit->back(), rest = 0.0;
        for (int i = 0; i < 100000 && u != 0.0; ++i) {
            u = muskingum_step(c, u, 0.0, 0.0);
            rest += u;
        }
        CHECK_NEAR(end.cut_tail(), rest, 1e-12 * std::fabs(unit->front() + 1e3 * unit->back()));
        CHECK(std::fabs(end.cut_tail()) < 1e-6 * sum(*unit));
    }
    ClarkUnitEnd none{5, 1.0, 1.0};
    CHECK_BITS(none.cut_tail(), 0.0);
}
