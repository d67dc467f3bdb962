// The two series classes and what other bindings need of them.
#pragma once

#include "boundary/classes.hpp"
#include "utils/time_series.hpp"

namespace basinkit::py {

extern PyClass<TimeSeries> continuous_series;
extern PyClass<TimeSeries> incremental_series;

// A result series built from its fields, without the constructor's checks.
inline PyObject *new_continuous(Values data, std::int32_t time_step, const char *kind) {
    return continuous_series.wrap(TimeSeries{std::move(data), time_step, kind});
}
inline PyObject *new_incremental(Values data, std::int32_t time_step, const char *kind) {
    return incremental_series.wrap(TimeSeries{std::move(data), time_step, kind});
}

// A new dict from each name to a continuous series of its values, which it
// takes over.
PyObject *new_series_dict(std::vector<std::pair<std::string, Values>> named, std::int32_t time_step,
                          const char *kind);

} // namespace basinkit::py
