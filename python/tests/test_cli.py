"""`korvex reconstruct` on a small TIFF series made here."""

import json
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


def ome(path):
    """(image array, OME Pixels attributes, MapAnnotation as a dict) of an OME-TIFF."""
    with tifffile.TiffFile(path) as tif:
        xml = tifffile.xml2dict(tif.ome_metadata)["OME"]
        pairs = xml["StructuredAnnotations"]["MapAnnotation"]["Value"]["M"]
        return tif.asarray(), xml["Image"]["Pixels"], {p["K"]: p["value"] for p in pairs}


def test_reconstructs_a_series_to_ome_tiff_with_pixel_size_settings_and_pattern(raw, tmp_path):
    out, preview = tmp_path / "out.ome.tif", tmp_path / "preview.png"
    done = korvex_cli("reconstruct", raw, "-o", out, "--na", 1.2, "--wavelength", 0.52,
                      "--iterations", 5, "--preview", preview)
    assert done.returncode == 0, done.stderr
    assert "MCNR" in done.stdout and "2 time point(s)" in done.stdout
    images, pixels, notes = ome(out)
    assert images.shape == (2, 74, 100) and images.dtype == np.float32
    assert pixels["PhysicalSizeX"] == pytest.approx(0.0325, rel=1e-6)
    assert pixels["PhysicalSizeXUnit"] == "µm"
    assert pixels["Channel"]["EmissionWavelength"] == pytest.approx(520)
    assert notes["na"] == 1.2 and notes["iterations"] == 5 and notes["estimate"] == "once"
    pattern = json.loads(notes["pattern"])
    assert len(pattern["period"]) == 3 and len(pattern["phase"]) == 9
    assert min(pattern["mcnr"]) > 3
    assert preview.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.ome.tif", "preview.png"]


def test_ome_tiff_of_one_time_point(raw, tmp_path):
    """The pixel size in picometres and the wavelength come from the OME metadata."""
    source, out = tmp_path / "raw.ome.tif", tmp_path / "out.tif"
    tifffile.imwrite(source, tifffile.imread(raw)[0], ome=True,
                     metadata={"axes": "ZYX", "PhysicalSizeX": 65000, "PhysicalSizeXUnit": "pm",
                               "PhysicalSizeY": 65000, "PhysicalSizeYUnit": "pm",
                               "Channel": {"EmissionWavelength": 0.52,
                                           "EmissionWavelengthUnit": "µm"}})
    done = korvex_cli("reconstruct", source, "-o", out, "--na", 1.2, "--iterations", 2,
                      "--upsample", 1, "-q")
    assert done.returncode == 0, done.stderr
    images, pixels, notes = ome(out)
    assert images.shape == (37, 50)  # one time point
    assert pixels["PhysicalSizeX"] == pytest.approx(0.065, rel=1e-6)
    assert float(notes["wavelength (um)"]) == pytest.approx(0.52)


