#include "utils/general.hpp"

namespace basinkit {

bool strictly_increasing(std::span<const double> v) {
    for (std::size_t i = 0; i + 1 < v.size(); ++i)
        if (!(v[i] < v[i + 1])) return false;
    return true;
}

bool non_decreasing(std::span<const double> v) {
    for (std::size_t i = 0; i + 1 < v.size(); ++i)
        if (!(v[i] <= v[i + 1])) return false;
    return true;
}

namespace detail {

const char *table_fault(std::span<const double> x_values, std::span<const double> y_values) {
    if (x_values.size() != y_values.size())
        return "length of `x_values` and `y_values` should be same.";
    if (x_values.size() < 2) return "x_values and y_values each must have at least 2 elements.";
    if (!strictly_increasing(x_values))
        return "`x_values` must must be sorted and can't have duplicates";
    if (!non_decreasing(y_values)) return "`y_values` must must be sorted";
    return nullptr;
}

std::size_t bisect(std::span<const double> x_values, double x) {
    std::size_t base = 0;
    std::size_t size = x_values.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (x_values[mid] <= x) base = mid;
        size -= half;
    }
    return base;
}

} // namespace detail

std::unexpected<Error> Table::refuse() const {
    return fault_ ? panic(fault_) : panic();
}

Result<std::optional<double>> interp1d(std::span<const double> x_values,
                                       std::span<const double> y_values, double x,
                                       std::optional<double> left, std::optional<double> right) {
    if (const char *fault = detail::table_fault(x_values, y_values)) return panic(fault);
    // A NaN cannot be ordered against the table: the search has no answer.
    if (x != x) return panic();
    return detail::finish(x_values, y_values, x, detail::bisect(x_values, x), left, right);
}

} // namespace basinkit
