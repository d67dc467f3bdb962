// Snyder's synthetic unit hydrograph, drawn as a polygon through Snyder's
// peak and widths at 75 % and 50 % of it, with a base time that makes it hold
// exactly one depth unit, read every step and scaled like every ordinate-based
// transform. The coefficients of the unit system come in `SnyderUnits`.
#pragma once

#include "cancel.hpp"
#include "error.hpp"
#include "utils/large_buffer.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace basinkit {

// Snyder's coefficients for one unit system, flow per area and depth unit
// with times in hours: qp = c2 Cp / tp, W50 = c50 / qp^1.08, W75 = c75 /
// qp^1.08 (US: 640, 770, 440 for cfs per square mile and inch).
struct SnyderUnits {
    double c2 = 640.0;
    double c50 = 770.0;
    double c75 = 440.0;
};

// The polygon's seven points: times (s from the start of the excess) and
// discharges (flow units).
struct SnyderPolygon {
    std::array<double, 7> t{};
    std::array<double, 7> q{};
};

// The polygon for a computation step of `time_step` seconds, in this order:
//   tr = tp / 5.5 (h), tpR = tp + (dt - tr) / 4, qpR = (c2 Cp) / tpR,
//   Qp = qpR A, W50 = c50 / qpR^1.08, W75 = c75 / qpR^1.08, Tpk = dt / 2 + tpR;
//   points (0, 0), (Tpk - W50/3, Qp/2), (Tpk - W75/3, 3Qp/4), (Tpk, Qp),
//   (Tpk + 2 W75/3, 3Qp/4), (Tpk + 2 W50/3, Qp/2), (tb, 0), where tb closes
//   the volume: tb = t5 + 4 (V - S) / Qp with S the trapezoids up to t5.
// A ValueError when the widths reach before the excess or hold a unit alone.
Result<SnyderPolygon> snyder_polygon(std::int32_t time_step, double unit_volume, double area,
                                     double lag_s, double cp, const SnyderUnits &units);

// Ordinates at 0, dt, 2 dt, ...: the polygon read linearly, 0 from tb on,
// then scaled to hold `unit_volume`.
Result<std::vector<double>> snyder_unit_hydrograph(std::int32_t time_step, double unit_volume,
                                                   double area, double lag_s, double cp,
                                                   const SnyderUnits &units,
                                                   const CancelHook &cancel = {});

// The direct runoff of `excess` through Snyder's unit hydrograph.
Result<Values> snyder_uh_rs(std::span<const double> excess, std::int32_t time_step,
                            double unit_volume, double area, double lag_s, double cp,
                            const SnyderUnits &units, const CancelHook &cancel = {});

} // namespace basinkit
