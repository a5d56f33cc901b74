"""Stack orders as instruments write them: which stored axes hold a raw file's time points,
planes, pattern orientations (angles) and phases.

An order names the stored axes, outermost first, with T (time), Z (plane), A (angle), P (phase),
F (frames: angles x phases, angle-major), and Y and X last. It may hold more letters than the
file has axes: consecutive letters then share one stored axis, the first outermost. OMX writes
135 sections as one axis, 3 angles x 9 planes x 5 phases with the phase fastest: AZPYX with 3
angles and 5 phases reads it. Axes of size 1 that the order does not name are ignored.
"""

from __future__ import annotations

from dataclasses import dataclass

from ._errors import InputError

LETTERS = "TZAPFYX"
_UNKNOWN = "TZ"  # sizes read from the file; A, P and F follow from --angles and --phases


@dataclass(frozen=True)
class Layout:
    """Where each frame of a raw file is stored."""

    shape: tuple  # stored shape, Y and X last
    place: dict  # letter -> (stored axis, stride along it)
    times: int
    planes: int
    angles: int
    phases: int

    @property
    def frames(self) -> int:
        return self.angles * self.phases

    @property
    def units(self) -> list[tuple[int, int]]:
        """(time point, plane) of every image to reconstruct, in the order they are stored."""
        return [(t, z) for t in range(self.times) for z in range(self.planes)]

    def frame_indices(self, time: int, plane: int) -> list[tuple[int, ...]]:
        """The stored index (Y and X left out) of each frame of one time point's plane,
        orientation-major as the pipeline reads them."""
        indices = []
        for a in range(self.angles):
            for p in range(self.phases):
                index = [0] * (len(self.shape) - 2)
                for letter, value in (("T", time), ("Z", plane), ("A", a), ("P", p),
                                      ("F", a * self.phases + p)):
                    if letter in self.place:
                        axis, stride = self.place[letter]
                        index[axis] += value * stride
                indices.append(tuple(index))
        return indices


def _sizes_text(shape) -> str:
    return " x ".join(str(int(n)) for n in shape)


def from_order(shape, order: str, angles: int | None, phases: int | None) -> Layout:
    """The layout a user's order names for a file of `shape`; with angles and phases None,
    the frames are as many as the file holds."""
    letters = order.upper()
    if (set(letters) - set(LETTERS) or len(set(letters)) != len(letters)
            or not letters.endswith("YX")):
        raise InputError(f"unknown dimension order '{order}': use the letters T, Z, A, P, F, "
                         "Y and X, each once, ending with YX")
    if "F" in letters and ("A" in letters or "P" in letters):
        raise InputError(f"dimension order '{order}' names F (all frames) and A or P: name "
                         "either F, or A and P")
    if "F" not in letters and not ("A" in letters and "P" in letters):
        raise InputError(f"dimension order '{order}' names no frames: name F, or A and P")
    known = _known(angles, phases)
    every = list(range(len(shape)))
    squeezed = [i for i in every[:-2] if shape[i] > 1] + every[-2:]
    if len(letters) < len(squeezed):
        raise InputError(f"dimension order '{order}' has {len(letters)} letters for the file's "
                         f"{len(shape)} axes (sizes {_sizes_text(shape)})")
    # All the stored axes first, then without those of size 1.
    for axes in [every, squeezed] if squeezed != every else [every]:
        if len(letters) < len(axes):
            continue
        extra = len(letters) - len(axes)
        fits, reasons = [], []
        for split in range(len(axes) - 2) if extra else [0]:
            groups = [*([c] for c in letters[:split]), list(letters[split:split + extra + 1]),
                      *([c] for c in letters[split + extra + 1:])]
            try:
                fits.append(_placed(shape, axes, groups, known))
            except ValueError as reason:
                reasons.append(str(reason))
        if fits:
            break
    # Splits that differ only in axes of size 1 read the same frames.
    fits = list({_reads(layout): layout for layout in fits}.values())
    if len(fits) > 1:
        raise InputError(f"dimension order '{order}' fits the file's axes (sizes "
                         f"{_sizes_text(shape)}) in more than one way: give an order with one "
                         "letter for each axis but one")
    if not fits:
        reason = reasons[0] if len(reasons) == 1 else (
            "no stored axis splits into " + " x ".join(letters[:len(letters) - 2]))
        given = f" with {angles} angles and {phases} phases" if known else ""
        raise InputError(f"dimension order '{order}' does not fit the file's axes of sizes "
                         f"{_sizes_text(shape)}{given}: {reason}")
    return fits[0]


