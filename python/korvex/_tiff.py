"""TIFF and OME-TIFF in and out for the command line: dimension order and pixel size."""

from __future__ import annotations

import os
import re

import numpy as np

# Letters a file or --order may use: T time, F frames (the illumination steps; tifffile's
# C, Z, Q, I and S stand for them when nothing else does), Y rows, X columns.
_FRAME_LETTERS = "FCZQIS"


class InputError(ValueError):
    """Bad input for the command line: a one-line message, exit status 2."""


def read_series(path: str, order: str | None):
    """(T, F, H, W) frames and the pixel size in micrometres from the metadata (or None)."""
    import tifffile

    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file")
    try:
        with tifffile.TiffFile(path) as tif:
            series = tif.series[0]
            data = series.asarray()
            axes = series.axes
            pixel = _pixel_size(tif)
    except (tifffile.TiffFileError, ValueError, OSError) as error:
        raise InputError(f"{path}: not a readable TIFF ({error})") from None
    return _to_tfyx(data, order.upper() if order else axes, given=order is not None), pixel


def _to_tfyx(data: np.ndarray, axes: str, given: bool) -> np.ndarray:
    if len(axes) != data.ndim:
        raise InputError(f"dimension order '{axes}' has {len(axes)} letters for "
                         f"{data.ndim} dimensions")
    if given and (set(axes) - set("TYX" + _FRAME_LETTERS) or len(set(axes)) != len(axes)):
        raise InputError(f"unknown dimension order '{axes}': use the letters T, F, Y and X, "
                         "each once")
    if "Y" not in axes or "X" not in axes:
        raise InputError(f"unknown dimension order '{axes}': Y and X are needed")
    if not given:  # drop the file's singleton axes other than Y and X
        keep = [i for i, a in enumerate(axes) if a in "YX" or data.shape[i] > 1]
        data = data.reshape([data.shape[i] for i in keep])
        axes = "".join(axes[i] for i in keep)
    rest = [i for i, a in enumerate(axes) if a not in "YX"]
    if len(rest) > 2:
        raise InputError(f"dimension order '{axes}' has more than one axis besides time, "
                         "frames, Y and X")
    if len(rest) == 0:
        raise InputError("the file holds a single image, not a stack of frames")
    if len(rest) == 1:
        time, frame = None, rest[0]
    else:  # time is T where named; two unnamed axes read as time, then frames (as in TZYX)
        time = next((i for i in rest if axes[i] == "T"), rest[0])
        frame = next(i for i in rest if i != time)
    order = ([time] if time is not None else []) + [frame, axes.index("Y"), axes.index("X")]
    data = np.transpose(data, order)
    return data if time is not None else data[np.newaxis]


def _pixel_size(tif) -> float | None:
    """Pixel side in micrometres from OME or ImageJ metadata."""
    if tif.ome_metadata:
        match = re.search(r'PhysicalSizeX="([^"]+)"', tif.ome_metadata)
        unit = re.search(r'PhysicalSizeXUnit="([^"]+)"', tif.ome_metadata)
        if match:
            return float(match.group(1)) * _micrometres(unit.group(1) if unit else "µm")
    if tif.imagej_metadata is not None:
        tag = tif.pages[0].tags.get("XResolution")
        unit = tif.imagej_metadata.get("unit", "")
        if tag is not None and _micrometres(unit):
            numerator, denominator = tag.value
            if numerator > 0:
                return denominator / numerator * _micrometres(unit)
    return None


def _micrometres(unit: str) -> float:
    """Micrometres per `unit`; 0 for a unit that is not a length."""
    return {"µm": 1.0, "um": 1.0, "micron": 1.0, "microns": 1.0, "\\u00B5m": 1.0,
            "nm": 1e-3, "mm": 1e3}.get(unit.strip(), 0.0)


def write_series(path: str, images: np.ndarray, pixel_size: float) -> None:
    """float32 (T, Y, X) ImageJ TIFF carrying the pixel size (µm), written to a temporary
    name and renamed, so that an interrupted run leaves no partial file."""
    import tifffile

    with _replacing(path) as temporary:
        tifffile.imwrite(temporary, images.astype(np.float32, copy=False), imagej=True,
                         resolution=(1 / pixel_size, 1 / pixel_size),
                         metadata={"axes": "TYX", "unit": "um"})


class _replacing:
    """A temporary name beside `path`, renamed onto it on success and removed on failure."""

    def __init__(self, path: str):
        self.path = path
        directory, name = os.path.split(os.path.abspath(path))
        self.temporary = os.path.join(directory, f".{name}.{os.getpid()}.partial")

    def __enter__(self) -> str:
        return self.temporary

    def __exit__(self, kind, *rest):
        if kind is None:
            os.replace(self.temporary, self.path)
        elif os.path.exists(self.temporary):
            os.remove(self.temporary)
        return False
