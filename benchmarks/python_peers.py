"""The NumPy peer of the Clark transform.

`clark_uh_numpy` takes the unit hydrograph of the reference model
(translation through the reservoir plus its recession) and convolves with
`np.convolve`, whose summation order differs from the core's: it agrees
within a tolerance only.
The plain-Python level pool routing, which agrees bit for bit, is the
reference model itself (tests/reference/level_pool.py).
"""

import numpy as np
import reference_path  # noqa: F401
from reference.clark import unit_hydrograph


def clark_uh_numpy(rainfall, dt, basin_area, tc_s, r_s):
    """Discharge of L + m - 1 values from `np.convolve` with that unit hydrograph."""
    uh = np.array(unit_hydrograph(dt, basin_area, tc_s, r_s))
    return np.convolve(np.asarray(rainfall, dtype=np.float64), uh)
