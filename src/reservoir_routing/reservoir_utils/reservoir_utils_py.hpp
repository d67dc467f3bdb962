// The curve and outlet classes, shared with the level pool binding.
#pragma once

#include "boundary/classes.hpp"
#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"

namespace basinkit::py {

extern PyClass<ElevationStorage> elevation_storage_class;
extern PyClass<ElevationDischarge> elevation_discharge_class;
extern PyClass<ConstantDischargeInfo> constant_discharge_class;
extern PyClass<SpecifiedDischargeInfo> specified_discharge_class;
extern PyClass<ControlledDischargeInfo> controlled_discharge_class;
extern PyClass<UnControlledDischargeInfo> uncontrolled_discharge_class;

// Reads one outlet, trying the variants in their fixed order; on failure the
// TypeError lists why each variant refused the value.
bool extract_discharge_info(PyObject *o, DischargeInfo *out);

// Fills the `reservoir_utils` submodule.
bool init_reservoir_utils(PyObject *module);

} // namespace basinkit::py
