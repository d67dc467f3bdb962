// A non-negative span of time, as taken from a `timedelta`.
#pragma once

#include <cstdint>

namespace basinkit {

struct Duration {
    std::uint64_t secs = 0;  // days * 86400 + seconds
    std::uint32_t nanos = 0; // microseconds * 1000

    // Sub-second part first, then the whole seconds: this order is part of
    // the bit-exact arithmetic of every model that takes a duration.
    double as_secs_f64() const {
        return static_cast<double>(nanos) / 1e9 + static_cast<double>(secs);
    }
};

} // namespace basinkit