def _reads(layout: Layout) -> tuple:
    return (layout.times, layout.planes,
            tuple(tuple(layout.frame_indices(*unit)) for unit in layout.units))


def _placed(shape, axes, groups, known) -> Layout:
    """The layout of `groups` of letters, one group a stored axis; ValueError with the reason
    where the sizes do not fit."""
    place, sizes = {}, dict(known)
    for axis, group in zip(axes, groups):
        length = int(shape[axis])
        unknown = [c for c in group if c not in known]
        product = 1
        for c in group:
            product *= known.get(c, 1)
        if len(unknown) > 1:
            raise ValueError(f"{' and '.join(unknown)} cannot both come from the axis of size "
                             f"{length}")
        if unknown:
            if length % product:
                raise ValueError(f"{length} is not a multiple of {product} "
                                 f"({' x '.join(c for c in group if c in known)})")
            sizes[unknown[0]] = length // product
        elif product != length:
            what = " x ".join(f"{c} {known[c]}" for c in group)
            raise ValueError(f"the axis of size {length} does not hold {what}")
        stride = 1
        for c in reversed(group):
            place[c] = (axis, stride)
            stride *= sizes[c]
    # Frames counted from the file (no angles and phases given) read as one orientation.
    angles, phases = (sizes["A"], sizes["P"]) if "A" in sizes else (1, sizes["F"])
    return Layout(tuple(int(n) for n in shape), place, sizes.get("T", 1) if "T" in place else 1,
                  sizes.get("Z", 1) if "Z" in place else 1, angles, phases)


def _known(angles: int | None, phases: int | None) -> dict:
    """The sizes that --angles and --phases fix; none where they are not given."""
    return {} if angles is None else {"A": angles, "P": phases, "F": angles * phases}


def from_file_axes(shape, axes: str, angles: int | None, phases: int | None) -> Layout:
    """The layout a file's own axis letters (tifffile's or bioio's) give: Y and X last, T the
    time, any one other axis the frames; two unnamed axes are time, then frames. Axes of size
    1 are left out."""
    if len(axes) != len(shape) or axes[-2:] != "YX":
        raise InputError(f"the file's axes '{axes}' (sizes {_sizes_text(shape)}) do not end "
                         "with Y and X: name them with --order")
    rest = [i for i in range(len(shape) - 2) if shape[i] > 1]
    named = [i for i in rest if axes[i] == "T"]
    if len(rest) > 2:
        raise InputError(f"the file's axes '{axes}' (sizes {_sizes_text(shape)}) hold more "
                         "than time and frames besides Y and X: name them with --order")
    if not rest:
        raise InputError("the file holds a single image, not a stack of frames")
    letters = ["1"] * len(shape)
    letters[-2:] = ["Y", "X"]
    if len(rest) == 1:
        letters[rest[0]] = "F"
    else:
        time = named[0] if named else rest[0]
        letters[time] = "T"
        letters[next(i for i in rest if i != time)] = "F"
    order = "".join(c for c in letters if c != "1")
    used = [i for i, c in enumerate(letters) if c != "1"]
    try:
        return _placed(shape, used, [[c] for c in order], _known(angles, phases))
    except ValueError:
        frames = shape[letters.index("F")]
        raise InputError(f"{frames} frames a time point, not angles x phases = {angles} x "
                         f"{phases} (the file's axes '{axes}' have sizes {_sizes_text(shape)}; "
                         "see --order)") from None
