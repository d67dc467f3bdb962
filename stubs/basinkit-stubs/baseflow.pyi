from datetime import timedelta
from typing import SupportsIndex, final

from ._typing import Float
from .utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__: list[str]

def run_linear_reservoir(
    basin_area: Float, rainfall: IncrementalTimeSeries, reservoirs: dict[str, LinearReservoir]
) -> tuple[ContinuousTimeSeries, dict[str, ContinuousTimeSeries]]: ...
@final
class LinearReservoir:
    def __new__(
        cls,
        k_duration: timedelta,
        gw_fraction: Float,
        initial_q: Float,
        num_reservoir: SupportsIndex = 1,
    ) -> LinearReservoir: ...
    @property
    def gw_fraction(self) -> float: ...
    @gw_fraction.setter
    def gw_fraction(self, value: Float) -> None: ...
    @property
    def initial_q(self) -> float: ...
    @initial_q.setter
    def initial_q(self, value: Float) -> None: ...
    @property
    def num_reservoir(self) -> int: ...
    @num_reservoir.setter
    def num_reservoir(self, value: SupportsIndex) -> None: ...
    @property
    def k_duration(self) -> timedelta: ...
