from datetime import timedelta

from ._typing import Float
from .utils import IncrementalTimeSeries

__all__: list[str]

class DeficitConstantResult:
    @property
    def excess(self) -> IncrementalTimeSeries: ...
    @property
    def loss(self) -> IncrementalTimeSeries: ...
    @property
    def deficit(self) -> IncrementalTimeSeries: ...

def run_deficit_and_constant(
    rainfall: IncrementalTimeSeries,
    initial_deficit: Float,
    max_deficit: Float,
    constant_loss_per_hr: Float,
    time_to_dry: timedelta,
) -> DeficitConstantResult: ...
