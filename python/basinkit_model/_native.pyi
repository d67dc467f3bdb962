from collections.abc import Mapping, Sequence
from datetime import timedelta

from numpy.typing import ArrayLike

def storage_indication(
    inflow: ArrayLike,
    time_step: int,
    initial_elevation: float,
    elevations: Sequence[float],
    storages: Sequence[float],
    outlets: Mapping[str, tuple[object, ...]],
) -> tuple[bytes, bytes, bytes, dict[str, bytes]]: ...
def level_pool(
    inflow: ArrayLike,
    time_step: int,
    initial_elevation: float,
    elevations: Sequence[float],
    storages: Sequence[float],
    outlets: Mapping[str, tuple[object, ...]],
) -> tuple[bytes, bytes, bytes, dict[str, bytes], float]: ...
def muskingum(
    inflow: ArrayLike,
    time_step: int,
    k: timedelta,
    x: float,
    sub_reaches: int,
    initial_outflow: float,
) -> tuple[bytes, list[float]]: ...
def linear_reservoir(
    basin_area: float,
    rainfall: ArrayLike,
    time_step: int,
    layers: Sequence[tuple[str, timedelta, float, float, int]],
) -> tuple[bytes, dict[str, bytes], dict[str, bytes]]: ...
def clark(
    excess: ArrayLike,
    time_step: int,
    basin_area: float,
    tc: timedelta,
    storage_r: timedelta,
) -> tuple[bytes, float]: ...
def muskingum_cunge(
    inflow: ArrayLike,
    time_step: int,
    segment_k: float,
    x: float,
    sub_reaches: int,
    initial_outflow: float,
) -> tuple[bytes, list[float]]: ...
def lag(inflow: ArrayLike, time_step: int, lag: timedelta) -> bytes: ...
def recession(
    direct: ArrayLike,
    time_step: int,
    initial_q: float,
    recession_constant: float,
    ratio_to_peak: float | None,
    threshold_q: float | None,
) -> tuple[bytes, int | None]: ...
def curve_number(
    rainfall: ArrayLike,
    cn: float,
    initial_abstraction_ratio: float,
    impervious_pct: float,
    depth_per_inch: float,
) -> tuple[bytearray, bytearray, bytearray]: ...
def initial_constant(
    rainfall: ArrayLike,
    time_step: int,
    initial_loss: float,
    rate_per_hr: float,
    impervious_pct: float,
) -> tuple[bytearray, bytearray, bytearray]: ...
def green_ampt(
    rainfall: ArrayLike,
    time_step: int,
    initial_content: float,
    saturated_content: float,
    suction: float,
    conductivity: float,
    impervious_pct: float,
) -> tuple[bytearray, bytearray, bytearray]: ...
def nrcs_uh(
    excess: ArrayLike,
    time_step: int,
    unit_volume: float,
    lag: timedelta,
    tabulated: bool,
    m: float,
) -> bytes: ...
def nrcs_gamma_shape(area_ratio: float) -> float: ...
def user_uh(
    excess: ArrayLike,
    time_step: int,
    ordinates: Sequence[float],
    unit_volume: float,
    normalise: bool,
) -> bytes: ...
def snyder_uh(
    excess: ArrayLike,
    time_step: int,
    unit_volume: float,
    area: float,
    lag: timedelta,
    cp: float,
    c2: float,
    c50: float,
    c75: float,
) -> bytes: ...
