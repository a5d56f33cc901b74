"""`korvex reconstruct` on a small TIFF series made here."""

import subprocess
import sys

import numpy as np
import pytest
import tifffile


def korvex_cli(*args):
    return subprocess.run([sys.executable, "-m", "korvex", *map(str, args)],
                          capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def raw(stack, tmp_path_factory):
    """Two time points of 9 noisy frames, uint16, ImageJ TZYX with a 0.065 um pixel."""
    _, _, _, frames = stack
    rng = np.random.default_rng(5)
    series = np.stack([rng.poisson(frames / frames.max() * 1500) for _ in range(2)])
    path = tmp_path_factory.mktemp("cli") / "raw.tif"
    tifffile.imwrite(path, series.astype(np.uint16), imagej=True,
                     resolution=(1 / 0.065, 1 / 0.065), metadata={"axes": "TZYX", "unit": "um"})
    return path


def test_reconstructs_a_series_with_the_pixel_size_from_the_metadata(raw, tmp_path):
    out, preview = tmp_path / "out.tif", tmp_path / "preview.png"
    done = korvex_cli("reconstruct", raw, "-o", out, "--na", 1.2, "--wavelength", 0.52,
                      "--iterations", 5, "--preview", preview)
    assert done.returncode == 0, done.stderr
    assert "MCNR" in done.stdout and "2 time point(s)" in done.stdout
    with tifffile.TiffFile(out) as tif:
        images = tif.asarray()
        numerator, denominator = tif.pages[0].tags["XResolution"].value
        assert tif.imagej_metadata["unit"] in ("um", "micron", "\\u00B5m", "µm")
    assert images.shape == (2, 74, 100) and images.dtype == np.float32
    assert denominator / numerator == pytest.approx(0.0325, rel=1e-4)
    assert preview.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.tif", "preview.png"]


def test_ome_tiff_of_one_time_point(raw, tmp_path):
    ome, out = tmp_path / "raw.ome.tif", tmp_path / "out.tif"
    tifffile.imwrite(ome, tifffile.imread(raw)[0], ome=True,
                     metadata={"axes": "ZYX", "PhysicalSizeX": 65, "PhysicalSizeXUnit": "nm",
                               "PhysicalSizeY": 65, "PhysicalSizeYUnit": "nm"})
    done = korvex_cli("reconstruct", ome, "-o", out, "--na", 1.2, "--wavelength", 0.52,
                      "--iterations", 2, "--upsample", 1, "-q")
    assert done.returncode == 0, done.stderr
    with tifffile.TiffFile(out) as tif:
        assert tif.asarray().shape == (37, 50)  # one time point
        numerator, denominator = tif.pages[0].tags["XResolution"].value
    assert denominator / numerator == pytest.approx(0.065, rel=1e-4)


def test_bad_input_exits_2_with_one_line_and_no_output(raw, tmp_path):
    nan = tmp_path / "nan.tif"
    data = tifffile.imread(raw).astype(np.float32)
    data[1, 3, 4, 5] = np.nan
    tifffile.imwrite(nan, data)  # no pixel size in its metadata
    out = tmp_path / "out.tif"
    out.write_bytes(b"kept")  # a failed run must not touch an existing result
    optics = ["--na", 1.2, "--wavelength", 0.52]
    cases = {
        "no such file": [tmp_path / "missing.tif", *optics],
        "angles x phases": [raw, *optics, "--angles", 2],
        "unknown dimension order": [raw, *optics, "--order", "TFYZ"],
        "letters for": [raw, *optics, "--order", "FYX"],
        "NaN or Inf": [nan, *optics, "--pixel-size", 0.065],
        "no pixel size": [nan, *optics],
        "na": [raw, "--na", 1.6, "--wavelength", 0.52],
    }
    for message, args in cases.items():
        done = korvex_cli("reconstruct", args[0], "-o", out, *args[1:])
        assert done.returncode == 2, (message, done.stderr)
        lines = done.stderr.strip().splitlines()
        assert len(lines) == 1 and message in lines[0] and "Traceback" not in done.stderr
    assert out.read_bytes() == b"kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["nan.tif", "out.tif"]


def test_help_documents_units_and_defaults():
    top = korvex_cli("--help")
    verb = korvex_cli("reconstruct", "--help")
    assert top.returncode == 0 and "reconstruct" in top.stdout
    assert verb.returncode == 0
    for text in ("micrometres", "--pixel-size", "--order", "--preview", "default: 2"):
        assert text in verb.stdout
    assert korvex_cli("reconstruct").returncode == 2  # usage error
