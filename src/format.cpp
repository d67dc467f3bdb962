#include "format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace basinkit::fmt {

namespace {

// Returns "NaN", "inf" or "-inf" for non-finite values, empty otherwise.
std::string non_finite(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    return {};
}

} // namespace

std::string plain(double v) {
    if (auto s = non_finite(v); !s.empty()) return s;
    // Shortest round-trip digits come from the scientific form; they are then
    // laid out positionally (the fixed form would print the exact binary
    // value of large numbers instead).
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    const bool negative = sci.front() == '-';
    if (negative) sci.remove_prefix(1);
    const auto e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int exponent = 0;
    std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                    exponent);
    const long point = static_cast<long>(exponent) + 1; // digits before the decimal point
    const long n = static_cast<long>(digits.size());
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string debug(double v) {
    if (auto s = non_finite(v); !s.empty()) return s;
    double mag = std::fabs(v);
    if (mag != 0.0 && (mag < 1e-4 || mag >= 1e16)) {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
        std::string s(buf, r.ptr);
        // to_chars writes "1e-05" / "1e+16": drop '+' and exponent zeros.
        auto e = s.find('e');
        std::string mant = s.substr(0, e);
        std::string exp = s.substr(e + 1);
        bool neg = !exp.empty() && exp[0] == '-';
        if (!exp.empty() && (exp[0] == '-' || exp[0] == '+')) exp.erase(0, 1);
        auto nz = exp.find_first_not_of('0');
        exp = nz == std::string::npos ? "0" : exp.substr(nz);
        return mant + "e" + (neg ? "-" : "") + exp;
    }
    std::string s = plain(v);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

std::string fixed(double v, int places) {
    if (auto s = non_finite(v); !s.empty()) return s;
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, places);
    if (r.ec != std::errc{}) return plain(v);
    return std::string(buf, r.ptr);
}

std::string integer(std::int64_t v) {
    return std::to_string(v);
}

std::string debug_text(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char b[12];
                std::snprintf(b, sizeof b, "\\u{%x}", c);
                out += b;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

} // namespace basinkit::fmt
