from collections.abc import Mapping, Sequence

from numpy.typing import ArrayLike

def storage_indication(
    inflow: ArrayLike,
    time_step: int,
    initial_elevation: float,
    elevations: Sequence[float],
    storages: Sequence[float],
    outlets: Mapping[str, tuple[object, ...]],
) -> tuple[bytes, bytes, bytes, dict[str, bytes]]: ...
