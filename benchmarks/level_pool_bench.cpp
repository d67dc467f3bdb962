// Cost of one internal (one-second) step of level pool routing, without the
// interpreter: 30 days of hourly inflow, a 25-point elevation-storage curve,
// (a) one outlet and (b) three outlets.
//
// Built by CMake on request, against the core library:
//   cmake -S . -B build -DBASINKIT_BENCHMARKS=ON && cmake --build build --target level_pool_bench
//   build/level_pool_bench

#include "reservoir_routing/level_pool.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace basinkit;

namespace {

constexpr int kRuns = 7;

// 721 hourly values: 200 cfs base flow and a flood wave peaking near 6000 cfs.
TimeSeries hourly_inflow() {
    TimeSeries s{{}, 3600, "discharge"};
    for (int h = 0; h <= 720; ++h) {
        const double x = h / 48.0;
        s.data.push_back(200.0 + 6000.0 * x * x * std::exp(2.0 - 2.0 * x));
    }
    return s;
}

// 25 points, 1 ft apart; storage in ft³ grows with a widening pool.
ElevationStorage storage_curve() {
    std::vector<double> e, s;
    for (int i = 0; i < 25; ++i) {
        e.push_back(1000.0 + i);
        s.push_back(2.0e7 * i + 1.5e6 * i * i);
    }
    return *ElevationStorage::create(e, s);
}

// Weir over a crest at 1012 ft, flat at zero below it (25 points).
UnControlledDischargeInfo spillway() {
    std::vector<double> e, q;
    for (int i = 0; i < 25; ++i) {
        e.push_back(1000.0 + i);
        const double head = i > 12 ? i - 12.0 : 0.0;
        q.push_back(3.0 * 60.0 * head * std::sqrt(head));
    }
    return UnControlledDischargeInfo{*ElevationDischarge::create(e, q), std::nullopt};
}

// Gated conduit, orifice-like, 25 points, capped at 1500 cfs.
ControlledDischargeInfo gated_outlet() {
    std::vector<double> e, q;
    for (int i = 0; i < 25; ++i) {
        e.push_back(1000.0 + i);
        q.push_back(400.0 * std::sqrt(static_cast<double>(i)));
    }
    return ControlledDischargeInfo::create(*ElevationDischarge::create(e, q), 1002.0, std::nullopt,
                                           1500.0);
}

double median_ns_per_step(const TimeSeries &inflow, const ElevationStorage &curve,
                          const std::vector<std::pair<std::string, DischargeInfo>> &outlets) {
    const double steps = static_cast<double>((inflow.data.size() - 2) * inflow.time_step + 1);
    std::vector<double> times;
    double peak = 0.0;
    for (int r = 0; r < kRuns; ++r) {
        const auto start = std::chrono::steady_clock::now();
        auto out = level_pool_routing_rs(inflow, 1005.0, curve, outlets);
        const auto stop = std::chrono::steady_clock::now();
        if (!out) {
            std::fprintf(stderr, "routing failed: %s\n", out.error().message.c_str());
            return -1.0;
        }
        peak = *std::max_element(out->elevation.begin(), out->elevation.end());
        times.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / steps);
    }
    std::sort(times.begin(), times.end());
    std::printf("  %.0f steps, peak elevation %.2f ft\n", steps, peak);
    return times[times.size() / 2];
}

} // namespace

int main() {
    const TimeSeries inflow = hourly_inflow();
    const ElevationStorage curve = storage_curve();

    const std::vector<std::pair<std::string, DischargeInfo>> one{{"spillway", spillway()}};
    const std::vector<std::pair<std::string, DischargeInfo>> three{
        {"spillway", spillway()},
        {"gate", gated_outlet()},
        {"minimum_flow", ConstantDischargeInfo{100.0, 1001.0, std::nullopt}},
    };

    std::printf("one outlet:\n");
    const double a = median_ns_per_step(inflow, curve, one);
    std::printf("  %.1f ns per step (median of %d)\n", a, kRuns);
    std::printf("three outlets:\n");
    const double b = median_ns_per_step(inflow, curve, three);
    std::printf("  %.1f ns per step (median of %d)\n", b, kRuns);
    return a < 0 || b < 0;
}
