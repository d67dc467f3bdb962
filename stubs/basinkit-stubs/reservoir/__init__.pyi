from typing import TypeAlias

from .._typing import Float
from ..utils import ContinuousTimeSeries
from . import reservoir_utils as reservoir_utils
from .reservoir_utils import (
    ConstantDischargeInfo,
    ControlledDischargeInfo,
    ElevationStorage,
    SpecifiedDischargeInfo,
    UnControlledDischargeInfo,
)

__all__: list[str]

Outlet: TypeAlias = (
    UnControlledDischargeInfo | ControlledDischargeInfo | SpecifiedDischargeInfo | ConstantDischargeInfo
)

def run_level_pool_routing(
    inflow: ContinuousTimeSeries,
    initial_elevation: Float,
    elevation_storage: ElevationStorage,
    discharge_info: dict[str, Outlet],
) -> LevelPoolResult: ...

class LevelPoolResult:
    """Results from a level pool routing simulation.

    Clock: for n inflow values at step dt, value k of every series (storage,
    elevation, total and each outlet) belongs to time (k + 1) * dt, so each
    has n - 1 values on dt, 2 dt, ..., (n - 1) dt. The reservoir is taken to
    stand at the initial elevation at time dt: inflow before dt does not
    enter it. To route a whole inflow `q` from time 0, repeat its first value
    in front, `ContinuousTimeSeries([q[0]] + q, dt, "discharge")`: that gives
    n values on 0, dt, ..., (n - 1) dt.
    """

    @property
    def reservoir_storage(self) -> ContinuousTimeSeries:
        """Reservoir storage volume at each output time step.

        Value k at time (k + 1) * dt; value 0 is the initial storage.
        """
    @property
    def reservoir_elevation(self) -> ContinuousTimeSeries:
        """Water surface elevation at each output time step.

        Value k at time (k + 1) * dt; value 0 is the initial elevation.
        """
    @property
    def reservoir_total_outflow(self) -> ContinuousTimeSeries:
        """Combined outflow from all outlets at each output time step.

        Value k at time (k + 1) * dt, released at the elevation of that time.
        """
    @property
    def reservoir_individual_outflows(self) -> dict[str, ContinuousTimeSeries]:
        """Per-outlet outflow time series keyed by outlet name.

        Value k of each at time (k + 1) * dt, as the total outflow.
        """
