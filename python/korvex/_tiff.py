"""TIFF and OME-TIFF through tifffile: raw frames read a few pages at a time, with the pixel
size and emission wavelength from the OME or ImageJ metadata; reconstructions written as
OME-TIFF one image at a time, with the pixel size, the settings and the patterns."""

from __future__ import annotations

import os

import numpy as np

from ._errors import InputError
from ._safe_output import replacing

_replacing = replacing  # its earlier name here

# Micrometres per OME length unit (UnitsLength); ImageJ's spellings of the micrometre too.
_MICROMETRES = {
    "Ym": 1e30, "Zm": 1e27, "Em": 1e24, "Pm": 1e21, "Tm": 1e18, "Gm": 1e15, "Mm": 1e12,
    "km": 1e9, "hm": 1e8, "dam": 1e7, "m": 1e6, "dm": 1e5, "cm": 1e4, "mm": 1e3, "µm": 1.0,
    "μm": 1.0, "um": 1.0, "micron": 1.0, "microns": 1.0, "\\u00B5m": 1.0, "nm": 1e-3,
    "pm": 1e-6, "fm": 1e-9, "am": 1e-12, "zm": 1e-15, "ym": 1e-18, "Å": 1e-4,
    "thou": 25.4, "li": 25400 / 12, "in": 25400.0, "ft": 304800.0, "yd": 914400.0,
    "mi": 1.609344e9, "pt": 25400 / 72,
}


def micrometres(value, unit: str, what: str) -> float:
    """`value` in `unit` as micrometres; InputError for a unit that is not a length."""
    factor = _MICROMETRES.get(str(unit).strip())
    if factor is None:
        raise InputError(f"the {what} unit '{unit}' is not a length")
    try:
        value = float(value) * factor
    except (TypeError, ValueError):
        raise InputError(f"the {what} '{value}' is not a number") from None
    if not np.isfinite(value) or value <= 0:
        raise InputError(f"the {what} {value:g} um is not a positive length")
    return value


def checked_input(path: str) -> None:
    """InputError unless `path` is an existing regular file."""
    if os.path.isdir(path):
        raise InputError(f"{path}: is a directory, not a file of raw frames")
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
    if not os.path.isfile(path):
        raise InputError(f"{path}: is not a regular file")


