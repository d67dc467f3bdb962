#include "reservoir_routing/level_pool.hpp"

#include "reservoir_routing/reservoir_utils/release_plan.hpp"
#include "utils/general.hpp"

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace basinkit {

namespace {

// Each outlet's own lookup where the plan has none: fills q, or gives the
// first outlet's error.
[[gnu::noinline, gnu::cold]] std::optional<std::unexpected<Error>>
plain_releases(const std::vector<std::pair<std::string, DischargeInfo>> &outlets, double elevation,
               std::int64_t t, std::vector<double> &q) {
    for (std::size_t k = 0; k < outlets.size(); ++k) {
        Result<double> plain = get_discharge(outlets[k].second, elevation, t);
        if (!plain)
            return failed_at(
                std::move(plain.error()),
                outlet_failure(outlets[k].second, static_cast<double>(t), elevation, k));
        q[k] = *plain;
    }
    return std::nullopt;
}

// The curve's own lookup where the plan has none, with its place on error.
[[gnu::noinline, gnu::cold]] Result<double> plain_elevation(const ElevationStorage &curve,
                                                            double storage, std::int64_t t) {
    Result<double> plain = curve.get_elevation(storage);
    if (!plain)
        return failed_at(std::move(plain.error()),
                         {static_cast<double>(t), Lookup::Storage, storage, std::nullopt});
    return plain;
}

// Instants t..stop-1 without records, on a quiet plan, as the loop's instant
// runs them; it stops before the first instant whose lookups are not near
// their last ones, which the caller then runs in full. No calls and no stores
// but the searches' hints: the state stays in registers along the chain.
template <bool ExactFirst, int S, int G, int F>
[[gnu::noinline]] std::int64_t
quiet_instants(ReleasePlan &plan, StorageToElevation &to_elevation, const TimeSeries &inflow,
               std::int64_t t, std::int64_t stop, double &elevation_io, double &storage_io,
               double &inflow_prev_io, double &released_io) {
    double elevation = elevation_io, storage = storage_io;
    double inflow_prev = inflow_prev_io, released = released_io;
    const double step_f = 1.0;
    // Between two records the instants lie in one interval of the inflow
    // (checked: the division is monotonic, so the first and the last
    // instant's intervals bound the others'): its values are read once, and
    // each instant interpolates as series_value_within does.
    const std::span<const double> data = inflow.data;
    const double time_step = static_cast<double>(inflow.time_step);
    const auto interval = [&](std::int64_t u) {
        return static_cast<std::size_t>(static_cast<double>(u) / time_step);
    };
    const std::size_t i = interval(t);
    const bool one_interval = t < stop && i + 1 < data.size() && interval(stop - 1) == i;
    const double left = one_interval ? data[i] : 0.0;
    const double rise = one_interval ? data[i + 1] - data[i] : 0.0;
    const double i_f = static_cast<double>(i);
    for (; t < stop; ++t) {
        double total;
        if (!plan.total_near<ExactFirst, S, G, F>(elevation, total)) [[unlikely]]
            break;
        double inflow_t;
        if (one_interval) [[likely]]
            inflow_t = left + ((static_cast<double>(t) / time_step) - i_f) * rise;
        else
            inflow_t = series_value_within(data, inflow.time_step, static_cast<double>(t));
        // Same operations, in the same order, as the instant in full.
        const double next =
            max_num((storage + ((inflow_prev + inflow_t) * 0.5) * step_f) - (total * step_f), 0.0);
        if (!to_elevation.near(next, elevation)) [[unlikely]]
            break;
        storage = next;
        released = released + total * step_f;
        inflow_prev = inflow_t;
    }
    elevation_io = elevation;
    storage_io = storage;
    inflow_prev_io = inflow_prev;
    released_io = released;
    return t;
}

using QuietInstants = std::int64_t (*)(ReleasePlan &, StorageToElevation &, const TimeSeries &,
                                       std::int64_t, std::int64_t, double &, double &, double &,
                                       double &);

// quiet_instants for the plan: with its outlet counts built in where each
// kind has at most one outlet, the common reservoirs.
template <bool ExactFirst> QuietInstants quiet_instants_for(const ReleasePlan &plan) {
    const std::size_t s = plan.spill_count(), g = plan.gate_count(), f = plan.fixed_count();
    if (s > 1 || g > 1 || f > 1) return &quiet_instants<ExactFirst, -1, -1, -1>;
    switch (s * 4 + g * 2 + f) {
    case 1:
        return &quiet_instants<ExactFirst, 0, 0, 1>;
    case 2:
        return &quiet_instants<ExactFirst, 0, 1, 0>;
    case 3:
        return &quiet_instants<ExactFirst, 0, 1, 1>;
    case 4:
        return &quiet_instants<ExactFirst, 1, 0, 0>;
    case 5:
        return &quiet_instants<ExactFirst, 1, 0, 1>;
    case 6:
        return &quiet_instants<ExactFirst, 1, 1, 0>;
    case 7:
        return &quiet_instants<ExactFirst, 1, 1, 1>;
    default:
        return &quiet_instants<ExactFirst, 0, 0, 0>;
    }
}

} // namespace

Result<LevelPoolOutput> level_pool_routing_rs(
    const TimeSeries &inflow, double initial_elevation, const ElevationStorage &curve,
    const std::vector<std::pair<std::string, DischargeInfo>> &outlets, const CancelHook &cancel) {
    const std::size_t n = inflow.data.size();
    const std::int64_t dt = inflow.time_step;
    if (dt < 1) return panic("inflow time step must be at least one second");

    LevelPoolOutput out;
    out.elevation.reserve(n);
    out.storage.reserve(n);
    out.total.reserve(n);

    double elevation = initial_elevation;
    out.elevation.push_back(elevation);
    Result<double> initial_storage = curve.get_storage(elevation);
    if (!initial_storage)
        return failed_at(std::move(initial_storage.error()),
                         {0.0, Lookup::Elevation, elevation, std::nullopt});
    double storage = *initial_storage;
    out.storage.push_back(storage);

    if (n == 0) return panic("inflow series has no values");
    double inflow_prev = inflow.data[0];

    // The internal step is the smaller of dt and one second: always 1 s.
    const std::int64_t step = 1;
    const double step_f = static_cast<double>(step);
    const std::int64_t end = (static_cast<std::int64_t>(n) - 1) * dt;

    // Tables are checked once here. The loop reads the plan, and asks the
    // plain curve or outlets only where the plan has no answer; they then
    // report the error, so a bad table still faults at its first lookup.
    ReleasePlan plan(outlets);
    StorageToElevation to_elevation(curve);
    // Most instants can then run in a loop of their own (quiet_instants).
    const bool quiet = plan.quiet() && to_elevation.usable();
    const QuietInstants quiet_instants_here =
        plan.first_exact() ? quiet_instants_for<true>(plan) : quiet_instants_for<false>(plan);
    std::vector<double> q(outlets.size());

    // Outlet records exist from the first instant on; there is none for n = 1.
    if (end >= dt) {
        out.outflows.reserve(outlets.size());
        for (const auto &outlet : outlets) {
            out.outflows.emplace_back(outlet.first, Values());
            out.outflows.back().second.reserve(n);
        }
    }

    // Instants start at dt: the first one records the releases at the initial
    // elevation but does not advance the storage. Recorded instants are the
    // multiples of dt.
    std::int64_t next_record = dt;
    double released = 0.0;
    std::optional<std::unexpected<Error>> failure;
    // One instant; inlined twice, with and without its records, so that the
    // steps between records carry no record test. The lookups that can call
    // out sit in cold functions of their own, so that the state stays in
    // registers along the dependent chain.
    auto instant = [&](std::int64_t t, bool record) __attribute__((always_inline)) {
        double total;
        if (!plan.releases(elevation, t, q.data(), total)) [[unlikely]] {
            failure = plain_releases(outlets, elevation, t, q);
            if (failure) return false;
            total = 0.0;
            for (double qk : q) total = total + qk;
        }
        if (record) {
            for (std::size_t k = 0; k < q.size(); ++k) out.outflows[k].second.push_back(q[k]);
            out.total.push_back(total);
            next_record += dt;
            if (t == dt) return true;
        }
        // t lies within the inflow's span, so the lookup cannot fail.
        const double inflow_t =
            series_value_within(inflow.data, inflow.time_step, static_cast<double>(t));
        // Trapezoidal inflow minus the explicit release; the order of the
        // operations is kept for bit-exact results. A NaN bracket gives 0.0.
        storage =
            max_num((storage + ((inflow_prev + inflow_t) * 0.5) * step_f) - (total * step_f), 0.0);
        // A chain of its own beside the storage's, so it costs no latency.
        released = released + total * step_f;
        if (!to_elevation.at(storage, elevation)) [[unlikely]] {
            Result<double> plain = plain_elevation(curve, storage, t);
            if (!plain) {
                failure = std::unexpected(std::move(plain.error()));
                return false;
            }
            elevation = *plain;
        }
        if (record) {
            out.storage.push_back(storage);
            out.elevation.push_back(elevation);
        }
        inflow_prev = inflow_t;
        return true;
    };
    // The instants run in chunks, asking about cancellation between them; a
    // chunk's cost grows with the number of outlets.
    CancelCheck check(cancel);
    const std::uint64_t work_per_instant = outlets.size() + 1;
    const std::int64_t chunk = static_cast<std::int64_t>(
        (CancelCheck::POLL_INTERVAL + work_per_instant - 1) / work_per_instant);
    for (std::int64_t t = dt; t <= end;) {
        if (t != dt && check.stop(static_cast<std::uint64_t>(chunk) * work_per_instant))
            return interrupted();
        const std::int64_t chunk_end = end - t >= chunk ? t + chunk : end + 1;
        while (t < chunk_end) {
            for (const std::int64_t stop = std::min(chunk_end, next_record); t < stop; t += step) {
                if (quiet) {
                    t = quiet_instants_here(plan, to_elevation, inflow, t, stop, elevation, storage,
                                            inflow_prev, released);
                    if (t == stop) break;
                }
                if (!instant(t, false)) [[unlikely]]
                    return std::move(*failure);
            }
            if (t == next_record && t < chunk_end) {
                if (!instant(t, true)) [[unlikely]]
                    return std::move(*failure);
                t += step;
            }
        }
    }
    out.released = released;
    return out;
}

} // namespace basinkit
