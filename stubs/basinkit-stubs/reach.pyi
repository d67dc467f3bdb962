from datetime import timedelta

from ._typing import Float
from .utils import ContinuousTimeSeries

__all__: list[str]

def run_muskingum_routing(
    inflow: ContinuousTimeSeries, k: timedelta, x: Float, sub_reaches: int, initial_outflow: Float
) -> ContinuousTimeSeries: ...
