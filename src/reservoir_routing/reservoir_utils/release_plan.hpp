// The outlets and the storage curve of one level pool routing call in the
// form its time loop reads them: outlets grouped by kind, so that a step runs
// one plain loop per kind instead of choosing each outlet's rule, and rating
// reads that return a value rather than an optional. Each read gives the
// same value, bit for bit, as the outlet's or the curve's own lookup; where
// that lookup would fail the plan gives nothing, and the caller asks the
// outlet or the curve itself for the error.
#pragma once

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"
#include "utils/general.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace basinkit {

// A usable table (see Table) read at abscissas within its range. The search
// starts at the interval found last time: per one-second step the level
// moves by a tiny fraction of an interval. The interval holding x is
// unique, so the answer does not depend on where the search starts.
class RangeRead {
  public:
    double first, last;

    RangeRead(std::span<const double> xs, std::span<const double> ys)
        : first(xs.front()), last(xs.back()), xs_(xs.data()), ys_(ys.data()), n_(xs.size()) {}

    // A usable read of `xs`/`ys`, else one of a stand-in table.
    static RangeRead of(std::span<const double> xs, std::span<const double> ys, bool &usable) {
        usable = detail::table_fault(xs, ys) == nullptr;
        return usable ? RangeRead(xs, ys) : RangeRead(STAND_IN, STAND_IN);
    }

    // The lookup's value at first <= x <= last.
    double within(double x) {
        const std::size_t b = locate(x);
        const double x0 = xs_[b];
        if (x0 == x) [[unlikely]]
            return ys_[b];
        const double x1 = xs_[b + 1], y0 = ys_[b], y1 = ys_[b + 1];
        return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0);
    }

  private:
    std::size_t locate(double x) {
        const std::size_t h = hint_;
        if (xs_[h] <= x) {
            if (h + 1 == n_ || x < xs_[h + 1]) [[likely]]
                return h;
            if (h + 2 == n_ || x < xs_[h + 2]) return hint_ = h + 1;
        } else if (xs_[h - 1] <= x) { // h > 0 here, since xs_[0] <= x
            return hint_ = h - 1;
        }
        return hint_ = detail::bisect({xs_, n_}, x);
    }

    static constexpr double STAND_IN[2] = {0.0, 1.0};
    const double *xs_, *ys_;
    std::size_t n_;
    std::size_t hint_ = 0;
};

// Storage to elevation on a checked curve.
class StorageToElevation {
  public:
    explicit StorageToElevation(const ElevationStorage &curve)
        : read_(RangeRead::of(curve.storage, curve.elevation, usable_)) {}

    // False where curve.get_elevation(s) fails (outside the curve, NaN).
    bool at(double s, double &elevation) {
        if (!(s >= read_.first && s <= read_.last)) [[unlikely]]
            return false;
        elevation = read_.within(s);
        return usable_;
    }

  private:
    bool usable_ = false;
    RangeRead read_;
};

class ReleasePlan {
  public:
    // Borrows the outlets, which must outlive it.
    explicit ReleasePlan(const std::vector<std::pair<std::string, DischargeInfo>> &outlets) {
        for (std::size_t k = 0; k < outlets.size(); ++k) {
            const DischargeInfo &o = outlets[k].second;
            bool usable = true;
            if (const auto *u = std::get_if<UnControlledDischargeInfo>(&o)) {
                const ElevationDischarge &c = u->elevation_discharge;
                spills_.push_back({k, u->elevation_offset.has_value(),
                                   u->elevation_offset.value_or(0.0),
                                   RangeRead::of(c.elevation, c.discharge, usable)});
            } else if (const auto *g = std::get_if<ControlledDischargeInfo>(&o)) {
                const ElevationDischarge &c = g->elevation_discharge;
                gates_.push_back({k, g->minimum_elevation, g->maximum_elevation.has_value(),
                                  g->maximum_release.has_value(),
                                  g->maximum_elevation.value_or(0.0),
                                  g->maximum_release.value_or(0.0),
                                  RangeRead::of(c.elevation, c.discharge, usable)});
            } else if (const auto *f = std::get_if<ConstantDischargeInfo>(&o)) {
                fixed_.push_back({k, f});
            } else {
                timed_.push_back(
                    {k, SpecifiedDischargeInfo::Prepared(std::get<SpecifiedDischargeInfo>(o))});
            }
            usable_ = usable_ && usable;
        }
    }

    // Each outlet's release at elevation e, t seconds after the start, into
    // q (visiting order). False when any outlet has no value here: then
    // nothing is known of q, and the outlets themselves are to be asked.
    bool releases(double e, std::int64_t t, double *q) {
        for (Spill &s : spills_) {
            const double x = s.shift ? e + s.offset : e;
            if (!(x <= s.curve.last)) [[unlikely]]
                return false;
            q[s.k] = x < s.curve.first ? 0.0 : s.curve.within(x);
        }
        for (Gate &g : gates_) {
            double r = 0.0;
            if (!(e < g.lower) && !(g.has_upper && e > g.upper)) {
                if (!(e <= g.curve.last)) [[unlikely]]
                    return false;
                r = e < g.curve.first ? 0.0 : g.curve.within(e);
                if (g.has_cap) r = min_num(r, g.cap);
            }
            q[g.k] = r;
        }
        for (const Fixed &f : fixed_) q[f.k] = f.outlet->release(e);
        for (Timed &s : timed_) {
            const std::optional<double> r = s.outlet.try_get_discharge(e, t);
            if (!r) [[unlikely]]
                return false;
            q[s.k] = *r;
        }
        return usable_;
    }

  private:
    struct Spill { // uncontrolled: the curve at the shifted elevation
        std::size_t k;
        // Without an offset the outlet adds 0.0, which only turns -0.0 into
        // 0.0; the curve reads both alike (an exact hit at 0.0 returns its
        // ordinate, and x - x0 is the same for either zero when x0 != 0), so
        // the addition is left out of the chain.
        bool shift;
        double offset;
        RangeRead curve;
    };
    struct Gate { // controlled: gates, the curve, the cap
        std::size_t k;
        double lower;
        bool has_upper, has_cap;
        double upper, cap;
        RangeRead curve;
    };
    struct Fixed { // constant
        std::size_t k;
        const ConstantDischargeInfo *outlet;
    };
    struct Timed { // specified
        std::size_t k;
        SpecifiedDischargeInfo::Prepared outlet;
    };
    std::vector<Spill> spills_;
    std::vector<Gate> gates_;
    std::vector<Fixed> fixed_;
    std::vector<Timed> timed_;
    bool usable_ = true; // false when a rating curve fails its checks
};

} // namespace basinkit
