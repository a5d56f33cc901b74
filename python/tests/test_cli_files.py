"""The command line's files: targets it must never replace, malformed TIFFs, stack orders and
instrument formats, and a series streamed one time point at a time."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import tifffile
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import korvex
from korvex import cli
from korvex._order import from_order

OPTICS = ["--na", 1.2, "--wavelength", 0.52, "--pixel-size", 0.065, "--iterations", 1, "-q"]


def run(capsys, *args):
    """main() in this process: (exit status, stderr lines)."""
    status = cli.main(["reconstruct", *map(str, args)])
    return status, capsys.readouterr().err.strip().splitlines()


def frames(shape=(48, 64), angles=(0.3, 1.4, 2.5), phases=3, period=5.0, seed=0):
    """(A x P, H, W) noisy raw frames of random beads, uint16."""
    rng = np.random.default_rng(seed)
    truth = (rng.random(shape) > 0.97).astype(float)
    y, x = np.mgrid[:shape[0], :shape[1]]
    masks = np.stack([1 + np.cos(2 * np.pi * (np.cos(a) * x + np.sin(a) * y) / period +
                                 2 * np.pi * p / phases)
                      for a in angles for p in range(phases)])
    clean = korvex.simulate(truth, masks, korvex.otf(shape, 1.2, 0.52, 0.065))
    return rng.poisson(clean / clean.max() * 2000 + 20).astype(np.uint16)


@pytest.fixture
def raw(tmp_path):
    path = tmp_path / "raw.tif"
    tifffile.imwrite(path, frames())
    return path


def left(tmp_path):
    return sorted(p.name for p in tmp_path.iterdir())


def test_targets_that_must_not_be_replaced(raw, tmp_path, capsys):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "folder").mkdir()
    for name, target in (("to_folder", "folder"), ("to_input", "raw.tif"),
                         ("to_device", "/dev/null"), ("to_fifo", "fifo")):
        os.symlink(target, tmp_path / name)
    before = left(tmp_path)
    cases = {
        "is the input": ["-o", raw],
        "name the same file": ["-o", tmp_path / "same.tif", "--preview", tmp_path / "same.tif"],
        "is a directory": ["-o", tmp_path / "folder"],
        "is a character device": ["-o", "/dev/null"],
        "is a FIFO": ["--preview", tmp_path / "fifo", "-o", tmp_path / "out.tif"],
    }
    for link in ("to_folder", "to_input", "to_device", "to_fifo"):
        cases[f"{link}: "] = ["-o", tmp_path / link]
    for message, options in cases.items():
        status, lines = run(capsys, raw, *options, *OPTICS)
        assert status == 2 and len(lines) == 1, (message, lines)
        assert message.split(":")[0] in lines[0] or "symbolic link" in lines[0], lines
    assert left(tmp_path) == before
    assert tifffile.imread(raw).shape == (9, 48, 64)
    assert os.path.islink(tmp_path / "to_input") and not os.path.isfile("/dev/null")


def test_a_link_to_a_file_is_written_through_and_failures_leave_nothing(raw, tmp_path, capsys):
    target = tmp_path / "result.tif"
    target.write_bytes(b"old")
    os.symlink("result.tif", tmp_path / "link.tif")
    status, lines = run(capsys, raw, "-o", tmp_path / "link.tif", *OPTICS)
    assert status == 0, lines
    assert os.path.islink(tmp_path / "link.tif") and tifffile.imread(target).shape == (96, 128)
    # A failure after the output was opened: the temporary file beside it goes too.
    status, lines = run(capsys, raw, "-o", tmp_path / "new.tif", *OPTICS, "--angles", 9,
                        "--phases", 1)
    assert status == 2
    assert left(tmp_path) == ["link.tif", "raw.tif", "result.tif"]


def test_sigterm_mid_series_leaves_no_partial_file(tmp_path):
    series = tmp_path / "series.tif"
    tifffile.imwrite(series, np.stack([frames()] * 400), imagej=True, metadata={"axes": "TZYX"})
    run = subprocess.Popen([sys.executable, "-m", "korvex", "reconstruct", series, "-o",
                            tmp_path / "out.tif", *map(str, OPTICS)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 300
    while not any(p.name.endswith(".partial") for p in tmp_path.iterdir()):
        assert run.poll() is None and time.monotonic() < deadline, run.stderr.read()
        time.sleep(0.05)
    run.send_signal(signal.SIGTERM)
    assert run.wait(timeout=60) == 128 + signal.SIGTERM
    assert left(tmp_path) == ["series.tif"]


def test_big_endian_float64_runs_in_double_precision():
    frames64 = np.ones((9, 16, 16), ">f8")
    assert korvex._arrays.as_real("frames", frames64, 3, "(F, H, W)").dtype == np.float64


def malformed_tiffs(folder, raw):
    """A corpus: the header claims what the file does not hold, truncations, flipped bytes."""
    good = raw.read_bytes()
    corpus = {"empty": b"", "header only": good[:8], "no pages": b"II*\x00\x00\x00\x00\x00"}
    for cut in (9, 16, 100, 200, len(good) // 2, len(good) - 10):
        corpus[f"cut at {cut}"] = good[:cut]
    rng = np.random.default_rng(0)
    for n in range(24):
        data = bytearray(good)
        for where in rng.integers(0, 400, 1 + n % 4):
            data[where] = int(rng.integers(0, 256))
        corpus[f"flipped {n}"] = bytes(data)
    paths = []
    for name, data in corpus.items():
        paths.append(folder / f"{name}.tif")
        paths[-1].write_bytes(data)
    for tag, value in (("ImageWidth", 100_000), ("ImageLength", 100_000),
                       ("BitsPerSample", 64), ("PhotometricInterpretation", 2),
                       ("Compression", 50000), ("StripByteCounts", 3)):
        paths.append(folder / f"{tag}.tif")
        tifffile.imwrite(paths[-1], np.zeros((9, 8, 8), np.uint16))
        with tifffile.TiffFile(paths[-1], mode="r+b") as tif:
            tif.pages[0].tags[tag].overwrite(value)
    return paths


def test_malformed_tiffs_give_one_line_and_exit_2(raw, tmp_path, capsys):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for path in malformed_tiffs(corpus, raw):
        out = tmp_path / "out.tif"
        status, lines = run(capsys, path, "-o", out, *OPTICS)
        assert status in (0, 2), (path.name, lines)  # a flip may leave a readable file
        if status == 2:
            assert len(lines) == 1 and lines[0].startswith("korvex: error:"), (path.name, lines)
        if out.exists():
            out.unlink()
        assert left(tmp_path) == ["corpus", "raw.tif"]
    status, lines = run(capsys, corpus / "ImageWidth.tif", "-o", tmp_path / "o.tif", *OPTICS)
    assert "header claims" in lines[0] and "GiB" in lines[0]


def test_orders_split_one_stored_axis(tmp_path):
    # OMX: 135 sections, angle-major, then planes, phase fastest.
    layout = from_order((135, 8, 8), "AZPYX", 3, 5)
    assert (layout.times, layout.planes, layout.frames) == (1, 9, 15)
    assert layout.frame_indices(0, 2) == [(a * 45 + 2 * 5 + p,) for a in range(3)
                                          for p in range(5)]
    # Phase-major frames on two axes, time last.
    layout = from_order((3, 3, 4, 8, 8), "PATYX", 3, 3)
    assert layout.frame_indices(2, 0)[:4] == [(0, 0, 2), (1, 0, 2), (2, 0, 2), (0, 1, 2)]
    # bioio's TCZYX with unnamed axes of size 1.
    assert from_order((1, 1, 135, 8, 8), "AZPYX", 3, 5).planes == 9
    with pytest.raises(ValueError, match="sizes 135 x 8 x 8 with 3 angles and 4 phases: 135 is "
                       "not a multiple of 12"):
        from_order((135, 8, 8), "AZPYX", 3, 4)
    # The same through the Python API, on a file: plane 2's frames, orientation-major.
    stack = np.arange(3 * 4 * 5 * 8 * 6, dtype=np.uint16).reshape(3, 4, 5, 8, 6)
    tifffile.imwrite(tmp_path / "omx.tif", stack.reshape(60, 8, 6))
    with korvex.RawFile(tmp_path / "omx.tif", order="azpyx", angles=3, phases=5) as raw:
        assert (raw.times, raw.planes, raw.frames, raw.shape) == (1, 4, 15, (8, 6))
        np.testing.assert_array_equal(raw.read(0, 2), stack[:, 2].reshape(15, 8, 6))
        assert raw.read_all().shape == (1, 4, 15, 8, 6)


def test_imagej_file_with_a_single_ifd_reads_one_time_point(tmp_path):
    """ImageJ's layout for files past 4 GiB: one IFD, the frames in one block after it."""
    stack = np.arange(3 * 9 * 8 * 6, dtype=np.uint16).reshape(3, 9, 8, 6)
    tifffile.imwrite(tmp_path / "big.tif", stack, imagej=True, truncate=True,
                     metadata={"axes": "TZYX"})
    with korvex.RawFile(tmp_path / "big.tif") as raw:
        assert (raw.times, raw.frames) == (3, 9)
        np.testing.assert_array_equal(raw.read(2), stack[2])


