"""What every call returns: dataclasses sharing `image`, `iterations` (a count), `seconds` (a
dict of stages with "total") and, where one was used, `pattern`."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .patterns import Pattern


@dataclass(frozen=True)
class Result:
    """One reconstruction on the grid of the masks it was given."""

    image: np.ndarray  # (H, W), float32 or float64 like the frames
    iterations: int  # iterations run
    seconds: dict  # "reconstruction" (inside the engine) and "total"
    step: float  # last step size (KorvexCUDA's alpha output)
    ratio: float  # ratio of the last two convergence measures
    pattern: Pattern | None = None  # the illumination, where the call knew it


@dataclass(frozen=True)
class AcquisitionResult(Result):
    """One camera acquisition reconstructed on a finer grid."""

    pixel_size: float = 0.0  # of the output: camera pixel / upsample (0 when none was given)
    estimated: bool = False  # whether `pattern` was estimated from these frames
    # Share of the modelled light assigned to out-of-focus haze (0 with the model off), and the
    # haze as it adds to every frame, on the output grid (None with the model off).
    out_of_focus_share: float = 0.0
    out_of_focus: np.ndarray | None = None


@dataclass(frozen=True)
class SeriesResult:
    """A (T, F, H, W) series reconstructed time point by time point."""

    image: object  # (T, H', W') numpy array, or a lazy dask array for a dask series
    iterations: np.ndarray | None  # (T,) iterations run; None for a lazy series
    seconds: dict  # "total" (and the stages summed over time points for numpy)
    pixel_size: float  # of the output (0 when none was given)
    patterns: object  # T Patterns; for a lazy series, computed (estimation only) when read
    mcnr: object  # (T, A) MCNR of each time point's pattern (NaN where given); dask if lazy
    # (T,) share of each time point's modelled light assigned to out-of-focus haze (0 with the
    # model off or given masks); None for a lazy series.
    out_of_focus_share: np.ndarray | None = None

    @property
    def pattern(self) -> Pattern | None:
        """The pattern of the first time point (every one's with estimate="once")."""
        return self.patterns[0] if len(self.patterns) else None
