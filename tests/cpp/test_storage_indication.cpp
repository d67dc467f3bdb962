#include "check.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "reservoir_routing/level_pool.hpp"
#include "reservoir_routing/storage_indication.hpp"

using namespace basinkit;

namespace {

using V = std::vector<double>;
using Outlets = std::vector<std::pair<std::string, DischargeInfo>>;

TimeSeries flow(V data, std::int32_t dt) {
    return TimeSeries{Values(data.begin(), data.end()), dt, "discharge"};
}

ElevationDischarge rating(V e, V q) {
    return *ElevationDischarge::create(std::move(e), std::move(q));
}

// 25 points 1 ft apart with a widening pool (ft³).
ElevationStorage pool() {
    V e, s;
    for (int i = 0; i < 25; ++i) {
        e.push_back(1000.0 + i);
        s.push_back(2.0e7 * i + 1.5e6 * i * i);
    }
    return *ElevationStorage::create(e, s);
}

// A weir over a crest at 1012 ft, a capped conduit above 1002 ft and a
// minimum release above 1001 ft, as the routing benchmarks use them.
Outlets three_outlets() {
    V e, weir, conduit;
    for (int i = 0; i < 25; ++i) {
        e.push_back(1000.0 + i);
        const double head = i > 12 ? i - 12.0 : 0.0;
        weir.push_back(180.0 * head * std::sqrt(head));
        conduit.push_back(400.0 * std::sqrt(static_cast<double>(i)));
    }
    return {
        {"spillway", UnControlledDischargeInfo{rating(e, weir), std::nullopt}},
        {"gate", ControlledDischargeInfo::create(rating(e, conduit), 1002.0, {}, 1500.0)},
        {"minimum_flow", ConstantDischargeInfo{100.0, 1001.0, std::nullopt}},
    };
}

// Base flow of 200 cfs and a wave peaking near 6000 cfs after two days,
// sampled every `dt` seconds over `hours`.
TimeSeries flood(std::int32_t dt, int hours) {
    TimeSeries s{{}, dt, "discharge"};
    for (std::int64_t t = 0; t <= std::int64_t{hours} * 3600; t += dt) {
        const double x = static_cast<double>(t) / (48.0 * 3600.0);
        s.data.push_back(200.0 + 6000.0 * x * x * std::exp(2.0 - 2.0 * x));
    }
    return s;
}

// Level pool routing from time 0: the first inflow value repeated once puts
// its records on the inflow's own clock with n values.
LevelPoolOutput level_pool_from_zero(TimeSeries inflow, double e0, const ElevationStorage &c,
                                     const Outlets &o) {
    inflow.data.insert(inflow.data.begin(), inflow.data.front());
    return *level_pool_routing_rs(inflow, e0, c, o);
}

// Largest |storage change - trapezoidal (inflow - outflow) volume| over the
// steps, relative to the largest storage.
double worst_imbalance(const TimeSeries &inflow, const LevelPoolOutput &r) {
    const double dt = inflow.time_step;
    double worst = 0.0, scale = std::abs(r.storage[0]);
    for (std::size_t k = 1; k < r.storage.size(); ++k) {
        const double in = (inflow.data[k - 1] + inflow.data[k]) * 0.5 * dt;
        const double out = (r.total[k - 1] + r.total[k]) * 0.5 * dt;
        worst = std::max(worst, std::abs((r.storage[k] - r.storage[k - 1]) - (in - out)));
        scale = std::max(scale, std::abs(r.storage[k]));
    }
    return worst / scale;
}

std::size_t argmax(std::span<const double> v) {
    return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

template <class T> std::string message_of(const Result<T> &r) {
    return r ? "<ok>" : r.error().message;
}

} // namespace

// Linear storage and a linear outlet make the step a linear recurrence:
// S_k = S_inf + (S_0 - S_inf) r^k with r = (2/dt - c) / (2/dt + c), c the
// outflow per unit storage. A constant release lowers S_inf by its rate / c.
TEST(storage_indication_linear_reservoir_closed_form) {
    const ElevationStorage curve = *ElevationStorage::create({100.0, 200.0}, {0.0, 1.0e5});
    const double c = 1000.0 / 1.0e5; // outflow 0..1000 over the same range
    for (std::int32_t dt : {1, 60, 600, 3600}) {
        for (double release : {0.0, 20.0}) {
            Outlets outlets{
                {"weir", UnControlledDischargeInfo{rating({100.0, 200.0}, {0.0, 1000.0}), {}}}};
            if (release > 0.0) outlets.push_back({"pump", ConstantDischargeInfo{release, {}, {}}});
            // Large steps make r negative: the method's known alternation.
            const double e0 = 106.0, s0 = 6.0e3;
            const auto r = storage_indication_routing_rs(flow(V(40, 50.0), dt), e0, curve, outlets);
            CHECK(r.has_value());
            if (!r) continue;
            const double ratio = (2.0 / dt - c) / (2.0 / dt + c);
            const double s_inf = (50.0 - release) / c;
            for (std::size_t k = 0; k < r->storage.size(); ++k) {
                const double want = s_inf + (s0 - s_inf) * std::pow(ratio, static_cast<double>(k));
                CHECK_NEAR(r->storage[k], want, 1e-9 * s0);
                CHECK_NEAR(r->elevation[k], 100.0 + want / 1000.0, 1e-9);
                CHECK_NEAR(r->total[k], c * want + release, 1e-9 * s0 * c);
            }
        }
    }
}

TEST(storage_indication_lengths_and_initial_state) {
    const ElevationStorage curve = pool();
    const Outlets outlets = three_outlets();
    for (std::size_t n : {1, 2, 5}) {
        const auto r =
            storage_indication_routing_rs(flow(V(n, 300.0), 3600), 1005.0, curve, outlets);
        CHECK(r.has_value());
        if (!r) continue;
        CHECK_EQ(r->storage.size(), n);
        CHECK_EQ(r->elevation.size(), n);
        CHECK_EQ(r->total.size(), n);
        CHECK_EQ(r->outflows.size(), outlets.size());
        for (std::size_t j = 0; j < outlets.size(); ++j) {
            CHECK_EQ(r->outflows[j].first, outlets[j].first);
            CHECK_EQ(r->outflows[j].second.size(), n);
            CHECK_BITS(r->outflows[j].second[0], *get_discharge(outlets[j].second, 1005.0, 0));
        }
        CHECK_BITS(r->storage[0], *curve.get_storage(1005.0));
        CHECK_BITS(r->elevation[0], 1005.0);
    }
}

// Storage change equals the trapezoidal inflow minus outflow volume at every
// step, with every outlet kind, gates that open and close, and a schedule.
TEST(storage_indication_balances_every_step) {
    const ElevationStorage curve = pool();
    Outlets outlets = three_outlets();
    outlets.push_back({"flushing", ConstantDischargeInfo{300.0, 1003.5, 1008.0}});
    outlets.push_back({"upper_gate", ControlledDischargeInfo::create(
                                         rating({1006.0, 1010.0, 1024.0}, {0.0, 800.0, 900.0}),
                                         1007.0, 1011.0, std::nullopt)});
    V schedule;
    for (int h = 0; h <= 120; ++h) schedule.push_back(h % 24 < 12 ? 50.0 : 250.0);
    outlets.push_back(
        {"turbine", SpecifiedDischargeInfo{flow(schedule, 3600), 1002.5, std::nullopt, 200.0}});
    for (std::int32_t dt : {60, 900, 3600, 21600}) {
        const TimeSeries inflow = flood(dt, 120);
        const auto r = storage_indication_routing_rs(inflow, 1004.0, curve, outlets);
        CHECK(r.has_value());
        if (!r) continue;
        CHECK(worst_imbalance(inflow, *r) < 1e-13);
        double summed = 0.0;
        for (std::size_t k = 0; k < r->total.size(); ++k) {
            summed = 0.0;
            for (const auto &o : r->outflows) summed = summed + o.second[k];
            CHECK_BITS(r->total[k], summed);
        }
    }
}

// Against the one-second level pool routed from time 0, at hourly steps:
// peaks within a fraction of a percent, on the same hour.
TEST(storage_indication_agrees_with_level_pool) {
    const ElevationStorage curve = pool();
    const Outlets outlets = three_outlets();
    for (int hours : {120, 720}) {
        const TimeSeries inflow = flood(3600, hours);
        const auto si = *storage_indication_routing_rs(inflow, 1005.0, curve, outlets);
        const auto lp = level_pool_from_zero(inflow, 1005.0, curve, outlets);
        CHECK_EQ(si.total.size(), lp.total.size());
        const std::size_t peak = argmax(lp.total);
        CHECK_EQ(argmax(si.total), peak);
        CHECK(std::abs(si.total[peak] / lp.total[peak] - 1.0) < 2e-3);
        const double depth_si = si.elevation[argmax(si.elevation)] - 1000.0;
        const double depth_lp = lp.elevation[argmax(lp.elevation)] - 1000.0;
        CHECK(std::abs(depth_si / depth_lp - 1.0) < 1e-3);
        // Volume released: inflow minus storage gained. Level pool's hourly
        // samples of a gate that opens and shuts every few seconds say little
        // about its volume, so both sides are taken from the storage.
        double inflow_volume = 0.0;
        for (std::size_t k = 1; k < inflow.data.size(); ++k)
            inflow_volume += (inflow.data[k - 1] + inflow.data[k]) * 0.5 * 3600.0;
        const double released_si = inflow_volume - (si.storage.back() - si.storage.front());
        const double released_lp = inflow_volume - (lp.storage.back() - lp.storage.front());
        CHECK(std::abs(released_si / released_lp - 1.0) < 1e-4);
    }
}

// A release that opens at its gate: with less inflow than the release, a
// finely stepped pool opens and shuts the outlet at the gate; the average is
// the inflow. The indication method stops the pool at the gate's elevation;
// with the storage fixed, the trapezoid makes each release the inflow's
// double minus the one before, so two consecutive releases average the
// inflow.
TEST(storage_indication_stops_at_an_opening_gate) {
    const ElevationStorage curve = *ElevationStorage::create({100.0, 110.0}, {0.0, 1.0e6});
    for (bool scheduled : {false, true}) {
        DischargeInfo pump = ConstantDischargeInfo{100.0, 101.0, std::nullopt};
        if (scheduled) pump = SpecifiedDischargeInfo{flow(V(4, 100.0), 86400), 101.0, {}, {}};
        const Outlets outlets{{"pump", pump}};
        const TimeSeries inflow = flow(V(49, 60.0), 3600);
        const auto r = *storage_indication_routing_rs(inflow, 101.5, curve, outlets);
        CHECK_BITS(r.elevation.back(), 101.0);
        CHECK_BITS(r.elevation[r.elevation.size() - 2], 101.0);
        CHECK_NEAR((r.total.back() + r.total[r.total.size() - 2]) * 0.5, 60.0, 1e-9);
        CHECK(worst_imbalance(inflow, r) < 1e-13);
        const auto lp = level_pool_from_zero(inflow, 101.5, curve, outlets);
        CHECK_NEAR(lp.elevation.back(), 101.0, 1e-3);
    }
}

// A gate that shuts above its maximum elevation makes N fall there, and a
// pool above it may balance at two elevations. Like the finely stepped pool,
// the method keeps the gate shut while the water stays above it.
TEST(storage_indication_root_stays_with_previous_state) {
    const ElevationStorage curve = *ElevationStorage::create({100.0, 120.0}, {0.0, 2.0e6});
    const Outlets outlets{
        {"gate", ControlledDischargeInfo::create(rating({100.0, 120.0}, {0.0, 2000.0}), {}, 105.0,
                                                 std::nullopt)},
        {"weir", UnControlledDischargeInfo{rating({108.0, 120.0}, {0.0, 3000.0}), {}}},
    };
    // Inflow lifts the pool past 105 ft, then falls to 200 cfs, which the
    // weir alone passes at 108.8 ft and the open gate at 102 ft; at 200 cfs
    // the step balances both near 108.8 ft (gate shut) and near 104.4 ft
    // (gate open).
    V in(12, 700.0);
    in.insert(in.end(), 36, 200.0);
    const TimeSeries inflow = flow(in, 3600);
    const auto si = *storage_indication_routing_rs(inflow, 104.0, curve, outlets);
    const auto lp = level_pool_from_zero(inflow, 104.0, curve, outlets);
    CHECK_NEAR(si.elevation.back(), 108.8, 1e-6);
    CHECK_NEAR(lp.elevation.back(), 108.8, 1e-3);
    CHECK_BITS(si.outflows[0].second.back(), 0.0);
    CHECK(worst_imbalance(inflow, si) < 1e-13);
}

// Drawn below a curve that starts at zero storage, the pool stops at the
// bottom and the outlets share what the balance leaves, 30 : 10 as at full
// release; as at a gate, consecutive releases average the inflow.
TEST(storage_indication_empties_at_the_bottom) {
    const ElevationStorage curve = *ElevationStorage::create({100.0, 110.0}, {0.0, 1.0e7});
    const Outlets outlets{{"pump", ConstantDischargeInfo{30.0, {}, {}}},
                          {"valve", ConstantDischargeInfo{10.0, {}, {}}}};
    const TimeSeries inflow = flow(V(10, 8.0), 3600);
    const auto r = *storage_indication_routing_rs(inflow, 100.05, curve, outlets);
    for (std::size_t k = 1; k < r.total.size(); ++k) {
        CHECK_BITS(r.elevation[k], 100.0);
        CHECK_BITS(r.storage[k], 0.0);
        CHECK_NEAR(r.outflows[0].second[k], 0.75 * r.total[k], 1e-12);
    }
    CHECK(r.total[1] > 0.0);
    CHECK_NEAR((r.total[8] + r.total[9]) * 0.5, 8.0, 1e-12);
    CHECK(worst_imbalance(inflow, r) < 1e-13);
}

// The failures of level pool routing, with the same messages.
TEST(storage_indication_failures_match_level_pool) {
    const ElevationStorage curve = pool();
    const ElevationStorage raised =
        *ElevationStorage::create({1000.0, 1010.0}, {5.0e5, 1.0e7}); // no zero storage
    const Outlets none;
    const Outlets low_weir{
        {"weir", UnControlledDischargeInfo{rating({1000.0, 1008.0}, {0.0, 50.0}), 1.0}}};
    const Outlets short_schedule{
        {"release", SpecifiedDischargeInfo{flow({10.0, 10.0}, 3600), {}, {}, {}}}};
    const Outlets big_pump{{"pump", ConstantDischargeInfo{1.0e4, {}, {}}}};
    struct Case {
        const ElevationStorage *curve;
        const Outlets *outlets;
        V inflow;
        double e0;
        // Level pool's placeholder is the first second past the limit, this
        // method's the value at the end of the step that passes it.
        std::string si_message;
        std::size_t same_prefix;
    } cases[] = {
        {&curve, &none, V(3, 0.0), 999.0,
         "`elevation` 999 is outside the range of the elevation-storage curve.", 1000},
        {&curve, &none, V(5, 1.0e6), 1020.0,
         "`storage` 4600000000 is outside the range of the elevation-storage curve.", 10},
        {&curve, &low_weir, V(5, 1.0e4), 1005.0,
         "elevation 1008.7413612996543 is above the maximum of the elevation-discharge curve "
         "(1008).",
         10},
        {&curve, &short_schedule, V(4, 0.0), 1005.0,
         "simulation duration 7200s exceeds the specified discharge series length (3600s).", 20},
        {&raised, &big_pump, V(4, 0.0), 1005.0,
         "`storage` 0 is outside the range of the elevation-storage curve.", 10},
    };
    // Where each case fails: seconds, what was looked up and its value (the
    // pool's elevation, which the weir reads 1 ft higher), the outlet.
    const ErrorContext places[] = {
        {0.0, Lookup::Elevation, 999.0},
        {3600.0, Lookup::Storage, 4.6e9},
        {10800.0, Lookup::Elevation, 1008.7413612996543 - 1.0, 0},
        {7200.0, std::nullopt, std::nullopt, 0},
        {3600.0, Lookup::Storage, 0.0},
    };
    static_assert(std::size(places) == std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        const ErrorContext &want = places[i];
        const TimeSeries inflow = flow(c.inflow, 3600);
        const auto si = storage_indication_routing_rs(inflow, c.e0, *c.curve, *c.outlets);
        CHECK_EQ(message_of(si), c.si_message);
        CHECK(!si && si.error().kind == ErrorKind::Value && si.error().context);
        const ErrorContext where = si.error().context.value_or(ErrorContext{});
        CHECK(where.at_seconds == want.at_seconds && where.quantity == want.quantity &&
              where.outlet == want.outlet && where.value.has_value() == want.value.has_value());
        if (where.value && want.value) CHECK_NEAR(*where.value, *want.value, 1e-12 * *want.value);
        TimeSeries from_zero = inflow;
        from_zero.data.insert(from_zero.data.begin(), inflow.data.front());
        const auto lp = level_pool_routing_rs(from_zero, c.e0, *c.curve, *c.outlets);
        CHECK_EQ(message_of(lp).substr(0, c.same_prefix), c.si_message.substr(0, c.same_prefix));
        // Level pool names the same kind of place, no later than the step
        // after (its clock runs one interval ahead), or 0 s for the start.
        CHECK(!lp && lp.error().context);
        const ErrorContext lp_where = lp.error().context.value_or(ErrorContext{});
        CHECK(lp_where.quantity == want.quantity && lp_where.outlet == want.outlet);
        CHECK(want.at_seconds == 0.0
                  ? lp_where.at_seconds == 0.0
                  : lp_where.at_seconds > 0.0 && lp_where.at_seconds <= want.at_seconds + 3600.0);
    }
    const auto empty = storage_indication_routing_rs(flow({}, 60), 1005.0, curve, none);
    CHECK(!empty && empty.error().kind == ErrorKind::Panic);
}
