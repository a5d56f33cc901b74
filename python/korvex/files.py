"""Raw SIM files as instruments write them, read one time point (or plane) at a time.

    with korvex.RawFile("omx.dv", order="AZPYX", angles=3, phases=5) as raw:
        for time, plane in raw.images:
            frames = raw.read(time, plane)  # (angles x phases, H, W), orientation-major

TIFF and OME-TIFF are read with tifffile; DeltaVision .dv, Nikon .nd2 and Zeiss .czi through
bioio (pip install "korvex[formats]"). `order` names the stored axes (see docs/python.md):
T time, Z plane, A angle, P phase, F frames, then Y X; consecutive letters may split one stored
axis. Bad files and orders raise ValueError with the sizes found.
"""

from __future__ import annotations

import numpy as np

from ._formats import open_source
from ._order import from_file_axes, from_order


class RawFile:
    """An open raw file: `times`, `planes`, `frames` (angles x phases) and `shape` (H, W);
    `pixel_size` and `wavelength` in micrometres from its metadata, or None. With angles and
    phases None, a time point holds as many frames as the file gives it."""

    def __init__(self, path, *, order: str | None = None, angles: int | None = 3,
                 phases: int | None = 3):
        self.path = str(path)
        self._source = open_source(self.path)
        try:
            shape = self._source.shape
            self._layout = (from_order(shape, order, angles, phases) if order
                            else from_file_axes(shape, self._source.axes, angles, phases))
        except BaseException:
            self._source.close()
            raise
        layout = self._layout
        self.times, self.planes, self.frames = layout.times, layout.planes, layout.frames
        self.angles, self.phases = layout.angles, layout.phases
        self.shape = tuple(layout.shape[-2:])
        self.dtype = self._source.dtype
        self.pixel_size, self.wavelength = self._source.pixel_size, self._source.wavelength
        self.missing = dict(self._source.missing)  # why pixel_size or wavelength is None

    @property
    def images(self) -> list[tuple[int, int]]:
        """(time point, plane) of every image the file holds, in order."""
        return self._layout.units

    def read(self, time: int = 0, plane: int = 0) -> np.ndarray:
        """The (F, H, W) frames of one time point's plane, as stored (e.g. uint16)."""
        if not (0 <= time < self.times and 0 <= plane < self.planes):
            raise IndexError(f"time point {time}, plane {plane} is outside the file's "
                             f"{self.times} x {self.planes}")
        return self._source.read(self._layout.frame_indices(time, plane))

    def read_all(self) -> np.ndarray:
        """Every frame as one (T, Z, F, H, W) array."""
        out = np.empty((self.times, self.planes, self.frames, *self.shape), self.dtype)
        for time, plane in self.images:
            out[time, plane] = self.read(time, plane)
        return out

    def close(self) -> None:
        self._source.close()

    def __enter__(self) -> "RawFile":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
