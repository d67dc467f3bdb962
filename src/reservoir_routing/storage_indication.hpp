// Storage-indication (modified Puls) routing: the reservoir's continuity
// equation solved implicitly once per inflow interval,
//
//     2 S2 / dt + O2 = (I1 + I2) + (2 S1 / dt - O1),
//
// with S(E) the elevation-storage curve and O(E, t) the summed releases. The
// left side N(E) = 2 S(E) / dt + O(E) is piecewise linear in the elevation,
// so each step is solved exactly on the piece that holds the root: no fixed
// count of iterations, no one-second sub-steps.
//
// Releases that depend on time (a constant or scheduled release) are read at
// the end of the step and, where their elevation gates keep them open, move
// to the right side. Elevation gates make O(E) jump: where a gate opens as
// the water rises, N jumps up and a target inside the jump leaves the pool at
// the gate's elevation with the outlet passing only part of its release (the
// average a finely stepped scheme reaches by opening and closing the gate);
// where a gate closes as the water rises (a controlled outlet above its
// maximum elevation), N falls and the equation may have several roots. The
// root taken is the first one met when walking along N from the previous
// state towards the target, so the pool never jumps over a gate it could
// stop at: the state stays continuous with the previous one.
//
// While the pool is held at a gate (or at the curve's bottom) its storage
// does not change, so the equation gives O2 = (I1 + I2) - O1: the release
// alternates around the inflow, two consecutive values averaging it, and the
// volume stays exact. A finely stepped pool opens and shuts the gate instead.
//
// Results are on the inflow's clock from time 0: n values each, value 0 the
// initial state (storage and elevation from the initial elevation, releases
// of the outlets there at time 0).
#pragma once

#include "error.hpp"
#include "reservoir_routing/level_pool.hpp"
#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"
#include "utils/time_series.hpp"

#include <string>
#include <utility>
#include <vector>

namespace basinkit {

// Routes `inflow` (time step of at least one second) through the reservoir.
// The records have n values each (the same layout as level pool routing's,
// one value longer). Outlets are visited and recorded in the order given.
//
// Errors are those of level pool routing: an initial elevation off the
// curve; a pool rising above the curve ("`storage` {} is outside ...", with
// the storage the step would need) or above an outlet's rating curve (that
// outlet's error, at the elevation the step would reach); a release schedule
// asked past its end, at the first instant of the inflow's clock beyond it.
// Where the outlets would draw the pool below the curve's bottom, the pool
// stops there and the outlets share what the balance leaves, each in
// proportion to its release at the bottom; if the curve's lowest storage is
// above zero, that is an error as in level pool routing. Only when even a
// zero release cannot balance the step (the release at its start took more
// than there was) is the volume not conserved. A failure inside the time
// loop carries its place (time, value, outlet) as the error's context.
Result<LevelPoolOutput>
storage_indication_routing_rs(const TimeSeries &inflow, double initial_elevation,
                              const ElevationStorage &curve,
                              const std::vector<std::pair<std::string, DischargeInfo>> &outlets);

} // namespace basinkit
