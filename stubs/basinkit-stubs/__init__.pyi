from . import baseflow as baseflow
from . import metrics as metrics
from . import rainfall_loss as rainfall_loss
from . import rainfall_transform as rainfall_transform
from . import reach as reach
from . import reservoir as reservoir
from . import utils as utils

__all__: list[str]
