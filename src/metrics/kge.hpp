// Kling-Gupta efficiency of a simulated series against an observed one.
#pragma once

#include "error.hpp"

#include <span>

namespace basinkit {

// 1 - sqrt((r-1)^2 + (beta-1)^2 + (gamma-1)^2) with population standard
// deviations, optionally on ln(x + 1e-6) of both series. Refuses an empty
// `obs`, then unequal lengths; degenerate statistics give no error.
Result<double> kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log);

} // namespace basinkit
