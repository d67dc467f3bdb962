from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

Float: TypeAlias = SupportsFloat | SupportsIndex
FloatSequence: TypeAlias = Sequence[Float] | npt.NDArray[np.floating[Any] | np.integer[Any]]
