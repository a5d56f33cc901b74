"""napari's reader and writer: raw SIM stacks in through the command line's TIFF functions,
images out as OME-TIFF with the pixel size and korvex's record of the reconstruction."""

from __future__ import annotations

import json
import os

import numpy as np

SUFFIXES = (".tif", ".tiff")


def get_reader(path):
    """The reader for a TIFF or OME-TIFF holding a stack of frames; None for anything else,
    so that napari offers the file to other readers."""
    if isinstance(path, (list, tuple)):
        if len(path) != 1:
            return None
        path = path[0]
    path = str(path)
    if not path.lower().endswith(SUFFIXES) or not os.path.isfile(path):
        return None
    import tifffile

    try:
        with tifffile.TiffFile(path) as tif:
            if len(tif.series) == 0 or len(tif.series[0].shape) < 3:
                return None
    except (tifffile.TiffFileError, OSError, ValueError):
        return None
    return read_stack


def read_stack(path):
    """One image layer: (F, H, W) frames of one acquisition, or (T, F, H, W) for a series
    (time points and planes on one axis), in the order the file's own axes give (two unnamed
    axes are time, then frames). A stack read as one axis of T x F frames is split by the
    widget's angles and phases. The pixel size and the emission wavelength (micrometres) from
    the metadata go to the layer: the pixel size as its scale, both for the widget."""
    from ..files import RawFile

    if isinstance(path, (list, tuple)):
        path = path[0]
    with RawFile(str(path), angles=None, phases=None) as raw:
        frames = raw.read_all()
        pixel_size, wavelength = raw.pixel_size, raw.wavelength
    frames = frames.reshape(-1, *frames.shape[2:])
    data = frames[0] if frames.shape[0] == 1 else frames
    name = os.path.basename(str(path))
    for suffix in (".ome.tif", ".ome.tiff") + SUFFIXES:
        if name.lower().endswith(suffix):
            name = name[:-len(suffix)]
            break
    record = {"kind": "raw"}
    kwargs = {"name": name, "metadata": {"korvex": record}}
    if pixel_size:
        kwargs["scale"] = (1.0,) * (data.ndim - 2) + (pixel_size, pixel_size)
        record["pixel_size"] = pixel_size
    if wavelength:
        record["wavelength"] = wavelength
    return [(data, kwargs, "image")]


def write_image(path, data, meta) -> list[str]:
    """An image layer as float32 OME-TIFF: axes Y and X after time (T) and, for a raw stack,
    the frames (Z); the physical pixel size in micrometres from the layer's scale, and
    korvex's record (settings, pattern) as a map annotation."""
    import tifffile

    image = np.asarray(data)
    scale = tuple(meta.get("scale") or (1.0,) * image.ndim)
    keep = [i for i in range(image.ndim) if i >= image.ndim - 2 or image.shape[i] > 1]
    image = image.reshape([image.shape[i] for i in keep])
    axes = {2: "YX", 3: "TYX", 4: "TZYX"}.get(image.ndim)
    if axes is None:
        raise ValueError(f"cannot write a {image.ndim}-dimensional image as (T, Z, Y, X)")
    record = (meta.get("metadata") or {}).get("korvex", {})
    metadata = {"axes": axes, "PhysicalSizeX": float(scale[-1]), "PhysicalSizeXUnit": "µm",
                "PhysicalSizeY": float(scale[-2]), "PhysicalSizeYUnit": "µm",
                "Name": str(meta.get("name", "image"))}
    if record:
        metadata["MapAnnotation"] = {key: json.dumps(value, default=_plain)
                                     for key, value in record.items()}
    from .._safe_output import checked_targets, replacing

    # A directory, device, FIFO or link to one is refused; a failed write leaves nothing.
    target = checked_targets([], {"output": os.path.abspath(path)})["output"]
    with replacing(target) as temporary:
        tifffile.imwrite(temporary, image.astype(np.float32, copy=False), ome=True,
                         metadata=metadata)
    return [path]


def _plain(value):
    """JSON for numpy values."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"{type(value).__name__} is not JSON serialisable")
