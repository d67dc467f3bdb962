#include "check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "utils/general.hpp"
#include "utils/time_series.hpp"

using namespace basinkit;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Same optional answer, bit for bit.
bool same(const std::optional<double> &a, const std::optional<double> &b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || check::bits(*a) == check::bits(*b);
}

std::string fault_of(const Result<std::optional<double>> &r) {
    return !r && r.error().kind == ErrorKind::Panic ? r.error().message : "<no fault>";
}

} // namespace

TEST(interp1d_table_answers) {
    const std::vector<double> x{0.0, 10.0, 20.0}, y{0.0, 100.0, 300.0};
    struct Case {
        double q;
        std::optional<double> want;
    } cases[] = {
        {5.0, 50.0},  {15.0, 200.0},    {10.0, 100.0}, {0.0, 0.0}, {20.0, 300.0},
        {-1.0, -7.0}, {20.000001, 9.0}, {-0.0, 0.0}, // -0.0 equals the first abscissa: its ordinate
                                                     // unchanged
    };
    for (const Case &c : cases) {
        auto r = interp1d(x, y, c.q, -7.0, 9.0);
        CHECK(r && same(*r, c.want));
    }
    // A caller may leave an outside answer absent to learn about the range.
    auto below = interp1d(x, y, -1.0, 0.0, std::nullopt);
    auto above = interp1d(x, y, 21.0, 0.0, std::nullopt);
    CHECK(below && same(*below, 0.0));
    CHECK(above && !*above);
    // Flat ordinates are allowed.
    const std::vector<double> flat{5.0, 5.0, 5.0};
    for (double q : {0.0, 3.0, 10.0, 17.5, 20.0}) {
        auto r = interp1d(x, flat, q, std::nullopt, std::nullopt);
        CHECK(r && same(*r, 5.0));
    }
}

TEST(interp1d_infinite_table_values_follow_float_rules) {
    const std::vector<double> x{-kInf, 0.0, kInf}, y{-1.0, 0.0, 1.0};
    auto mid = interp1d(x, y, 5.0, std::nullopt, std::nullopt);
    CHECK(mid && same(*mid, 0.0)); // 0 + (5 / inf) * 1
    auto low = interp1d(x, y, -5.0, std::nullopt, std::nullopt);
    CHECK(low && *low && std::isnan(**low)); // -1 + ((-5 + inf) / inf) * 1
    auto top = interp1d(x, y, kInf, std::nullopt, std::nullopt);
    CHECK(top && same(*top, 1.0)); // exact hit
}

TEST(interp1d_faults_in_check_order) {
    using V = std::vector<double>;
    struct Case {
        V x, y;
        double q;
        const char *fault;
    } cases[] = {
        {{1.0, 0.0, 2.0}, {1.0, 2.0}, 1.0, "length of `x_values` and `y_values` should be same."},
        {{1.0}, {2.0}, 1.0, "x_values and y_values each must have at least 2 elements."},
        {{}, {}, 1.0, "x_values and y_values each must have at least 2 elements."},
        {{0.0, 1.0, 1.0},
         {3.0, 2.0, 1.0},
         0.5,
         "`x_values` must must be sorted and can't have duplicates"},
        {{0.0, kNaN, 2.0},
         {0.0, 1.0, 2.0},
         0.5,
         "`x_values` must must be sorted and can't have duplicates"},
        {{0.0, 1.0, 2.0}, {0.0, 2.0, 1.0}, 0.5, "`y_values` must must be sorted"},
        {{0.0, 1.0}, {kNaN, 1.0}, 0.5, "`y_values` must must be sorted"},
        // A bad table is reported before a NaN query.
        {{0.0, 1.0}, {1.0, 0.0}, kNaN, "`y_values` must must be sorted"},
        // A NaN query on a good table: a fault without a message of its own.
        {{0.0, 1.0}, {0.0, 1.0}, kNaN, ""},
    };
    for (const Case &c : cases) {
        CHECK_EQ(fault_of(interp1d(c.x, c.y, c.q, 0.0, 0.0)), c.fault);
        // The checked-once table reports the same fault at each lookup.
        const Table table(c.x, c.y);
        std::size_t hint = 0;
        for (int i = 0; i < 2; ++i) CHECK_EQ(fault_of(table.lookup(c.q, 0.0, 0.0, hint)), c.fault);
    }
}

