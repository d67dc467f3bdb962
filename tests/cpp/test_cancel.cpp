// Cancellation of the long-running cores: a hook that never stops changes
// nothing, a hook that stops ends the run with an Interrupted error, and the
// hook is asked at all where the work outgrows the input.
#include "check.hpp"

#include "baseflow/linear_reservoir.hpp"
#include "rainfall_transform/clark_uh.hpp"
#include "reach_routing/muskingum.hpp"
#include "reservoir_routing/level_pool.hpp"
#include "reservoir_routing/storage_indication.hpp"
#include "utils/time_series.hpp"

#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace basinkit;

namespace {

// Counts the polls; asks to stop at poll number `stop_at` (never when 0).
struct Poller {
    int polls = 0;
    int stop_at = 0;
    CancelHook hook() {
        return {[](void *self) {
                    auto *p = static_cast<Poller *>(self);
                    return ++p->polls == p->stop_at;
                },
                this};
    }
};

template <class A, class B> bool same_bits(const A &a, const B &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (check::bits(a[i]) != check::bits(b[i])) return false;
    return true;
}

template <class T> bool is_interrupted(const Result<T> &r) {
    return !r && r.error().kind == ErrorKind::Interrupted;
}

// Runs `run` without a hook, with one that never stops, then with ones that
// stop at the first and at the last poll; `same` compares two results.
template <class T>
void check_cancellable(const std::function<Result<T>(const CancelHook &)> &run,
                       const std::function<bool(const T &, const T &)> &same, int min_polls) {
    const Result<T> plain = run(CancelHook{});
    CHECK(plain.has_value());
    Poller counting;
    const Result<T> polled = run(counting.hook());
    CHECK(polled.has_value());
    CHECK(counting.polls >= min_polls);
    if (plain && polled) CHECK(same(*plain, *polled));
    for (int stop_at : {1, counting.polls}) {
        Poller stopping{0, stop_at};
        const Result<T> stopped = run(stopping.hook());
        CHECK(is_interrupted(stopped));
        CHECK_EQ(stopping.polls, stop_at);
    }
}

const auto same_vectors = [](const Values &a, const Values &b) { return same_bits(a, b); };

} // namespace

