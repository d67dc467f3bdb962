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

#include <cmath>
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
        : first(xs.front()), last(xs.back()), xs_(xs.data()), ys_(ys.data()), n_(xs.size()),
          scale_(xs.size()) {
        // A segment whose width is a power of two with an exact reciprocal
        // divides by multiplying: both round the same real number once, so
        // the result is the same bit for bit, for a fraction of the latency.
        // 0.0 marks a segment that divides.
        for (std::size_t b = 0; b + 1 < xs.size(); ++b) {
            const double w = xs[b + 1] - xs[b];
            int exponent = 0;
            const double r = 1.0 / w;
            if (std::isnormal(w) && std::frexp(w, &exponent) == 0.5 && std::isnormal(r))
                scale_[b] = r;
        }
    }

    // True when no ordinate is -0.0: then no read gives -0.0 (a sum is
    // -0.0 only when both its terms are).
    bool signed_zero_free() const {
        for (std::size_t b = 0; b < n_; ++b)
            if (ys_[b] == 0.0 && std::signbit(ys_[b])) return false;
        return true;
    }

    // A usable read of `xs`/`ys`, else one of a stand-in table.
    static RangeRead of(std::span<const double> xs, std::span<const double> ys, bool &usable) {
        usable = detail::table_fault(xs, ys) == nullptr;
        return usable ? RangeRead(xs, ys) : RangeRead(STAND_IN, STAND_IN);
    }

    // The lookup's value at first <= x <= last.
    [[gnu::always_inline]] double within(double x) {
        const std::size_t b = locate(x);
        const double x0 = xs_[b];
        if (x0 == x) [[unlikely]]
            return ys_[b];
        const double x1 = xs_[b + 1], y0 = ys_[b], y1 = ys_[b + 1];
        return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0);
    }

    // As within, where x lies in the segment found last time or in a
    // neighbour; false elsewhere, with nothing changed (within then finds it).
    [[gnu::always_inline]] bool near(double x, double &y) {
        std::size_t b = hint_;
        if (xs_[b] <= x) {
            if (b + 1 != n_ && !(x < xs_[b + 1])) {
                if (b + 2 != n_ && !(x < xs_[b + 2])) [[unlikely]]
                    return false;
                ++b;
            }
        } else if (b == 0 || !(xs_[b - 1] <= x)) [[unlikely]] {
            return false;
        } else {
            --b;
        }
        hint_ = b;
        const double x0 = xs_[b];
        if (x0 == x) [[unlikely]] {
            y = ys_[b];
            return true;
        }
        const double x1 = xs_[b + 1], y0 = ys_[b], y1 = ys_[b + 1], scale = scale_[b];
        if (scale != 0.0)
            y = y0 + ((x - x0) * scale) * (y1 - y0);
        else
            y = y0 + ((x - x0) / (x1 - x0)) * (y1 - y0);
        return true;
    }

  private:
    [[gnu::always_inline]] std::size_t locate(double x) {
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
    std::vector<double> scale_; // per segment: 1 / width where exact, else 0.0
};

// Storage to elevation on a checked curve.
class StorageToElevation {
  public:
    explicit StorageToElevation(const ElevationStorage &curve)
        : read_(RangeRead::of(curve.storage, curve.elevation, usable_)) {}

    // False where curve.get_elevation(s) fails (outside the curve, NaN).
    [[gnu::always_inline]] bool at(double s, double &elevation) {
        if (!(s >= read_.first && s <= read_.last)) [[unlikely]]
            return false;
        elevation = read_.within(s);
        return usable_;
    }

    // As at, where the storage lies near the last one's segment; false
    // elsewhere, with elevation unchanged.
    [[gnu::always_inline]] bool near(double s, double &elevation) {
        if (!(s >= read_.first && s <= read_.last)) [[unlikely]]
            return false;
        return read_.near(s, elevation);
    }

