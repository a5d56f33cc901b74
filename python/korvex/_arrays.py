"""Argument checks shared by the package: numpy conventions in, what the core reads out.

Frames are C-ordered (F, H, W). float32 and float64 arrays that are C-contiguous pass to the
core as they are; integer camera data becomes float32; anything else is refused. NaN and Inf
are refused by the core itself, which scans the data without a temporary copy.
"""

from __future__ import annotations

import numbers

import numpy as np

FLOAT_TYPES = (np.dtype(np.float32), np.dtype(np.float64))


def shape_text(shape) -> str:
    return "(" + ", ".join(str(int(n)) for n in shape) + ")"


def as_real(name: str, value, ndim: int, layout: str, dtype=None) -> np.ndarray:
    """`value` as a C-contiguous float array of `ndim` dimensions.

    Without `dtype`, float32 and float64 (of either byte order) keep their precision and
    integers become float32.
    """
    array = np.asarray(value)
    kind = array.dtype.kind
    if kind == "c":
        raise TypeError(f"{name} must be real, got complex values ({array.dtype})")
    if kind not in "fiu":
        raise TypeError(f"{name} must be a real numeric array, got {array.dtype}")
    if array.ndim != ndim:
        raise ValueError(f"{name} must be {layout}, got {shape_text(array.shape)}")
    if array.size == 0:
        raise ValueError(f"{name} is empty: {shape_text(array.shape)}")
    if dtype is None:  # float64 in either byte order runs in double precision
        dtype = np.dtype(np.float64 if kind == "f" and array.dtype.itemsize == 8
                         else np.float32)
    # A no-op for a C-contiguous array of the right type: the core reads the caller's memory.
    return np.ascontiguousarray(array, dtype=dtype)


# Counts (sizes, frames, iterations) reach the core as 32-bit unsigned integers.
MAX_COUNT = 2**32 - 1


def count(name: str, value, minimum: int = 1, maximum: int = MAX_COUNT) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number, got {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if value > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {value}")
    return int(value)


def number(name: str, value, *, positive: bool = False) -> float:
    """A finite real number, non-negative (or positive)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    value = float(value)
    if not np.isfinite(value) or value < 0 or (positive and value == 0):
        sign = "positive" if positive else "non-negative"
        raise ValueError(f"{name} must be a {sign} finite number, got {value}")
    return value


def image_shape(value) -> tuple[int, int]:
    """An (H, W) shape."""
    try:
        height, width = value
    except (TypeError, ValueError):
        raise ValueError(f"shape must be (H, W), got {value!r}") from None
    return count("shape[0]", height), count("shape[1]", width)


def per_orientation(name: str, value, orientations: int, allow_nan: bool = False) -> list[float]:
    """A scalar, or one finite value per orientation (NaN too where `allow_nan`)."""
    values = np.atleast_1d(np.asarray(value, dtype=np.float64))
    if values.ndim != 1:
        raise ValueError(f"{name} must be a scalar or a vector")
    if values.size == 1:
        values = np.repeat(values, orientations)
    if values.size != orientations:
        raise ValueError(
            f"{name} must be a scalar or hold one value per orientation ({orientations}), "
            f"got {values.size}"
        )
    if not (np.isfinite(values) | (allow_nan & np.isnan(values))).all():
        raise ValueError(f"{name} holds NaN or Inf")
    return values.tolist()


def finite_values(name: str, value) -> list[float]:
    """A scalar or a vector of finite values, as a list (the core judges how many it needs)."""
    values = np.atleast_1d(np.asarray(value, dtype=np.float64))
    if values.ndim != 1 or values.size == 0:
        raise ValueError(f"{name} must be a scalar or a non-empty vector")
    if not np.isfinite(values).all():
        raise ValueError(f"{name} holds NaN or Inf")
    return values.tolist()
