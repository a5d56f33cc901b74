"""Raw files by format: TIFF and OME-TIFF through tifffile, the instruments' own formats
(DeltaVision .dv, Nikon .nd2, Zeiss .czi, ...) through bioio and its reader plugins, the
optional extra korvex[formats]. Each source gives its stored axes and shape, the pixel size
and emission wavelength (micrometres) where the file holds them, and frames by stored index."""

from __future__ import annotations

import numpy as np

from ._errors import InputError
from ._tiff import TiffSource, checked_input, micrometres


def open_source(path: str):
    checked_input(path)
    if path.lower().endswith((".tif", ".tiff")):
        return TiffSource(path)
    return BioioSource(path)


class BioioSource:
    """A file read through bioio: its first scene, in bioio's axes (TCZYX), a frame at a time."""

    def __init__(self, path: str):
        try:
            from bioio import BioImage
        except ImportError:
            raise InputError(f"{path}: reading this format needs bioio and its readers: "
                             "pip install 'korvex[formats]'") from None
        self.path = path
        self.missing = {}
        try:
            image = BioImage(path)
            self.axes = image.dims.order
            self.shape = tuple(int(n) for n in image.shape)
            self._data = image.dask_data
            self.dtype = np.dtype(self._data.dtype)
        except Exception as error:  # each plugin raises its own kinds
            raise InputError(f"{path}: not a readable image "
                             f"({' '.join(str(error).split()) or type(error).__name__})") from None
        if self.dtype.kind not in "fiu":
            raise InputError(f"{path}: pixels of type {self.dtype} are not camera data")
        self.pixel_size = self._pixel_size(image)
        self.wavelength = self._wavelength(image)
        self.missing.setdefault("pixel_size", "no pixel size in the metadata")
        self.missing.setdefault("wavelength", "no emission wavelength in the metadata")

    def _pixel_size(self, image):
        try:
            size = image.physical_pixel_sizes.X  # micrometres in bioio's convention
            return micrometres(size, "µm", "pixel size") if size else None
        except Exception as error:
            self.missing["pixel_size"] = str(error)
            return None

    def _wavelength(self, image):
        """The first channel's emission wavelength: OME metadata where the reader makes it,
        else a DeltaVision header's first wavelength (nanometres)."""
        try:
            channel = image.ome_metadata.images[0].pixels.channels[0]
            if channel.emission_wavelength:
                unit = getattr(channel.emission_wavelength_unit, "value", "nm")
                return micrometres(channel.emission_wavelength, unit, "emission wavelength")
        except Exception:  # many readers make no OME metadata
            pass
        try:
            header = image.metadata["header"]
            wave = header.get("wave1") or header.get("wave", [0])[0]
            return micrometres(wave, "nm", "emission wavelength") if wave else None
        except Exception:
            return None

    def read(self, indices) -> np.ndarray:
        try:
            return np.stack([np.asarray(self._data[tuple(i)]) for i in indices])
        except Exception as error:
            raise InputError(f"{self.path}: the frames cannot be read ({error})") from None

    def close(self):
        pass