def test_estimate_each_reports_every_time_point_and_strict_refuses(raw, tmp_path):
    """A blank middle time point: its MCNR and warnings are shown; --strict writes nothing."""
    series = tifffile.imread(raw)
    noise = np.random.default_rng(3).poisson(100, series[0].shape).astype(np.uint16)
    blank = tmp_path / "blank.tif"
    tifffile.imwrite(blank, np.stack([series[0], noise, series[1]]), imagej=True,
                     resolution=(1 / 0.065, 1 / 0.065), metadata={"axes": "TZYX", "unit": "um"})
    out = tmp_path / "out.tif"
    args = ["reconstruct", blank, "-o", out, "--na", 1.2, "--wavelength", 0.52,
            "--iterations", 2, "--estimate", "each", "-q"]
    done = korvex_cli(*args)
    assert done.returncode == 0, done.stderr
    lines = [line for line in done.stdout.splitlines() if ": MCNR" in line]
    assert [line.split(":")[0] for line in lines] == [f"time point {t}" for t in (1, 2, 3)]
    assert lines[1].endswith("low") and not lines[0].endswith("low")
    warned = [line for line in done.stderr.splitlines() if "warning" in line]
    assert len(warned) == 4 and all("time point 2: orientation" in w for w in warned[:3])
    assert "1 of 3 estimated pattern(s) have low modulation" in warned[3]
    _, _, notes = ome(out)
    assert json.loads(notes["pattern, time point 2"])["low_modulation"] == [True] * 3
    out.unlink()
    done = korvex_cli(*args, "--strict")
    assert done.returncode == 3 and "time point 2" in done.stderr and "Traceback" not in done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["blank.tif"]


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
        "no emission wavelength": [raw, "--na", 1.2],
        "is a directory": [tmp_path, *optics],
        "iterations must be at most 4294967295": [raw, *optics, "--iterations", 2**32],
        "sizes 2 x 9 x 37 x 50 with 3 angles and 4 phases": [raw, *optics, "--phases", 4,
                                                             "--order", "TAPYX"],
        "invalid float value: 'abc'": [raw, "--na", "abc", "--wavelength", 0.52],
        "--background must be a finite number": [raw, *optics, "--background", "nan"],
        "--defocus must be a non-negative finite number": [raw, *optics, "--out-of-focus", "on",
                                                           "--defocus", -1],
        "--out-of-focus-width applies to the out-of-focus model, which is off: give "
        "--out-of-focus on": [raw, *optics, "--out-of-focus", "off", "--out-of-focus-width", 0.5],
        "argument --out-of-focus: invalid choice": [raw, *optics, "--out-of-focus", "yes"],
        "--out-of-focus-cost must be a number from 0 to 1": [raw, *optics, "--out-of-focus-cost",
                                                             1.5],
        "--out-of-focus-cost applies to the out-of-focus model, which is off": [
            raw, *optics, "--out-of-focus", "off", "--out-of-focus-cost", 0.9],
    }
    for message, args in cases.items():
        done = korvex_cli("reconstruct", args[0], "-o", out, "-q", *args[1:])
        assert done.returncode == 2, (message, done.stderr)
        lines = done.stderr.strip().splitlines()
        assert len(lines) == 1 and message in lines[0] and "Traceback" not in done.stderr
    assert out.read_bytes() == b"kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["nan.tif", "out.tif"]


def test_out_of_focus_share_of_each_time_point_printed_and_recorded(raw, tmp_path):
    series = tifffile.imread(raw).astype(np.float32)
    y, x = np.mgrid[:37, :50]
    series += 2000 * np.exp(-((y - 15.0) ** 2 + (x - 30.0) ** 2) / (2 * 10.0 ** 2))  # a haze
    hazy, out = tmp_path / "hazy.tif", tmp_path / "out.ome.tif"
    tifffile.imwrite(hazy, series, imagej=True, resolution=(1 / 0.065, 1 / 0.065),
                     metadata={"axes": "TZYX", "unit": "um"})
    base = ["reconstruct", hazy, "-o", out, "--na", 1.2, "--wavelength", 0.52, "--iterations", 40,
            "-q"]
    done = korvex_cli(*base, "--out-of-focus", "on", "--out-of-focus-width", 0.6,
                      "--out-of-focus-cost", 0.95)
    assert done.returncode == 0, done.stderr
    printed = [line.split(": out-of-focus share ") for line in done.stdout.splitlines()
               if ": out-of-focus share " in line]
    assert [name for name, _ in printed] == ["time point 1", "time point 2"]
    assert "out-of-focus share: mean" in done.stdout
    _, _, notes = ome(out)
    assert notes["out of focus"] == "on" and float(notes["defocus (um)"]) == 0
    assert float(notes["out-of-focus width (1/um)"]) == 0.6
    assert float(notes["out-of-focus cost"]) == 0.95
    recorded = json.loads(notes["out-of-focus share"])
    assert [f"{share:.3f}" for share in recorded] == [value for _, value in printed]
    assert all(0 < share < 1 for share in recorded)

    done = korvex_cli(*base, "--out-of-focus", "off")
    assert done.returncode == 0, done.stderr
    assert "out-of-focus share" not in done.stdout
    _, _, notes = ome(out)
    assert notes["out of focus"] == "off" and "out-of-focus share" not in notes


def test_help_documents_units_and_defaults():
    top = korvex_cli("--help")
    verb = korvex_cli("reconstruct", "--help")
    assert top.returncode == 0 and "reconstruct" in top.stdout
    assert verb.returncode == 0
    for text in ("micrometres", "--pixel-size", "--order", "--preview", "default: 2"):
        assert text in verb.stdout
    assert korvex_cli("reconstruct").returncode == 2  # usage error
