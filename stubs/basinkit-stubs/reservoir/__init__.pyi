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
    @property
    def reservoir_storage(self) -> ContinuousTimeSeries: ...
    @property
    def reservoir_elevation(self) -> ContinuousTimeSeries: ...
    @property
    def reservoir_total_outflow(self) -> ContinuousTimeSeries: ...
    @property
    def reservoir_individual_outflows(self) -> dict[str, ContinuousTimeSeries]: ...
