"""korvex: MAP-SIM reconstruction of structured-illumination microscopy for numpy and dask.

Arrays are C-ordered, frames first: (F, H, W) for one acquisition, (T, F, H, W) for a series.
The numerical work runs in KorvexLib, the C++ core shared with the MATLAB/Octave MEX files,
on a GPU (cuda backend) or the CPU (host backend): see `korvex.backend`.
"""

from ._core import KorvexError, backend
from .acquisition import Pipeline, reconstruct_acquisition
from .engine import Reconstructor, reconstruct
from .files import RawFile
from .imaging import masks, otf, simulate
from .patterns import LowModulationWarning, Pattern, UndersampledWarning, estimate_patterns
from .results import AcquisitionResult, Result, SeriesResult
from .series import reconstruct_series

__version__ = "0.1.0"

__all__ = [
    "AcquisitionResult", "KorvexError", "LowModulationWarning", "Pattern", "Pipeline",
    "RawFile", "Reconstructor", "Result", "SeriesResult", "UndersampledWarning", "backend",
    "estimate_patterns", "masks", "otf", "reconstruct", "reconstruct_acquisition",
    "reconstruct_series", "simulate",
]
