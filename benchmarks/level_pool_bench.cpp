// Cost of one internal (one-second) step of level pool routing and of one
// call of storage-indication routing, without the interpreter: 30 days of
// hourly inflow, a 25-point elevation-storage curve, (a) one outlet and (b)
// three outlets.
//
// Built by CMake on request, against the core library:
//   cmake -S . -B build -DBASINKIT_BENCHMARKS=ON && cmake --build build --target level_pool_bench
//   build/level_pool_bench

#include "reservoir_routing/level_pool.hpp"
#include "reservoir_routing/storage_indication.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
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

using Outlets = std::vector<std::pair<std::string, DischargeInfo>>;

// CPU time of the calling thread: other processes on a shared machine slow
// it less than they slow the wall clock.
double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Median of kRuns samples of the thread CPU time of one call, in nanoseconds;
// each sample times `calls` calls in a row. Null output on failure.
template <typename Routing>
std::optional<double> median_call_ns(Routing route, int calls, const TimeSeries &inflow,
                                     const ElevationStorage &curve, const Outlets &outlets,
                                     LevelPoolOutput *out) {
    std::vector<double> times;
    for (int r = 0; r < kRuns; ++r) {
        const double start = thread_ns();
        for (int c = 0; c < calls; ++c) {
            auto routed = route(inflow, 1005.0, curve, outlets);
            if (!routed) {
                std::fprintf(stderr, "routing failed: %s\n", routed.error().message.c_str());
                return std::nullopt;
            }
            *out = std::move(*routed);
        }
        times.push_back((thread_ns() - start) / calls);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double peak(const Values &v) {
    return *std::max_element(v.begin(), v.end());
}

// Level pool per one-second step; storage indication per call, against
// level pool routed from time 0 (first inflow value repeated), which puts
// both on the same clock.
bool report(const char *label, const TimeSeries &inflow, const ElevationStorage &curve,
            const Outlets &outlets) {
    TimeSeries from_zero = inflow;
    from_zero.data.insert(from_zero.data.begin(), inflow.data.front());
    LevelPoolOutput lp, si;
    const auto lp_ns =
        median_call_ns([](const TimeSeries &in, double e, const ElevationStorage &c,
                          const Outlets &o) { return level_pool_routing_rs(in, e, c, o); },
                       1, from_zero, curve, outlets, &lp);
    const auto si_ns =
        median_call_ns([](const TimeSeries &in, double e, const ElevationStorage &c,
                          const Outlets &o) { return storage_indication_routing_rs(in, e, c, o); },
                       200, inflow, curve, outlets, &si);
    if (!lp_ns || !si_ns) return false;
    const double steps = static_cast<double>((from_zero.data.size() - 2) * inflow.time_step + 1);
    std::printf("%s:\n", label);
    std::printf("  level pool: %.0f steps, %.1f ns per step, %.2f ms per call\n", steps,
                *lp_ns / steps, *lp_ns / 1e6);
    std::printf("  storage indication: %zu steps, %.1f ns per step, %.1f us per call\n",
                inflow.data.size() - 1, *si_ns / static_cast<double>(inflow.data.size() - 1),
                *si_ns / 1e3);
    std::printf("  level pool / storage indication: %.0fx\n", *lp_ns / *si_ns);
    std::printf("  peak outflow %.3f vs %.3f cfs, peak elevation %.4f vs %.4f ft "
                "(storage indication vs level pool)\n",
                peak(si.total), peak(lp.total), peak(si.elevation), peak(lp.elevation));
    return true;
}

} // namespace

int main() {
    const TimeSeries inflow = hourly_inflow();
    const ElevationStorage curve = storage_curve();

    const Outlets one{{"spillway", spillway()}};
    const Outlets three{
        {"spillway", spillway()},
        {"gate", gated_outlet()},
        {"minimum_flow", ConstantDischargeInfo{100.0, 1001.0, std::nullopt}},
    };
    std::printf("(thread CPU time, median of %d samples each)\n", kRuns);
    const bool ok =
        report("one outlet", inflow, curve, one) && report("three outlets", inflow, curve, three);
    return ok ? 0 : 1;
}
