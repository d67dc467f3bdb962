#include "reservoir_routing/storage_indication.hpp"

#include "utils/general.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <variant>

namespace basinkit {

namespace {

using Outlets = std::vector<std::pair<std::string, DischargeInfo>>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The elevation where `e + offset` first reaches `bound` (the smallest e with
// e + offset >= bound) or last stays within it (the largest e with
// e + offset <= bound). bound - offset is within a few units in the last place
// of the answer; the rounded sum is monotone in e, so a short walk settles it.
double shifted_bound(double bound, double offset, bool smallest) {
    double e = bound - offset;
    if (!std::isfinite(e)) return e;
    const auto down = [](double x) { return std::nextafter(x, -kInf); };
    const auto up = [](double x) { return std::nextafter(x, kInf); };
    for (int i = 0; i < 64; ++i) {
        if (smallest) {
            if (e + offset < bound)
                e = up(e);
            else if (down(e) + offset >= bound)
                e = down(e);
            else
                break;
        } else {
            if (e + offset > bound)
                e = down(e);
            else if (up(e) + offset <= bound)
                e = up(e);
            else
                break;
        }
    }
    return e;
}

// Where an outlet can release: zero below `lo` and above `hi` (both inclusive
// ends belong to the open range), an error above `limit`.
struct Reach {
    double lo = -kInf;
    double hi = kInf;
    double limit = kInf;
};

double gate_or(const std::optional<double> &gate, double absent) {
    return gate ? *gate : absent;
}

// Elevations where one outlet's release turns, opens, closes or ends.
Reach outlet_reach(const DischargeInfo &info, std::vector<double> &nodes) {
    Reach r;
    if (const auto *o = std::get_if<UnControlledDischargeInfo>(&info)) {
        const double offset = o->elevation_offset ? *o->elevation_offset : 0.0;
        const auto &xs = o->elevation_discharge.elevation;
        for (double x : xs) nodes.push_back(x - offset);
        r.lo = shifted_bound(xs.front(), offset, true);
        r.limit = shifted_bound(xs.back(), offset, false);
    } else if (const auto *o = std::get_if<ControlledDischargeInfo>(&info)) {
        const auto &xs = o->elevation_discharge.elevation;
        const auto &ys = o->elevation_discharge.discharge;
        nodes.insert(nodes.end(), xs.begin(), xs.end());
        // The cap bends the curve where the rating reaches it.
        if (o->maximum_release) {
            const double cap = *o->maximum_release;
            for (std::size_t i = 0; i + 1 < xs.size(); ++i)
                if (ys[i] < cap && cap < ys[i + 1])
                    nodes.push_back(xs[i] +
                                    ((cap - ys[i]) / (ys[i + 1] - ys[i])) * (xs[i + 1] - xs[i]));
        }
        r.lo = o->minimum_elevation;
        r.hi = gate_or(o->maximum_elevation, kInf);
        // Without a maximum elevation the rating fails above its top, once the
        // minimum elevation is reached.
        if (!o->maximum_elevation) {
            const double last = o->elevation_discharge.last();
            r.limit = r.lo <= last ? last : std::nextafter(r.lo, -kInf);
        }
    } else if (const auto *o = std::get_if<SpecifiedDischargeInfo>(&info)) {
        r.lo = gate_or(o->minimum_elevation, -kInf);
        r.hi = gate_or(o->maximum_elevation, kInf);
    } else {
        const auto &c = std::get<ConstantDischargeInfo>(info);
        r.lo = gate_or(c.minimum_elevation, -kInf);
        r.hi = gate_or(c.maximum_elevation, kInf);
    }
    // A NaN gate closes nothing: every comparison with it is false.
    if (r.lo != r.lo) r.lo = -kInf;
    if (r.hi != r.hi) r.hi = kInf;
    nodes.push_back(r.lo);
    nodes.push_back(r.hi);
    return r;
}

bool depends_on_time(const DischargeInfo &info) {
    return std::holds_alternative<SpecifiedDischargeInfo>(info) ||
           std::holds_alternative<ConstantDischargeInfo>(info);
}

double lerp(double a, double b, double f) {
    return f == 1.0 ? b : a + f * (b - a);
}

// N(E) over the reachable elevations as a polyline. Vertices ascend in
// elevation; where a release jumps at a gate, two or three vertices share the
// elevation (just below, at, just above), so a jump is a vertical piece whose
// points are partial openings. Along every piece the elevation, the storage
// and each release are linear, so one fraction gives them all.
struct IndicationTable {
    std::size_t elevation_count = 0; // outlets whose release depends on the level only
    std::size_t gated_count = 0;     // time-dependent outlets with a gate inside the range

    std::vector<double> elevation, storage;
    std::vector<double> base;      // 2 S / dt + the level-only releases
    std::vector<double> release;   // level-only releases, elevation_count per vertex
    std::vector<double> open;      // gated outlets' open share, gated_count per vertex
    std::vector<unsigned char> at; // vertex is the value at its elevation (not a limit)
    bool outlet_limited = false;   // an outlet's rating ends below the curve's top

    std::size_t size() const { return elevation.size(); }
};

// How each outlet enters the table and the per-step sums.
struct OutletRole {
    bool timed;       // release read from the clock (constant or schedule)
    bool gated;       // timed, and closed somewhere in the range
    std::size_t slot; // index among level-only outlets, or among gated ones
};

Result<IndicationTable> build_table(const ElevationStorage &curve, const Outlets &outlets,
                                    double dt, std::vector<OutletRole> &roles) {
    IndicationTable t;
    std::vector<double> nodes(curve.elevation.begin(), curve.elevation.end());
    std::vector<Reach> reach;
    reach.reserve(outlets.size());
    double top = curve.elevation.back();
    for (const auto &o : outlets) {
        reach.push_back(outlet_reach(o.second, nodes));
        top = min_num(top, reach.back().limit);
    }
    const double bottom = curve.elevation.front();
    t.outlet_limited = top < curve.elevation.back();
    nodes.push_back(top);
    std::erase_if(nodes, [&](double e) { return !(e >= bottom && e <= top); });
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());

    // Roles: a timed outlet open over the whole range adds its release to
    // every vertex alike, so it moves to the right side of the equation.
    roles.assign(outlets.size(), OutletRole{});
    std::vector<std::size_t> gated_index;
    for (std::size_t k = 0; k < outlets.size(); ++k) {
        OutletRole &role = roles[k];
        role.timed = depends_on_time(outlets[k].second);
        if (!role.timed) {
            role.slot = t.elevation_count++;
            continue;
        }
        role.gated = reach[k].lo > bottom || reach[k].hi < top;
        if (role.gated) role.slot = t.gated_count++;
    }

    const std::size_t capacity = 3 * nodes.size();
    t.elevation.reserve(capacity);
    t.storage.reserve(capacity);
    t.base.reserve(capacity);
    t.at.reserve(capacity);
    t.release.reserve(capacity * t.elevation_count);
    t.open.reserve(capacity * t.gated_count);
    std::vector<double> q(t.elevation_count), g(t.gated_count);

    const auto push = [&](double e, double s, bool at, bool opening, bool closing) {
        double level_only = 0.0;
        for (std::size_t k = 0; k < outlets.size(); ++k) {
            const OutletRole &role = roles[k];
            const bool shut = (opening && reach[k].lo == e) || (closing && reach[k].hi == e);
            if (!role.timed) {
                const double v = shut ? 0.0 : q[role.slot];
                t.release.push_back(v);
                level_only = level_only + v;
            } else if (role.gated) {
                t.open.push_back(shut ? 0.0 : g[role.slot]);
            }
        }
        t.elevation.push_back(e);
        t.storage.push_back(s);
        t.base.push_back((2.0 * s) / dt + level_only);
        t.at.push_back(at);
    };

    for (double e : nodes) {
        Result<double> s = curve.get_storage(e);
        if (!s) return std::unexpected(std::move(s.error()));
        bool opens = false, closes = false;
        for (std::size_t k = 0; k < outlets.size(); ++k) {
            const OutletRole &role = roles[k];
            if (!role.timed) {
                Result<double> v = get_discharge(outlets[k].second, e, 0);
                if (!v) return std::unexpected(std::move(v.error()));
                q[role.slot] = *v;
                if (*v == 0.0) continue;
            } else if (role.gated) {
                g[role.slot] = reach[k].lo <= e && e <= reach[k].hi ? 1.0 : 0.0;
            } else {
                continue;
            }
            opens = opens || reach[k].lo == e;
            closes = closes || reach[k].hi == e;
        }
        if (opens) push(e, *s, false, true, false);
        push(e, *s, true, false, false);
        if (closes) push(e, *s, false, false, true);
    }
    return t;
}

// Where the pool stands on the polyline: piece p (vertices p and p + 1) at
// fraction f, or vertex 0 when the table has a single vertex.
struct Position {
    std::size_t p = 0;
    double f = 0.0;
};

std::optional<Position> locate(const IndicationTable &t, double e) {
    const std::size_t v = t.size();
    for (std::size_t i = 0; i < v; ++i) {
        if (t.elevation[i] == e && t.at[i]) {
            if (i + 1 < v || i == 0) return Position{i, 0.0};
            return Position{i - 1, 1.0};
        }
        if (i + 1 < v && t.elevation[i] < e && e < t.elevation[i + 1])
            return Position{i, (e - t.elevation[i]) / (t.elevation[i + 1] - t.elevation[i])};
    }
    return std::nullopt;
}

} // namespace

Result<LevelPoolOutput> storage_indication_routing_rs(const TimeSeries &inflow,
                                                      double initial_elevation,
                                                      const ElevationStorage &curve,
                                                      const Outlets &outlets) {
    const std::size_t n = inflow.data.size();
    if (inflow.time_step < 1) return panic("inflow time step must be at least one second");
    const std::int64_t dt = inflow.time_step;
    const double dtf = static_cast<double>(dt);
    const double half_dt = dtf * 0.5;

    LevelPoolOutput out;
    out.elevation.reserve(n);
    out.storage.reserve(n);
    out.total.reserve(n);
    out.elevation.push_back(initial_elevation);
    Result<double> initial_storage = curve.get_storage(initial_elevation);
    if (!initial_storage)
        return failed_at(std::move(initial_storage.error()),
                         {0.0, Lookup::Elevation, initial_elevation, std::nullopt});
    out.storage.push_back(*initial_storage);
    if (n == 0) return panic("inflow series has no values");

    // Value 0: the outlets at the initial elevation, at time 0.
    out.outflows.reserve(outlets.size());
    double total = 0.0;
    for (std::size_t j = 0; j < outlets.size(); ++j) {
        const auto &o = outlets[j];
        Result<double> q = get_discharge(o.second, initial_elevation, 0);
        if (!q)
            return failed_at(std::move(q.error()),
                             outlet_failure(o.second, 0.0, initial_elevation, j));
        out.outflows.emplace_back(o.first, Values());
        out.outflows.back().second.reserve(n);
        out.outflows.back().second.push_back(*q);
        total = total + *q;
    }
    out.total.push_back(total);
    if (n == 1) return out;

    std::vector<OutletRole> roles;
    Result<IndicationTable> built = build_table(curve, outlets, dtf, roles);
    if (!built) return std::unexpected(std::move(built.error()));
    const IndicationTable &t = *built;
    const std::size_t vertices = t.size();
    const std::size_t last = vertices - 1;
    const std::size_t ne = t.elevation_count, ng = t.gated_count;
    std::optional<Position> start = locate(t, initial_elevation);
    if (!start) return panic("initial elevation outside the routing table");
    Position pos = *start;

    // Releases of the timed outlets at the end of the step, with their gates
    // open; the gated ones are weighed per vertex by their open share.
    std::vector<double> timed(outlets.size(), 0.0), gated(ng, 0.0);
    const auto indication = [&](std::size_t v) {
        double n_v = t.base[v];
        const double *share = t.open.data() + v * ng;
        for (std::size_t j = 0; j < ng; ++j) n_v = n_v + gated[j] * share[j];
        return n_v;
    };

    double storage = *initial_storage;
    double inflow_prev = inflow.data[0];
    for (std::size_t k = 1; k < n; ++k) {
        const std::int64_t t2 = static_cast<std::int64_t>(k) * dt;
        const double t2f = static_cast<double>(t2);
        double moved = 0.0; // timed releases open everywhere
        for (std::size_t j = 0; j < outlets.size(); ++j) {
            if (!roles[j].timed) continue;
            // A NaN elevation passes every gate: this asks for the release alone.
            Result<double> r = get_discharge(outlets[j].second, kNaN, t2);
            if (!r)
                return failed_at(std::move(r.error()),
                                 outlet_failure(outlets[j].second, t2f, kNaN, j));
            timed[j] = *r;
            if (roles[j].gated)
                gated[roles[j].slot] = *r;
            else
                moved = moved + *r;
        }
        const double inflow_next = inflow.data[k];
        const double rhs = (inflow_prev + inflow_next) + ((2.0 * storage) / dtf - total);
        const double target = rhs - moved;

        // Walk from the previous state towards the target; the first crossing
        // is the root.
        std::optional<Position> root;
        if (vertices == 1) {
            if (target == indication(0)) root = Position{0, 0.0};
        } else {
            const double na = indication(pos.p), nb = indication(pos.p + 1);
            const double here = lerp(na, nb, pos.f);
            const auto solve = [&](std::size_t p, double a, double b) {
                double f = a == b ? (p == pos.p ? pos.f : 0.0) : (target - a) / (b - a);
                f = f < 0.0 ? 0.0 : (f > 1.0 ? 1.0 : f);
                return Position{p, f};
            };
            if (target >= here) {
                double a = na;
                for (std::size_t p = pos.p; p < last; ++p) {
                    const double b = p == pos.p ? nb : indication(p + 1);
                    if (b >= target) {
                        root = solve(p, a, b);
                        break;
                    }
                    a = b;
                }
            } else if (target < here) {
                double b = nb;
                for (std::size_t p = pos.p;; --p) {
                    const double a = p == pos.p ? na : indication(p);
                    if (a <= target) {
                        root = solve(p, a, b);
                        break;
                    }
                    if (p == 0) break;
                    b = a;
                }
            }
        }

        double scale = 1.0; // share of the releases the balance allows
        if (!root) {
            const bool rising = target > indication(last);
            const std::size_t v = rising ? last : 0;
            const double released = indication(v) - (2.0 * t.storage[v]) / dtf;
            const double need = (target - released) * half_dt;
            if (rising) {
                // Above the top: report what level pool routing reports.
                Result<double> e = curve.get_elevation(need);
                if (t.outlet_limited) {
                    const double beyond = e ? *e : curve.elevation.back();
                    for (std::size_t j = 0; j < outlets.size(); ++j) {
                        Result<double> q = get_discharge(outlets[j].second, beyond, t2);
                        if (!q)
                            return failed_at(std::move(q.error()),
                                             outlet_failure(outlets[j].second, t2f, beyond, j));
                    }
                } else if (!e) {
                    return failed_at(std::move(e.error()),
                                     {t2f, Lookup::Storage, need, std::nullopt});
                }
                // Only rounding puts the target a hair above the top: stay there.
                root = vertices == 1 ? Position{0, 0.0} : Position{last - 1, 1.0};
            } else {
                // Below the bottom: the pool stops there, as the clamp of level
                // pool routing stops it, and fails where that clamp fails.
                const double kept = max_num(need, 0.0);
                if (kept < t.storage[0]) {
                    Result<double> e = curve.get_elevation(kept);
                    if (!e)
                        return failed_at(std::move(e.error()),
                                         {t2f, Lookup::Storage, kept, std::nullopt});
                }
                const double allowed = max_num(rhs - (2.0 * t.storage[0]) / dtf, 0.0);
                const double full = released + moved;
                scale = full > 0.0 ? allowed / full : 0.0;
                root = Position{0, 0.0};
            }
        }

        pos = *root;
        const std::size_t a = pos.p, b = vertices == 1 ? 0 : pos.p + 1;
        const double f = pos.f;
        storage = lerp(t.storage[a], t.storage[b], f);
        const double elevation = lerp(t.elevation[a], t.elevation[b], f);
        total = 0.0;
        for (std::size_t j = 0; j < outlets.size(); ++j) {
            const OutletRole &role = roles[j];
            double q;
            if (!role.timed)
                q = lerp(t.release[a * ne + role.slot], t.release[b * ne + role.slot], f);
            else if (role.gated)
                q = timed[j] * lerp(t.open[a * ng + role.slot], t.open[b * ng + role.slot], f);
            else
                q = timed[j];
            if (scale != 1.0) q = q * scale;
            out.outflows[j].second.push_back(q);
            total = total + q;
        }
        out.total.push_back(total);
        out.storage.push_back(storage);
        out.elevation.push_back(elevation);
        inflow_prev = inflow_next;
    }
    return out;
}

} // namespace basinkit