// The hinted search must land on the interval the halving search finds, for
// any starting hint: compare both over random tables and query walks.
TEST(hinted_lookup_matches_interp1d_bitwise) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int compared = 0, mismatches = 0;
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 2 + rng() % 40;
        std::vector<double> x(n), y(n);
        double xv = unit(rng) * 200.0 - 100.0;
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = xv;
            xv += rng() % 5 == 0 ? std::ldexp(1.0, -40) : unit(rng) * 10.0 + 1e-9;
            // Signed values of mixed magnitude: where they cross zero,
            // y0 + (y1 - y0) differs from y1, so even an exact hit shows an
            // interval one too low. Ties are allowed.
            y[i] = (rng() % 2 ? 1.0 : -1.0) * unit(rng) * std::pow(10.0, double(rng() % 7) - 3.0);
            if (i > 0 && rng() % 6 == 0) y[i] = y[i - 1];
        }
        std::sort(y.begin(), y.end());
        const Table table(x, y);
        std::size_t hint = rng() % (n + 3); // also out of range
        double q = x[rng() % n];
        for (int step = 0; step < 300; ++step) {
            switch (rng() % 5) {
            case 0:
                q = x[rng() % n];
                break; // exact hit anywhere
            case 1:
                q = x[0] - 20.0 + unit(rng) * (x[n - 1] - x[0] + 40.0);
                break; // jump
            case 2: {  // exact hit on the next or previous abscissa
                std::size_t i = 0;
                while (i < n && x[i] <= q) ++i;
                q = rng() % 2 ? x[i < n ? i : n - 1] : x[i >= 2 ? i - 2 : 0];
                break;
            }
            default:
                q += (unit(rng) - 0.5) * 3.0;
                break; // walk
            }
            const std::optional<double> left = -1.5, right = std::nullopt;
            auto plain = interp1d(x, y, q, left, right);
            auto hinted = table.lookup(q, left, right, hint);
            ++compared;
            if (!plain || !hinted || !same(*plain, *hinted)) ++mismatches;
        }
    }
    CHECK_EQ(compared, 400 * 300);
    CHECK_EQ(mismatches, 0);
}

TEST(nan_ignoring_min_max) {
    struct Case {
        double a, b, max, min;
    } cases[] = {
        {1.0, 2.0, 2.0, 1.0},  {2.0, 1.0, 2.0, 1.0},     {kNaN, 3.0, 3.0, 3.0},
        {3.0, kNaN, 3.0, 3.0}, {-kInf, 0.0, 0.0, -kInf},
    };
    for (const Case &c : cases) {
        CHECK_BITS(max_num(c.a, c.b), c.max);
        CHECK_BITS(min_num(c.a, c.b), c.min);
    }
    CHECK(std::isnan(max_num(kNaN, kNaN)));
}

// The unchecked in-range series lookup against the full one.
TEST(series_value_within_matches_get_value) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int mismatches = 0;
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = 1 + rng() % 30;
        const std::int32_t dt = static_cast<std::int32_t>(1 + rng() % 5000);
        std::vector<double> data(n);
        for (double &v : data) v = rng() % 10 == 0 ? kNaN : unit(rng) * 1000.0 - 100.0;
        const std::int64_t span = static_cast<std::int64_t>(n - 1) * dt;
        for (int k = 0; k < 50; ++k) {
            const double t = static_cast<double>(static_cast<std::int64_t>(rng() % (span + 1)));
            auto full = series_get_value(data, dt, t);
            const double fast = series_value_within(data, dt, t);
            if (!full || check::bits(*full) != check::bits(fast)) ++mismatches;
        }
    }
    CHECK_EQ(mismatches, 0);
}
