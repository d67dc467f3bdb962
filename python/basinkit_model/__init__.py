"""basinkit_model: whole watersheds on top of basinkit.

Describe a basin as elements (subbasins, reaches, reservoirs, junctions,
sources) linked by `downstream` names, run it on a pandas rain record, read
every element's flow on one clock with a closed volume account, score it
against a gauge and calibrate it. Units are basinkit's: inches of rain per
interval, acres, cfs, feet and cubic feet; or, for a `Basin(..., units="si")`,
millimetres, km^2, m^3/s, metres and cubic metres. Durations are `timedelta`.
"""

from ._baseflow_methods import Recession
from ._calibrate import Calibration, CalibrationInterrupted, Start, calibrate
from ._checks import BasinWarning
from ._elements import Basin, Element, Junction, Outlet, Reach, Reservoir, Source, Subbasin
from ._files import BasinFileError, dumps, load, loads, save
from ._methods import Baseflow, Clark, DeficitConstant, Muskingum
from ._rainfall_loss_methods import CurveNumber, GreenAmpt, InitialConstant
from ._reservoirs import ConstantRelease, Gate, ReleaseSchedule, Spillway
from ._routing_methods import Lag, MuskingumCunge
from ._run import BasinRun, Precipitation, RunError, Score
from ._sample import Sample, sample
from ._transform_methods import NrcsUnitHydrograph, Snyder, UserUnitHydrograph

__all__ = [
    "Basin",
    "BasinFileError",
    "BasinRun",
    "BasinWarning",
    "Baseflow",
    "Calibration",
    "CalibrationInterrupted",
    "Clark",
    "ConstantRelease",
    "CurveNumber",
    "DeficitConstant",
    "Element",
    "Gate",
    "GreenAmpt",
    "InitialConstant",
    "Junction",
    "Lag",
    "Muskingum",
    "MuskingumCunge",
    "NrcsUnitHydrograph",
    "Outlet",
    "Precipitation",
    "Reach",
    "Recession",
    "ReleaseSchedule",
    "Reservoir",
    "RunError",
    "Sample",
    "Score",
    "Snyder",
    "Source",
    "Spillway",
    "Start",
    "Subbasin",
    "UserUnitHydrograph",
    "calibrate",
    "dumps",
    "load",
    "loads",
    "sample",
    "save",
]