class TiffSource:
    """A TIFF's first series, read a few 2-D pages at a time.

    axes, shape and dtype are the series'; pixel_size and wavelength (micrometres) come from
    the metadata or are None, with the reason in `missing`."""

    def __init__(self, path: str):
        import tifffile

        checked_input(path)
        self.path = path
        self.missing = {}
        try:
            self._tif = tifffile.TiffFile(path)
        except Exception as error:  # tifffile raises many kinds on a malformed file
            raise InputError(f"{path}: not a readable TIFF ({_text(error)})") from None
        try:
            self._open()
        except InputError:
            self.close()
            raise
        except Exception as error:
            self.close()
            raise InputError(f"{path}: not a readable TIFF ({_text(error)})") from None

    def _open(self):
        tif = self._tif
        if not tif.series or not tif.pages:
            raise InputError(f"{self.path}: the TIFF holds no image")
        series = tif.series[0]
        self.axes, self.shape, self.dtype = series.axes, tuple(series.shape), series.dtype
        if self.dtype.kind not in "fiu" or self.dtype.itemsize > 8:
            raise InputError(f"{self.path}: pixels of type {self.dtype} are not camera data")
        if len(self.shape) < 2 or 0 in self.shape:
            raise InputError(f"{self.path}: the TIFF's image has shape {self.shape}")
        # Checked from the header before anything is read: uncompressed data the file cannot
        # hold means a corrupt or truncated file.
        need = int(np.prod(self.shape, dtype=np.float64)) * self.dtype.itemsize
        size = os.path.getsize(self.path)
        if tif.pages[0].compression == 1 and need > size:
            raise InputError(
                f"{self.path}: the header claims {' x '.join(map(str, self.shape))} pixels of "
                f"{self.dtype} ({need / 2**30:.3g} GiB), but the file holds {size} bytes")
        pages = series.pages
        self._paged = (self.axes[-2:] == "YX" and len(pages) == int(np.prod(self.shape[:-2]))
                       and tuple(pages[0].shape) == self.shape[-2:])
        # Uncompressed data in one block (ImageJ writes files past 4 GiB with a single IFD).
        self._offset = series.dataoffset
        self._stored = np.dtype(self.dtype).newbyteorder(tif.byteorder)
        self._whole = None
        self.pixel_size = self.wavelength = None
        if tif.is_ome:
            self._ome_metadata(tifffile_xml(tif.ome_metadata))
        elif tif.imagej_metadata is not None:
            self._imagej_metadata(tif)
        self.missing.setdefault("pixel_size", "no pixel size in the metadata")
        self.missing.setdefault("wavelength", "no emission wavelength in the metadata")

    def _ome_metadata(self, ome: dict):
        image = ome.get("OME", {}).get("Image", {})
        image = image[0] if isinstance(image, list) else image
        pixels = image.get("Pixels", {})
        if "PhysicalSizeX" in pixels:
            try:
                self.pixel_size = micrometres(pixels["PhysicalSizeX"],
                                              pixels.get("PhysicalSizeXUnit", "µm"),
                                              "OME pixel size")
            except InputError as error:
                self.missing["pixel_size"] = str(error)
        channel = pixels.get("Channel", {})
        channel = channel[0] if isinstance(channel, list) and channel else channel
        if isinstance(channel, dict) and "EmissionWavelength" in channel:
            try:
                self.wavelength = micrometres(channel["EmissionWavelength"],
                                              channel.get("EmissionWavelengthUnit", "nm"),
                                              "OME emission wavelength")
            except InputError as error:
                self.missing["wavelength"] = str(error)

    def _imagej_metadata(self, tif):
        tag = tif.pages[0].tags.get("XResolution")
        unit = tif.imagej_metadata.get("unit", "")
        if tag is not None and unit:
            numerator, denominator = tag.value
            try:
                self.pixel_size = micrometres(denominator / numerator if numerator else 0,
                                              unit, "ImageJ pixel size")
            except InputError as error:
                self.missing["pixel_size"] = str(error)

    def read(self, indices) -> np.ndarray:
        """The (n, Y, X) frames at `indices`, each a stored index with Y and X left out."""
        try:
            if self._paged:
                keys = [int(np.ravel_multi_index(i, self.shape[:-2])) if i else 0
                        for i in indices]
                data = self._tif.asarray(key=keys, series=0)
            elif self._offset is not None:  # mapped for this read only, so that none stays
                mapped = np.memmap(self.path, self._stored, "r", self._offset, self.shape)
                data = np.stack([mapped[i] for i in indices]).astype(self.dtype)
                del mapped
            else:  # pages that are not single planes: the series is read once, whole
                if self._whole is None:
                    self._whole = self._tif.series[0].asarray()
                data = np.stack([self._whole[i] for i in indices])
        except Exception as error:
            raise InputError(f"{self.path}: the frames cannot be read ({_text(error)})") from None
        return data.reshape(len(indices), *self.shape[-2:])

    def close(self):
        self._tif.close()


def read_series(path: str, order: str | None = None):
    """The whole file at once as (T, F, H, W) frames (time points and planes on one axis, any
    frame count) and the pixel size in micrometres, or None."""
    from .files import RawFile

    with RawFile(path, order=order, angles=None, phases=None) as raw:
        frames, pixel_size = raw.read_all(), raw.pixel_size
    return frames.reshape(-1, *frames.shape[2:]), pixel_size


def tifffile_xml(xml: str) -> dict:
    import tifffile

    try:
        return tifffile.xml2dict(xml)
    except Exception:  # malformed OME-XML: the metadata is ignored, the pixels still read
        return {}


def _text(error: Exception) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def write_ome(target: str, images, shape, axes: str, pixel_size: float, channel: dict,
              annotations) -> None:
    """Writes float32 `images` (an iterable of (Y, X) images, `shape` in all, `axes` such as
    TZYX) to the file `target` names, as OME-TIFF with the pixel size in micrometres. The
    OME-XML is written after the images, so `annotations` (a callable returning a
    {key: text} map) may describe what was learnt while they were made. The file appears
    under its name only when complete."""
    import tifffile

    count = int(np.prod(shape[:-2]))
    bigtiff = count * shape[-2] * shape[-1] * 4 > 2**32 - 2**25
    per_cm = 1e4 / pixel_size
    with replacing(target) as temporary, tifffile.TiffWriter(temporary, bigtiff=bigtiff) as tif:
        tif.write((np.asarray(image, np.float32) for image in images),
                  shape=(count, *shape[-2:]), dtype=np.float32, photometric="minisblack",
                  description="OME-XML follows", metadata=None,
                  resolution=(per_cm, per_cm), resolutionunit="CENTIMETER")
        ome = tifffile.OmeXml()
        ome.addimage(np.float32, tuple(shape), (count, 1, 1, *shape[-2:], 1), axes=axes,
                     PhysicalSizeX=pixel_size, PhysicalSizeXUnit="µm",
                     PhysicalSizeY=pixel_size, PhysicalSizeYUnit="µm", Channel=channel,
                     MapAnnotation=annotations())
        tif.overwrite_description(ome.tostring().encode())