TEST(cancel_muskingum_many_sub_reaches_on_a_short_inflow) {
    const std::vector<double> inflow{100.0, 300.0, 200.0};
    check_cancellable<Values>(
        [&](const CancelHook &h) {
            return muskingum_reach_rs(inflow, 60, Duration{7200, 0}, 0.2, 300'000, 50.0, h);
        },
        same_vectors, 5);
}

TEST(cancel_muskingum_long_inflow_few_sub_reaches) {
    std::vector<double> inflow(400'000);
    for (std::size_t i = 0; i < inflow.size(); ++i) inflow[i] = static_cast<double>(i % 97);
    check_cancellable<Values>(
        [&](const CancelHook &h) {
            return muskingum_reach_rs(inflow, 60, Duration{3600, 0}, 0.3, 3, 0.0, h);
        },
        same_vectors, 10);
}

TEST(cancel_level_pool_long_time_step) {
    const TimeSeries inflow{{10.0, 40.0, 20.0}, 200'000, "discharge"};
    const auto curve = *ElevationStorage::create({0.0, 100.0}, {0.0, 1e9});
    const std::vector<std::pair<std::string, DischargeInfo>> outlets{
        {"a", ConstantDischargeInfo{5.0, std::nullopt, std::nullopt}},
        {"b", ConstantDischargeInfo{1.0, 0.0, std::nullopt}}};
    check_cancellable<LevelPoolOutput>(
        [&](const CancelHook &h) { return level_pool_routing_rs(inflow, 50.0, curve, outlets, h); },
        [](const LevelPoolOutput &a, const LevelPoolOutput &b) {
            return same_bits(a.storage, b.storage) && same_bits(a.elevation, b.elevation) &&
                   same_bits(a.total, b.total) && a.outflows.size() == b.outflows.size() &&
                   same_bits(a.outflows[0].second, b.outflows[0].second);
        },
        5);
}

TEST(cancel_storage_indication_table_and_steps) {
    const auto same_pools = [](const LevelPoolOutput &a, const LevelPoolOutput &b) {
        return same_bits(a.storage, b.storage) && same_bits(a.elevation, b.elevation) &&
               same_bits(a.total, b.total) && a.outflows.size() == b.outflows.size() &&
               same_bits(a.outflows[0].second, b.outflows[0].second);
    };
    const auto curve = [](int points, double per_foot) {
        std::vector<double> e, s;
        for (int i = 0; i < points; ++i) {
            e.push_back(100.0 + i);
            s.push_back(per_foot * i);
        }
        return *ElevationStorage::create(e, s);
    };
    // One step through a long curve: the polls are the table's.
    const auto rating = *ElevationDischarge::create({100.0, 1e6}, {0.0, 1e3});
    const std::vector<std::pair<std::string, DischargeInfo>> weir{
        {"w", UnControlledDischargeInfo{rating, std::nullopt}}};
    const auto long_curve = curve(300'000, 1e4);
    check_cancellable<LevelPoolOutput>(
        [&](const CancelHook &h) {
            return storage_indication_routing_rs({{5.0, 6.0}, 60, "discharge"}, 150.0, long_curve,
                                                 weir, h);
        },
        same_pools, 5);
    // Many steps through a short curve: the polls are the steps'.
    const TimeSeries inflow{Values(200'000, 10.0), 60, "discharge"};
    const auto short_curve = curve(300, 1e9);
    check_cancellable<LevelPoolOutput>(
        [&](const CancelHook &h) {
            return storage_indication_routing_rs(inflow, 110.0, short_curve, weir, h);
        },
        same_pools, 5);
}

TEST(cancel_clark_long_translation) {
    const std::vector<double> rain{0.5, 1.0};
    check_cancellable<Values>(
        [&](const CancelHook &h) {
            return clark_uh_rs(rain, 1, 100.0, Duration{400'000, 0}, Duration{50, 0},
                               ConvolutionKernel::Fastest, h);
        },
        same_vectors, 6);
}

TEST(cancel_clark_convolution_polls_beyond_the_unit_hydrograph) {
    std::vector<double> rain(6000);
    for (std::size_t i = 0; i < rain.size(); ++i) rain[i] = i % 3 == 0 ? 0.0 : 0.1;
    Poller uh_only;
    CHECK(clark_unit_hydrograph(60, 100.0, 6000.0 * 60.0, 600.0, uh_only.hook()).has_value());
    check_cancellable<Values>(
        [&](const CancelHook &h) {
            return clark_uh_rs(rain, 60, 100.0, Duration{6000 * 60, 0}, Duration{600, 0},
                               ConvolutionKernel::Fastest, h);
        },
        same_vectors, uh_only.polls + 10);
    // Non-finite rainfall takes the plain convolution, which polls too.
    rain[7] = std::numeric_limits<double>::infinity();
    check_cancellable<Values>(
        [&](const CancelHook &h) {
            return clark_uh_rs(rain, 60, 100.0, Duration{6000 * 60, 0}, Duration{600, 0},
                               ConvolutionKernel::Fastest, h);
        },
        same_vectors, uh_only.polls + 10);
}

TEST(cancel_baseflow_long_chain_and_many_layers) {
    const std::vector<double> rain{0.2, 0.0, 0.4};
    const auto layer = [](double fraction, std::uint64_t reservoirs) {
        return *make_linear_reservoir(Duration{2'000'000'000, 0}, fraction, 1.0, reservoirs);
    };
    std::vector<std::pair<std::string, LinearReservoirConfig>> layers{
        {"long", layer(0.5, 200'000)}};
    for (int i = 0; i < 40'000; ++i)
        layers.emplace_back("short" + std::to_string(i),
                            layer(0.0, static_cast<std::uint64_t>(i % 5 + 1)));
    check_cancellable<BaseflowOutput>(
        [&](const CancelHook &h) { return linear_reservoir_rs(100.0, rain, 1, layers, h); },
        [](const BaseflowOutput &a, const BaseflowOutput &b) {
            bool same = same_bits(a.total, b.total) && a.components.size() == b.components.size();
            for (std::size_t i = 0; same && i < a.components.size(); ++i)
                same = same_bits(a.components[i].second, b.components[i].second);
            return same;
        },
        10);
}

TEST(cancel_disaggregate_large_output) {
    const TimeSeries s{{1.5, 3.0}, 30 * 200'000, "rainfall"};
    check_cancellable<TimeSeries>(
        [&](const CancelHook &h) { return series_disaggregate(s, 30, h); },
        [](const TimeSeries &a, const TimeSeries &b) {
            return same_bits(a.data, b.data) && a.time_step == b.time_step && a.kind == b.kind;
        },
        5);
}