    bool usable() const { return usable_; }

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
        count_ = outlets.size();
        std::size_t next = 0;
        for (const Spill &s : spills_) ordered_ = ordered_ && s.k == next++;
        for (const Gate &g : gates_) ordered_ = ordered_ && g.k == next++;
        for (const Fixed &f : fixed_) ordered_ = ordered_ && f.k == next++;
        for (const Timed &s : timed_) ordered_ = ordered_ && s.k == next++;
        // Below its table a rating gives 0.0, a closed gate 0.0, a constant
        // outlet 0.0 or its discharge.
        const auto no_negative_zero = [](double v) { return !(v == 0.0 && std::signbit(v)); };
        if (!spills_.empty() && spills_.front().k == 0) {
            first_exact_ = spills_.front().curve.signed_zero_free();
        } else if (!gates_.empty() && gates_.front().k == 0) {
            const Gate &g = gates_.front();
            first_exact_ = g.curve.signed_zero_free() && (!g.has_cap || no_negative_zero(g.cap));
        } else if (!fixed_.empty() && fixed_.front().k == 0) {
            first_exact_ = no_negative_zero(fixed_.front().outlet->discharge);
        }
    }

    // Each outlet's release at elevation e, t seconds after the start, into
    // q (visiting order), and their sum in visiting order, starting from 0.0,
    // into total. False when any outlet has no value here: then nothing is
    // known of q or total, and the outlets themselves are to be asked.
    // Inlined into the time loop: a call there would make the loop keep its
    // state in memory, as every vector register is lost across a call.
    [[gnu::always_inline]] bool releases(double e, std::int64_t t, double *q, double &total) {
        // Summed as the values come, in registers, when the kinds' order is
        // the visiting order; else from q afterwards.
        double sum = 0.0;
        for (Spill &s : spills_) {
            const double x = s.shift ? e + s.offset : e;
            if (!(x <= s.curve.last)) [[unlikely]]
                return false;
            const double r = x < s.curve.first ? 0.0 : s.curve.within(x);
            q[s.k] = r;
            sum = sum + r;
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
            sum = sum + r;
        }
        for (const Fixed &f : fixed_) {
            const double r = f.outlet->release(e);
            q[f.k] = r;
            sum = sum + r;
        }
        for (Timed &s : timed_) {
            const std::optional<double> r = s.outlet.try_get_discharge(e, t);
            if (!r) [[unlikely]]
                return false;
            q[s.k] = *r;
            sum = sum + *r;
        }
        if (!ordered_) [[unlikely]] {
            sum = 0.0;
            for (std::size_t k = 0; k < count_; ++k) sum = sum + q[k];
        }
        total = sum;
        return usable_;
    }

    // True when the visiting order's first release is never -0.0.
    bool first_exact() const { return first_exact_; }

    // True when total_near may stand for releases: no timed outlet, the
    // kinds in visiting order, every table usable.
    bool quiet() const { return usable_ && ordered_ && timed_.empty(); }

    // The total releases gives at e, for a quiet plan, where every lookup
    // lies near its last one; false elsewhere (releases then answers). It
    // writes nothing but the searches' hints, so that the loop calling it
    // needs no memory for its state.
    // With ExactFirst (for a plan whose first_exact() holds) the sum starts
    // from the first release itself rather than 0.0 + it: the same value,
    // as that release is never -0.0, and one addition less in the chain.
    // S, G and F, where not -1, are the numbers of spills, gates and fixed
    // outlets, known to the compiler so that it unrolls their loops.
    template <bool ExactFirst, int S = -1, int G = -1, int F = -1>
    [[gnu::always_inline]] bool total_near(double e, double &total) {
        const std::size_t ns = S < 0 ? spills_.size() : static_cast<std::size_t>(S);
        const std::size_t ng = G < 0 ? gates_.size() : static_cast<std::size_t>(G);
        const std::size_t nf = F < 0 ? fixed_.size() : static_cast<std::size_t>(F);
        double sum = 0.0;
        std::size_t s0 = 0, g0 = 0, f0 = 0;
        if constexpr (ExactFirst) {
            if (ns != 0) {
                if (!spill_near(spills_[0], e, sum)) [[unlikely]]
                    return false;
                s0 = 1;
            } else if (ng != 0) {
                if (!gate_near(gates_[0], e, sum)) [[unlikely]]
                    return false;
                g0 = 1;
            } else if (nf != 0) {
                sum = fixed_[0].outlet->release(e);
                f0 = 1;
            }
        }
        for (std::size_t i = s0; i < ns; ++i) {
            double r;
            if (!spill_near(spills_[i], e, r)) [[unlikely]]
                return false;
            sum = sum + r;
        }
        for (std::size_t i = g0; i < ng; ++i) {
            double r;
            if (!gate_near(gates_[i], e, r)) [[unlikely]]
                return false;
            sum = sum + r;
        }
        for (std::size_t i = f0; i < nf; ++i) sum = sum + fixed_[i].outlet->release(e);
        total = sum;
        return true;
    }

    // The numbers of spills, gates and fixed outlets.
    std::size_t spill_count() const { return spills_.size(); }
    std::size_t gate_count() const { return gates_.size(); }
    std::size_t fixed_count() const { return fixed_.size(); }

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
    // One release as releases gives it, where its lookup lies near the last.
    [[gnu::always_inline]] static bool spill_near(Spill &s, double e, double &r) {
        const double x = s.shift ? e + s.offset : e;
        if (!(x <= s.curve.last)) [[unlikely]]
            return false;
        r = 0.0;
        return x < s.curve.first || s.curve.near(x, r);
    }
    [[gnu::always_inline]] static bool gate_near(Gate &g, double e, double &r) {
        r = 0.0;
        if (!(e < g.lower) && !(g.has_upper && e > g.upper)) {
            if (!(e <= g.curve.last)) [[unlikely]]
                return false;
            if (!(e < g.curve.first) && !g.curve.near(e, r)) [[unlikely]]
                return false;
            if (g.has_cap) r = min_num(r, g.cap);
        }
        return true;
    }

    std::vector<Spill> spills_;
    std::vector<Gate> gates_;
    std::vector<Fixed> fixed_;
    std::vector<Timed> timed_;
    bool usable_ = true;  // false when a rating curve fails its checks
    bool ordered_ = true; // kinds in visiting order: spills, gates, fixed, timed
    bool first_exact_ = false;
    std::size_t count_ = 0;
};

} // namespace basinkit