def test_omx_dv_reconstructed_plane_by_plane_with_its_header(tmp_path):
    mrc = pytest.importorskip("mrc")
    pytest.importorskip("bioio_dv")
    planes = [frames(angles=(0.3, 1.4, 2.5), phases=5, seed=z) for z in range(4)]
    # Stored as OMX does: angle-major, then planes, phase fastest.
    sections = np.stack(planes).reshape(4, 3, 5, 48, 64).transpose(1, 0, 2, 3, 4)
    path = tmp_path / "omx.dv"
    mrc.imsave(str(path), sections.reshape(60, 48, 64),
               metadata={"dx": 0.065, "dy": 0.065, "dz": 0.125, "wave0": 520})
    out = tmp_path / "out.tif"
    args = [path, "-o", out, "--na", 1.2, "--order", "AZPYX", "--angles", 3, "--phases", 5,
            "--iterations", 2, "--estimate", "each", "-q"]
    done = subprocess.run([sys.executable, "-m", "korvex", "reconstruct", *map(str, args)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "4 planes" in done.stdout and "time point 1, plane 4: MCNR" in done.stdout
    with tifffile.TiffFile(out) as tif:
        assert tif.series[0].axes == "ZYX" and tif.series[0].shape == (4, 96, 128)
        pixels = tifffile.xml2dict(tif.ome_metadata)["OME"]["Image"]["Pixels"]
    assert pixels["PhysicalSizeX"] == pytest.approx(0.0325, rel=1e-6)
    assert pixels["Channel"]["EmissionWavelength"] == pytest.approx(520)


PEAK = """
import resource, sys
from korvex import cli
assert cli.main(sys.argv[1:]) == 0
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_a_series_streams_one_time_point_at_a_time(tmp_path):
    """Peak memory does not grow with the series' length: inputs and outputs of 288 KiB and
    256 KiB a time point, so 22 more time points would add 12 MiB if either were kept."""
    one = frames(shape=(128, 128))
    peaks = []
    for count in (2, 24):
        path = tmp_path / f"series{count}.tif"
        tifffile.imwrite(path, np.stack([one] * count), imagej=True,
                         metadata={"axes": "TZYX"})
        done = subprocess.run(
            [sys.executable, "-c", PEAK, "reconstruct", path, "-o", tmp_path / f"{count}.tif",
             *map(str, OPTICS)], capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        peaks.append(int(done.stdout.split()[-1]) / 1024)  # MiB
    assert peaks[1] < peaks[0] + 5, peaks


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_any_order_reads_the_frames_it_names(data):
    """Frames labelled by (time, plane, angle, phase), stored in a random order with one run
    of consecutive axes merged: every image's frames come back orientation-major."""
    sizes = {"T": data.draw(st.integers(1, 3)), "Z": data.draw(st.integers(1, 3)),
             "A": data.draw(st.integers(1, 3)), "P": data.draw(st.integers(3, 4))}
    letters = data.draw(st.permutations([c for c in "TZAP" if c in "AP" or
                                         data.draw(st.booleans())]))
    logical = np.zeros([sizes[c] for c in letters] + [2, 3], int)
    for index in np.ndindex(*logical.shape[:-2]):
        at = dict(zip(letters, index))
        at = {c: at.get(c, 0) for c in "TZAP"}
        logical[index] = ((at["T"] * sizes["Z"] + at["Z"]) * sizes["A"] + at["A"]) * \
            sizes["P"] + at["P"]
    first = data.draw(st.integers(0, len(letters) - 1))
    last = data.draw(st.integers(first, len(letters) - 1))
    assume(not {"T", "Z"} <= set(letters[first:last + 1]))  # sizes no order can tell apart
    shape = logical.shape
    stored = logical.reshape(shape[:first] + (int(np.prod(shape[first:last + 1])),) +
                             shape[last + 1:])
    try:
        layout = from_order(stored.shape, "".join(letters) + "YX", sizes["A"], sizes["P"])
    except ValueError:  # a split that fits several ways
        assume(False)
    times = sizes["T"] if "T" in letters else 1
    planes = sizes["Z"] if "Z" in letters else 1
    assert (layout.times, layout.planes) == (times, planes)
    for t, z in layout.units:
        got = [stored[i][0, 0] for i in layout.frame_indices(t, z)]
        zz = z if "Z" in letters else 0
        base = (t * sizes["Z"] + zz) * sizes["A"] * sizes["P"] if "T" in letters else \
            zz * sizes["A"] * sizes["P"]
        assert got == [base + f for f in range(sizes["A"] * sizes["P"])]
