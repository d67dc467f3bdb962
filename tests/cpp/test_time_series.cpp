#include "check.hpp"

#include "format.hpp"
#include "utils/time_series.hpp"
#include <cmath>

using namespace basinkit;

TEST(get_value_interpolates_and_clamps) {
    std::vector<double> d{0.0, 10.0, 20.0};
    CHECK_BITS(*series_get_value(d, 60, 30.0), 5.0);
    CHECK_BITS(*series_get_value(d, 60, 120.0000005), 20.0);
    CHECK_BITS(*series_get_value(d, 60, -0.0000005), 0.0);
    auto e = series_get_value(d, 60, 121.0);
    CHECK(!e && e.error().message == "`duration` 121 is out of range (max 120).");
    auto empty = series_get_value({}, 60, std::nan(""));
    CHECK(!empty && empty.error().kind == ErrorKind::Panic);
}

TEST(number_forms) {
    CHECK_EQ(fmt::plain(1.0), "1");
    CHECK_EQ(fmt::plain(1e-7), "0.0000001");
    CHECK_EQ(fmt::plain(-0.0), "-0");
    CHECK_EQ(fmt::plain(-INFINITY), "-inf");
    CHECK_EQ(fmt::debug(1.0), "1.0");
    CHECK_EQ(fmt::debug(1e-5), "1e-5");
    CHECK_EQ(fmt::debug(1e16), "1e16");
    CHECK_EQ(fmt::debug(-2.5e-7), "-2.5e-7");
    CHECK_EQ(fmt::fixed(0.25, 4), "0.2500");
    CHECK_EQ(fmt::fixed(1.0 / 3.0, 4), "0.3333");
}
