// Piecewise-linear table lookup and small numeric helpers shared by the
// rating curves, the outlets and the routing loop.
#pragma once

#include "error.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// A second copy of a loop for AVX2, chosen when the library loads if the
// processor has it (GCC on x86-64); elsewhere the one baseline copy.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define BASINKIT_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define BASINKIT_AVX2_CLONE
#endif

namespace basinkit {

// One load of `x`, which the compiler may neither repeat nor drop: inputs may
// be the caller's own memory, which another thread can write meanwhile, and
// a kernel that reads each value once then computes from one value per step.
inline double read_once(const double &x) {
    return std::atomic_ref<double>(const_cast<double &>(x)).load(std::memory_order_relaxed);
}

// Larger / smaller of two values; a NaN operand is ignored (the other one is
// returned). On equal values the first operand is returned.
inline double max_num(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    return a < b ? b : a;
}
inline double min_num(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    return b < a ? b : a;
}

// Order tests over each neighbouring pair, written so that a NaN anywhere
// (in two or more values) fails them.
bool strictly_increasing(std::span<const double> v);
bool non_decreasing(std::span<const double> v);

// Ordinate at `x` in the table (x_values strictly increasing, y_values
// non-decreasing, at least 2 points), or `left` / `right` outside it. The table
// is re-checked on every call; a bad table or a NaN `x` is an internal fault.
Result<std::optional<double>> interp1d(std::span<const double> x_values,
                                       std::span<const double> y_values, double x,
                                       std::optional<double> left, std::optional<double> right);

namespace detail {

// The first table check that fails, or null for a usable table.
const char *table_fault(std::span<const double> x_values, std::span<const double> y_values);

// Largest index whose abscissa is <= x, or 0 when there is none (x ordered).
std::size_t bisect(std::span<const double> x_values, double x);

// Result of the lookup once the search has settled on `base`. The exact-hit
// rule and the evaluation order of the interpolation keep results bit-exact.
inline std::optional<double> finish(std::span<const double> xs, std::span<const double> ys,
                                    double x, std::size_t base, std::optional<double> left,
                                    std::optional<double> right) {
    if (xs[base] == x) return ys[base];
    // base is the last abscissa below x, except when x is below the whole
    // table (base 0). Branches rather than an index computed from a
    // comparison keep the loads below off the comparison's latency.
    if (xs[base] > x) return left;
    if (base + 1 == xs.size()) return right;
    const double x0 = xs[base], x1 = xs[base + 1];
    const double y0 = ys[base], y1 = ys[base + 1];
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0);
}

} // namespace detail

// A table checked once, for many lookups in one call. It borrows the two
// arrays, which must outlive it. A bad table is remembered, not refused: each
// lookup then reports the same fault that interp1d would report.
class Table {
  public:
    Table(std::span<const double> x_values, std::span<const double> y_values)
        : xs_(x_values), ys_(y_values), fault_(detail::table_fault(x_values, y_values)) {}

    // Same result as interp1d over the table.
    Result<std::optional<double>> lookup(double x, std::optional<double> left,
                                         std::optional<double> right, std::size_t &hint) const {
        if (!usable() || x != x) [[unlikely]]
            return refuse();
        return at(x, left, right, hint);
    }

    // True when the table passed its checks.
    bool usable() const { return fault_ == nullptr; }

    // lookup() for a usable table and an ordered x, where it cannot fail. The
    // search starts at the interval found last time (`hint`, updated) and
    // falls back to bisection; the interval holding x is unique, so the
    // result does not depend on the hint.
    std::optional<double> at(double x, std::optional<double> left, std::optional<double> right,
                             std::size_t &hint) const {
        return detail::finish(xs_, ys_, x, locate(x, hint), left, right);
    }

  private:
    std::size_t locate(double x, std::size_t &hint) const {
        const double *xs = xs_.data();
        const std::size_t n = xs_.size();
        const std::size_t h = hint < n ? hint : 0;
        if (xs[h] <= x) {
            if (h + 1 == n || x < xs[h + 1]) return h;
            if (h + 2 == n || x < xs[h + 2]) return hint = h + 1;
        } else if (h == 0) {
            return 0; // below the table: bisection also ends at 0
        } else if (xs[h - 1] <= x) {
            return hint = h - 1;
        }
        return hint = detail::bisect(xs_, x);
    }

    // The fault of a bad table, else the one of a NaN query (no message).
    std::unexpected<Error> refuse() const;

    std::span<const double> xs_, ys_;
    const char *fault_;
};

} // namespace basinkit
