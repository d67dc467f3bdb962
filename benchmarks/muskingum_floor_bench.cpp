// How close one Muskingum pass on 10^6 values comes to what this machine
// allows, without the interpreter. Each outflow waits for the one before it
// (a multiply, then an add, each rounded), so no way of writing the loop that
// keeps the results bit for bit can beat that chain of dependent operations;
// a series made from a NumPy array adds one copy of its values, which it must
// make because the caller may change the array afterwards.
//
// Built by CMake on request, against the core library:
//   cmake -S . -B build -DBASINKIT_BENCHMARKS=ON
//   cmake --build build --target muskingum_floor_bench && build/muskingum_floor_bench

#include "reach_routing/muskingum.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

using namespace basinkit;

namespace {

constexpr std::size_t kValues = 1'000'000;
constexpr int kSamples = 21;
constexpr std::int32_t kStep = 3600;
constexpr double kK = 6.0 * 3600.0;
constexpr double kX = 0.2;

double thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Median thread CPU time of one call of `job`, in milliseconds.
template <class Job> double median_ms(Job &&job) {
    job(); // warm the caches and the buffer cache
    std::vector<double> times;
    for (int s = 0; s < kSamples; ++s) {
        const double start = thread_ns();
        job();
        times.push_back((thread_ns() - start) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The dependent part of the recurrence alone, in registers: n multiplies and
// adds, each waiting for the one before. Volatile inputs keep the compiler
// from folding it; without fast-math it can neither reorder nor fuse.
__attribute__((noinline)) double chain(std::size_t n) {
    volatile double c2_in = 0.5, b_in = 1.0;
    const double c2 = c2_in, b = b_in;
    double o = 0.0;
    for (std::size_t i = 1; i < n; ++i) o = c2 * o + b;
    return o;
}

// The recurrence as written, reading the inflow and writing the outflow.
__attribute__((noinline)) void bare_pass(const double *in, double *out, std::size_t n,
                                         const MuskingumCoefficients &c, double start) {
    double prev_out = start, prev_in = in[0];
    out[0] = start;
    for (std::size_t i = 1; i < n; ++i) {
        const double x = in[i];
        prev_out = c.c2 * prev_out + (c.c1 * prev_in + c.c0 * x);
        prev_in = x;
        out[i] = prev_out;
    }
}

} // namespace

int main() {
    // A smooth flood wave on a base flow, 10^6 hourly values.
    Values inflow;
    inflow.reserve(kValues);
    for (std::size_t i = 0; i < kValues; ++i)
        inflow.push_back(200.0 + 5000.0 * std::pow(std::sin(static_cast<double>(i) * 1e-3), 8));
    const MuskingumCoefficients c = muskingum_coefficients(kStep, kK, kX);
    const Duration k{static_cast<std::uint64_t>(kK), 0};

    Values bare(kValues), routed, copy;
    volatile double sink = 0.0; // keeps the results alive
    const double chain_ms = median_ms([&] { sink = chain(kValues); });
    const double bare_ms =
        median_ms([&] { bare_pass(inflow.data(), bare.data(), kValues, c, inflow[0]); });
    bool failed = false;
    const double reach_ms = median_ms([&] {
        auto r = muskingum_reach_rs(inflow, kStep, k, kX, 1, inflow[0]);
        if (r)
            routed = std::move(*r);
        else
            failed = true;
    });
    const double copy_ms = median_ms([&] {
        copy = Values(inflow.begin(), inflow.end());
        sink = copy.back();
    });
    if (failed || routed.size() != kValues ||
        std::memcmp(routed.data(), bare.data(), kValues * sizeof(double)) != 0) {
        std::fprintf(stderr, "muskingum_reach_rs and the bare recurrence disagree\n");
        return 1;
    }

    std::printf("(thread CPU time, median of %d calls; %zu values)\n", kSamples, kValues);
    std::printf("  dependent multiply-add chain, in registers: %.3f ms (%.2f ns per value)\n",
                chain_ms, chain_ms * 1e6 / kValues);
    std::printf("  bare recurrence, inflow in, outflow out:    %.3f ms\n", bare_ms);
    std::printf("  muskingum_reach_rs, one sub-reach:          %.3f ms (%.2fx the chain)\n",
                reach_ms, reach_ms / chain_ms);
    std::printf("  copy of the values into a new buffer:       %.3f ms\n", copy_ms);
    std::printf("  least time for a call on a series made from an array (chain + copy): %.3f ms\n",
                chain_ms + copy_ms);
    return 0;
}
