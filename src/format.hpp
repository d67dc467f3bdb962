// Number forms used inside messages. Plain C++, shared by cores and bindings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace basinkit::fmt {

// Shortest round-trip digits, positional, never an exponent: 1.0 -> "1",
// 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", inf -> "inf".
std::string plain(double v);

// As plain, but integral values keep ".0" and magnitudes below 1e-4 or at
// least 1e16 use an exponent without '+' or leading zeros ("1e-5", "1e16").
std::string debug(double v);

// Exactly `places` digits after the point, rounded to nearest.
std::string fixed(double v, int places);

std::string integer(std::int64_t v);

// Text in double quotes with backslash escapes.
std::string debug_text(std::string_view s);

} // namespace basinkit::fmt
