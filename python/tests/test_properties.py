"""Property-based calls of every API function: whatever the arguments, a call returns or raises
one of the package's documented errors, and a call on finite inputs never returns NaN.

KORVEX_HYPOTHESIS_EXAMPLES sets the examples per function (scripts/fuzz.sh runs 2,000)."""

import os
import warnings

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import korvex  # noqa: E402

EXAMPLES = int(os.environ.get("KORVEX_HYPOTHESIS_EXAMPLES", "25"))
RUN = settings(max_examples=EXAMPLES, deadline=None, derandomize=True,
               suppress_health_check=list(HealthCheck))
pytestmark = pytest.mark.filterwarnings("ignore:Casting complex values")
REFUSALS = (ValueError, TypeError, MemoryError, korvex.KorvexError)

sides = st.integers(min_value=1, max_value=40)
counts = st.one_of(st.integers(min_value=-2, max_value=12), st.sampled_from([3, 9]))
numbers = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                    st.floats(min_value=1e-3, max_value=10), st.integers(-5, 5),
                    st.sampled_from([0.0, 1.0, 0.52, 1.2, 1e300, -1e-300]))
dtypes = st.sampled_from([np.float32, np.float64, np.uint16, np.int32, np.complex64, np.bool_])
levels = st.sampled_from(["random", "constant", "zero", "negative", "huge", "tiny", "nan"])


@st.composite
def arrays(draw, shape):
    """An array of `shape` drawn from a few families of values, in one of several types."""
    dtype = draw(dtypes)
    level = draw(levels)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = rng.random(shape) + 0.5
    if level == "constant":
        values[...] = 7.0
    elif level == "zero":
        values[...] = 0.0
    elif level == "negative":
        values -= 1.0
    elif level == "huge":
        values *= 10.0 ** draw(st.integers(20, 300))
    elif level == "tiny":
        values *= 10.0 ** -draw(st.integers(20, 300))
    elif level == "nan" and values.size:
        values.flat[rng.integers(values.size)] = np.nan
    with np.errstate(all="ignore"):
        return values.astype(dtype)


@st.composite
def stacks(draw):
    frames = draw(st.sampled_from([9, 9, 9, 1, 6, 10]))
    return (frames, draw(sides), draw(sides))


def finite(*arrays_in):
    return all(np.isfinite(np.asarray(a, dtype=np.complex128)).all() for a in arrays_in
               if np.asarray(a).dtype.kind in "fciub")


def call(function, *args, **kwargs):
    """The result, or None for a refusal of the package's own kinds."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return function(*args, **kwargs)
        except REFUSALS as error:
            assert str(error), f"{type(error).__name__} without a message"
            return None


@RUN
@given(data=st.data())
def test_reconstruct(data):
    f, h, w = data.draw(stacks())
    frames = data.draw(arrays((f, h, w)))
    masks = data.draw(arrays(data.draw(st.sampled_from([(f, h, w), (f, h, w), (f + 1, h, w)]))))
    otf = data.draw(arrays(data.draw(st.sampled_from([(h, w), (h, w), (w, h)]))))
    result = call(korvex.reconstruct, frames, masks, otf,
                  iterations=data.draw(st.integers(0, 3)),
                  smoothness=data.draw(st.sampled_from([0.0, 0.01, 1e30])))
    if result is not None and finite(frames, masks, otf):
        assert np.isfinite(result.image).all()


@RUN
@given(data=st.data())
def test_estimate_patterns(data):
    f, h, w = data.draw(stacks())
    frames = data.draw(arrays((f, h, w)))
    otf = call(korvex.otf, (h, w), 1.2, 0.52, data.draw(st.sampled_from([0.1, 0.05, 0.2])))
    if otf is None:
        otf = data.draw(arrays((h, w)))
    out = call(korvex.estimate_patterns, frames, otf.astype(frames.dtype, copy=False)
               if frames.dtype.kind == "f" else otf, data.draw(counts), data.draw(counts),
               period=data.draw(st.one_of(st.none(), numbers)),
               angle_guess=data.draw(st.one_of(st.none(), numbers)))
    if out is not None and finite(frames):
        pattern = out
        assert np.isfinite(pattern.masks(frames.shape[1:])).all()
        assert np.isfinite(pattern.period).all() and np.isfinite(pattern.mcnr).all()


@RUN
@given(data=st.data())
def test_reconstruct_acquisition(data):
    f, h, w = data.draw(stacks())
    frames = data.draw(arrays((f, h, w)))
    result = call(korvex.reconstruct_acquisition, frames, na=data.draw(numbers),
                  wavelength=data.draw(st.one_of(numbers, st.just(0.52), st.just(520))),
                  pixel_size=data.draw(st.one_of(numbers, st.just(0.1))),
                  angles=data.draw(counts), phases=data.draw(counts),
                  upsample=data.draw(st.sampled_from([1, 2, 2, 3, 0])),
                  iterations=data.draw(st.integers(0, 3)))
    if result is not None and finite(frames):
        assert np.isfinite(result.image).all()


@RUN
@given(data=st.data())
def test_masks_otf_and_simulate(data):
    shape = (data.draw(sides), data.draw(sides))
    masks = call(korvex.masks, shape, period=data.draw(numbers), modulation=data.draw(numbers))
    otf = call(korvex.otf, shape, data.draw(numbers), data.draw(numbers), data.draw(numbers))
    for made in (masks, otf):
        if made is not None:
            assert np.isfinite(made).all()
    if masks is not None and otf is not None:
        truth = data.draw(arrays(shape))
        frames = call(korvex.simulate, truth, masks, otf,
                      photons=data.draw(st.one_of(st.none(), numbers)), seed=1)
        if frames is not None and finite(truth):
            assert np.isfinite(frames).all()


@RUN
@given(data=st.data())
def test_reconstruct_series(data):
    f, h, w = data.draw(stacks())
    frames = data.draw(arrays((data.draw(st.integers(1, 2)), f, h, w)))
    if data.draw(st.booleans()):
        extra = dict(masks=data.draw(arrays((f, h, w))), otf=data.draw(arrays((h, w))))
    else:
        extra = dict(na=data.draw(numbers), wavelength=0.52, pixel_size=0.1,
                     estimate=data.draw(st.sampled_from(["once", "each", "all"])))
    series = call(korvex.reconstruct_series, frames, iterations=data.draw(st.integers(1, 2)),
                  quiet=True, **extra)
    if series is not None and finite(frames, *(v for v in extra.values()
                                               if isinstance(v, np.ndarray))):
        assert np.isfinite(series.image).all()
