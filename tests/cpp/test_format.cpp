// Number forms written into messages.
#include "check.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "format.hpp"

using namespace basinkit;

namespace {

// Compares two texts and shows both on failure.
void expect_text(const char *file, int line, const std::string &actual, const std::string &want) {
    if (actual != want)
        check::fail(file, line, "got \"" + actual + "\", expected \"" + want + "\"");
}

} // namespace

#define CHECK_TEXT(actual, want) expect_text(__FILE__, __LINE__, (actual), (want))

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_ = std::numeric_limits<double>::quiet_NaN();
constexpr double dmax = std::numeric_limits<double>::max();
constexpr double dmin_sub = std::numeric_limits<double>::denorm_min();

TEST(fmt_plain_table_rows) {
    CHECK_TEXT(fmt::plain(1.0), "1");
    CHECK_TEXT(fmt::plain(0.5), "0.5");
    CHECK_TEXT(fmt::plain(1e-7), "0.0000001");
    CHECK_TEXT(fmt::plain(-0.0), "-0");
    CHECK_TEXT(fmt::plain(0.0), "0");
    CHECK_TEXT(fmt::plain(nan_), "NaN");
    CHECK_TEXT(fmt::plain(-nan_), "NaN");
    CHECK_TEXT(fmt::plain(inf), "inf");
    CHECK_TEXT(fmt::plain(-inf), "-inf");
}

TEST(fmt_plain_shortest_round_trip) {
    CHECK_TEXT(fmt::plain(0.1 + 0.2), "0.30000000000000004");
    CHECK_TEXT(fmt::plain(0.1), "0.1");
    CHECK_TEXT(fmt::plain(1.0 / 3.0), "0.3333333333333333");
    CHECK_TEXT(fmt::plain(-2.5), "-2.5");
    CHECK_TEXT(fmt::plain(-121.0), "-121");
    CHECK_TEXT(fmt::plain(123.456), "123.456");
    CHECK_TEXT(fmt::plain(4.35e-5), "0.0000435");
    CHECK_TEXT(fmt::plain(9007199254740992.0), "9007199254740992");
    // Every result must read back as the same float.
    const double samples[] = {0.1 + 0.2,     1.0 / 3.0, 2.0 / 3.0, 1e-300,
                              6.02214076e23, 1e21,      -7.25e-9};
    for (double v : samples) CHECK(std::stod(fmt::plain(v)) == v);
}

TEST(fmt_plain_never_uses_an_exponent) {
    CHECK_TEXT(fmt::plain(1e21), "1000000000000000000000");
    CHECK_TEXT(fmt::plain(-1e22), "-10000000000000000000000");
    CHECK_TEXT(fmt::plain(1e16), "10000000000000000");
    // Beyond 2^53 the shortest digits are padded with zeros, not replaced by
    // the exact binary value.
    CHECK_TEXT(fmt::plain(1e23), "100000000000000000000000");
    CHECK_TEXT(fmt::plain(std::ldexp(1.0, 70)), "1180591620717411300000");
    CHECK_TEXT(fmt::plain(dmax), "17976931348623157" + std::string(292, '0'));
    CHECK_TEXT(fmt::plain(dmin_sub), "0." + std::string(323, '0') + "5");
    CHECK_TEXT(fmt::plain(-dmin_sub), "-0." + std::string(323, '0') + "5");
    CHECK_TEXT(fmt::plain(1e-300).substr(0, 6), "0.0000");
    CHECK(fmt::plain(1e-300).find('e') == std::string::npos);
}

TEST(fmt_debug_table_rows) {
    CHECK_TEXT(fmt::debug(1.0), "1.0");
    CHECK_TEXT(fmt::debug(0.5), "0.5");
    CHECK_TEXT(fmt::debug(1e-5), "1e-5");
    CHECK_TEXT(fmt::debug(1e16), "1e16");
    CHECK_TEXT(fmt::debug(0.0), "0.0");
    CHECK_TEXT(fmt::debug(-0.0), "-0.0");
    CHECK_TEXT(fmt::debug(nan_), "NaN");
    CHECK_TEXT(fmt::debug(inf), "inf");
    CHECK_TEXT(fmt::debug(-inf), "-inf");
}

