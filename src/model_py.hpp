// basinkit_model._native: what its binding files share. The functions take
// plain Python values (sequences, numbers, timedeltas, tuples), so that they
// need none of the basinkit module's classes, and return packed doubles.
#pragma once

#include "boundary/convert.hpp"
#include "boundary/ref.hpp"
#include "utils/time_series.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace basinkit::py {

// Doubles packed in native order: a float object per value would cost more
// than the routing itself.
PyObject *to_packed(std::span<const double> values);
// A new dict from each name to its values, packed.
PyObject *to_named_packed(const std::vector<std::pair<std::string, Values>> &named);

// Doubles handed over without a copy: an object exporting them as a writable
// one-dimensional buffer of "d", which NumPy reads in place. A block of
// series size comes from and goes back to the thread's large-buffer cache,
// so a method called in a loop neither copies its result nor faults pages in.
class OwnedDoubles {
  public:
    OwnedDoubles() = default;
    // `n` doubles, not initialised.
    explicit OwnedDoubles(std::size_t n);
    // Takes over `values`.
    explicit OwnedDoubles(Values values) : values_(std::move(values)) {}
    OwnedDoubles(OwnedDoubles &&other) noexcept;
    OwnedDoubles &operator=(OwnedDoubles &&other) = delete;
    ~OwnedDoubles();

    double *data() { return raw_ ? raw_ : values_.data(); }
    std::size_t size() const { return raw_ ? n_ : values_.size(); }
    std::span<double> span() { return {data(), size()}; }

  private:
    Values values_;
    double *raw_ = nullptr;
    std::size_t n_ = 0;
};
PyObject *to_owned(OwnedDoubles doubles);
inline PyObject *to_owned(Values values) {
    return to_owned(OwnedDoubles(std::move(values)));
}

// The runoff of `excess` through the ordinates `uh` (or the error that kept
// them from being made), convolved straight into the buffer handed over.
PyObject *to_convolved(std::span<const double> excess, const Result<std::vector<double>> &uh);

bool check_time_step(std::int32_t seconds);
// Series values read in place (see LentDoubles): for kernels that read each
// value once.
struct LentSeries {
    LentDoubles data;
    std::int32_t time_step = 1;
};
// A series (TimeSeries or LentSeries) from its values (argument `name`) and
// its time step in whole seconds, refused below one second as the series
// classes refuse it.
template <class Series>
bool series_args(const char *name, PyObject *data, PyObject *time_step, Series *out) {
    return convert_arg(name, data, &out->data) &&
           convert_arg("time_step", time_step, &out->time_step) && check_time_step(out->time_step);
}

// The functions, one definition each, in their files.
extern PyMethodDef storage_indication_def;
extern PyMethodDef level_pool_def;
extern PyMethodDef muskingum_def;
extern PyMethodDef linear_reservoir_def;
extern PyMethodDef clark_def;
extern PyMethodDef muskingum_cunge_def;
extern PyMethodDef lag_def;
extern PyMethodDef recession_def;
extern PyMethodDef curve_number_def;
extern PyMethodDef initial_constant_def;
extern PyMethodDef green_ampt_def;
extern PyMethodDef nrcs_uh_def;
extern PyMethodDef nrcs_gamma_shape_def;
extern PyMethodDef user_uh_def;
extern PyMethodDef snyder_uh_def;

} // namespace basinkit::py
