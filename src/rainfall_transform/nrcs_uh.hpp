// NRCS unit hydrograph: the standard dimensionless curve (q/qp against t/Tp)
// stretched to a time to peak Tp = dt / 2 + lag, or for another peak rate
// factor a gamma curve q/qp = (t/Tp)^m exp(m (1 - t/Tp)) whose area suits
// that factor. The ordinates are then scaled to hold exactly one depth unit.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/large_buffer.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace basinkit {

// The area of a gamma curve with peak 1 at x = 1, in Tp x qp:
// e^m Gamma(m + 1) / m^(m + 1).
double nrcs_gamma_area(double m);

// The m (in [0.01, 1000]) whose gamma curve has area `area_ratio`
// (volume / (qp Tp)); for a factor PRF in cfs, inches, square miles and
// hours that is 645.333 / PRF. A ValueError outside the reachable range.
Result<double> nrcs_gamma_shape(double area_ratio);

// The curve's value q/qp at x = t/Tp: the standard table (linear between
// its points, 0 from x = 5) when `tabulated`, else the gamma curve of `m`.
double nrcs_curve(double x, bool tabulated, double m);

// Ordinates at 0, dt, 2 dt, ... (flow per depth unit): the curve read at
// x = (dt k) / Tp with Tp = dt / 2 + lag, u_0 = 0, ending with the first 0
// (the table's end, or past the peak where the gamma curve falls below
// 1e-12), then scaled to hold `unit_volume`.
Result<std::vector<double>> nrcs_unit_hydrograph(std::int32_t time_step, double unit_volume,
                                                 double lag_s, bool tabulated, double m,
                                                 const CancelHook &cancel = {});

// The direct runoff of `excess` through the NRCS unit hydrograph.
Result<Values> nrcs_uh_rs(std::span<const double> excess, std::int32_t time_step,
                          double unit_volume, double lag_s, bool tabulated, double m,
                          const CancelHook &cancel = {});

} // namespace basinkit
