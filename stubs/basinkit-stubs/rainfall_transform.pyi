from datetime import timedelta

from ._typing import Float
from .utils import ContinuousTimeSeries, IncrementalTimeSeries

__all__: list[str]

def run_clark_uh(
    rainfall: IncrementalTimeSeries, basin_area: Float, tc: timedelta, storage_r: timedelta
) -> ContinuousTimeSeries: ...