TEST(fmt_debug_exponent_thresholds) {
    // 1e-4 itself and just under 1e16 stay positional.
    CHECK_TEXT(fmt::debug(1e-4), "0.0001");
    CHECK_TEXT(fmt::debug(9999999999999998.0), "9999999999999998.0");
    CHECK_TEXT(fmt::debug(1e15), "1000000000000000.0");
    CHECK_TEXT(fmt::debug(9.999999999999999e-5), "9.999999999999999e-5");
    CHECK_TEXT(fmt::debug(-2.5e-7), "-2.5e-7");
    CHECK_TEXT(fmt::debug(1.5e16), "1.5e16");
    CHECK_TEXT(fmt::debug(-1e100), "-1e100");
    CHECK_TEXT(fmt::debug(1e23), "1e23");
    CHECK_TEXT(fmt::debug(dmax), "1.7976931348623157e308");
    CHECK_TEXT(fmt::debug(dmin_sub), "5e-324");
    CHECK_TEXT(fmt::debug(0.1 + 0.2), "0.30000000000000004");
    CHECK_TEXT(fmt::debug(-3.0), "-3.0");
    CHECK_TEXT(fmt::debug(123.456), "123.456");
}

TEST(fmt_fixed_places_and_rounding) {
    CHECK_TEXT(fmt::fixed(0.25, 4), "0.2500");
    CHECK_TEXT(fmt::fixed(1.0 / 3.0, 4), "0.3333");
    CHECK_TEXT(fmt::fixed(2.0 / 3.0, 4), "0.6667");
    CHECK_TEXT(fmt::fixed(3.7, 0), "4");
    CHECK_TEXT(fmt::fixed(12.0, 2), "12.00");
    CHECK_TEXT(fmt::fixed(-1.23456, 3), "-1.235");
    CHECK_TEXT(fmt::fixed(1e21, 2), "1000000000000000000000.00");
    // Exact ties go to the even digit.
    CHECK_TEXT(fmt::fixed(0.125, 2), "0.12");
    CHECK_TEXT(fmt::fixed(0.375, 2), "0.38");
    CHECK_TEXT(fmt::fixed(2.5, 0), "2");
    CHECK_TEXT(fmt::fixed(3.5, 0), "4");
    CHECK_TEXT(fmt::fixed(-0.125, 2), "-0.12");
    // Apparent ties are decided by the binary value: 1.005 is just below.
    CHECK_TEXT(fmt::fixed(1.005, 2), "1.00");
    CHECK_TEXT(fmt::fixed(2.675, 2), "2.67");
    CHECK_TEXT(fmt::fixed(1.0 / 3.0, 20), "0.33333333333333331483");
}

TEST(fmt_fixed_non_finite_unchanged) {
    CHECK_TEXT(fmt::fixed(nan_, 4), "NaN");
    CHECK_TEXT(fmt::fixed(inf, 2), "inf");
    CHECK_TEXT(fmt::fixed(-inf, 2), "-inf");
}

TEST(fmt_integer) {
    CHECK_TEXT(fmt::integer(0), "0");
    CHECK_TEXT(fmt::integer(120), "120");
    CHECK_TEXT(fmt::integer(-3600), "-3600");
    CHECK_TEXT(fmt::integer(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
    CHECK_TEXT(fmt::integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
}

TEST(fmt_debug_text_escapes) {
    CHECK_TEXT(fmt::debug_text("discharge"), "\"discharge\"");
    CHECK_TEXT(fmt::debug_text(""), "\"\"");
    CHECK_TEXT(fmt::debug_text("a\"b"), "\"a\\\"b\"");
    CHECK_TEXT(fmt::debug_text("back\\slash"), "\"back\\\\slash\"");
    CHECK_TEXT(fmt::debug_text("l1\nl2\tx\r"), "\"l1\\nl2\\tx\\r\"");
    // Non-ASCII text passes through as UTF-8.
    CHECK_TEXT(fmt::debug_text("d\xc3\xa9"
                               "bit"),
               "\"d\xc3\xa9"
               "bit\"");
    // Other control characters are escaped, never written raw.
    for (char c : {'\x01', '\x1b', '\x7f'}) {
        std::string out = fmt::debug_text(std::string(1, c));
        CHECK(out.find(c) == std::string::npos);
        CHECK(out.size() > 3 && out[1] == '\\');
    }
    std::string nul = fmt::debug_text(std::string_view("a\0b", 3));
    CHECK(nul.find('\0') == std::string::npos);
    CHECK(nul.find('\\') != std::string::npos);
}
