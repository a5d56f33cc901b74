"""The napari plugin with a real viewer (headless under xvfb-run): sample, reader, widget,
writer, cancel and the time slider."""

import os
import time
from pathlib import Path

import numpy as np
import pytest
import tifffile

napari = pytest.importorskip("napari")
pytest.importorskip("pytestqt")

from korvex._napari import _io, _sample  # noqa: E402
from korvex._napari._widget import ALL, FOLLOW, KorvexWidget  # noqa: E402

REPO = Path(__file__).resolve().parents[2]


def wait_until_idle(qtbot, widget, seconds=900):
    qtbot.waitUntil(lambda: not widget.running, timeout=seconds * 1000)


def test_sample_estimate_reconstruct_256_to_512(make_napari_viewer, qtbot, tmp_path):
    viewer = make_napari_viewer(show=True)
    raw, = viewer.open_sample("korvex", "simulated")
    assert raw.data.shape == (9, 256, 256)
    _, widget = viewer.window.add_plugin_dock_widget("korvex", "SIM reconstruction")
    assert widget.layer.value is raw
    # The optics and the camera offset come from the layer's metadata.
    assert widget.pixel_size.value == pytest.approx(0.1)
    assert widget.background.value == 100
    widget.iterations.value = 10

    widget.estimate()
    wait_until_idle(qtbot, widget)
    pattern = widget._pattern[1]
    np.testing.assert_allclose(pattern.period, _sample.PERIOD, rtol=0.01)
    assert widget.table.shape == (3, 5) and (pattern.mcnr > 3).all()
    assert widget.status.value == "pattern estimated"

    widget.reconstruct()
    wait_until_idle(qtbot, widget)
    result = viewer.layers["simulated SIM reconstructed"]
    assert result.data.shape == (1, 512, 512) and result.data.max() > 0
    np.testing.assert_allclose(result.scale[-2:], [0.05, 0.05])
    assert result.metadata["korvex"]["pattern"]["period"] == pattern.period.tolist()

    # The picture in docs/napari.md; KORVEX_DOCS_SCREENSHOT=1 writes it there.
    viewer.window.resize(1300, 760)
    viewer.reset_view()
    target = (REPO / "docs/napari.png" if os.environ.get("KORVEX_DOCS_SCREENSHOT")
              else tmp_path / "napari.png")
    viewer.screenshot(path=str(target), canvas_only=False, flash=False)
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def raw_series(tmp_path):
    """Two time points of 9 frames, 64 x 64, ImageJ TZYX with a 0.1 um pixel."""
    data, _, _ = _sample.simulated_series(size=64, steps=2)[0]
    path = tmp_path / "raw.tif"
    tifffile.imwrite(path, data, imagej=True, resolution=(10, 10),
                     metadata={"axes": "TZYX", "unit": "um"})
    return path


def test_reader_widget_and_writer_round_trip(make_napari_viewer, qtbot, raw_series, tmp_path):
    assert _io.get_reader(str(raw_series)) is not None
    assert _io.get_reader(str(tmp_path / "missing.tif")) is None
    plain = tmp_path / "plain.tif"
    tifffile.imwrite(plain, np.zeros((8, 8), np.uint16))
    assert _io.get_reader(str(plain)) is None  # a single image is not a SIM stack

    viewer = make_napari_viewer()
    raw, = viewer.open(raw_series, plugin="korvex")
    assert raw.data.shape == (2, 9, 64, 64)
    np.testing.assert_allclose(raw.scale, [1, 1, 0.1, 0.1])
    widget = KorvexWidget(viewer)
    assert widget.pixel_size.value == pytest.approx(0.1)
    widget.background.value = 100
    widget.iterations.value = 3
    widget.time_points.value = ALL
    widget.reconstruct()
    wait_until_idle(qtbot, widget)
    result = viewer.layers["raw reconstructed"]
    assert result.data.shape == (2, 1, 128, 128)
    assert all(result.data[t].max() > 0 for t in range(2))
    np.testing.assert_allclose(result.scale[-2:], [0.05, 0.05])
    # The result plane spans the 9 frames: the time slider alone moves it.
    assert result.world_to_data((1, 8, 0, 0))[:2] == pytest.approx((1, 0), abs=0.5)

    out = tmp_path / "out.ome.tif"
    napari.save_layers(str(out), [result], plugin="korvex")
    with tifffile.TiffFile(out) as tif:
        assert tif.series[0].axes == "TYX" and tif.series[0].shape == (2, 128, 128)
        ome = tifffile.xml2dict(tif.ome_metadata)["OME"]
    pixels = ome["Image"]["Pixels"]
    assert pixels["PhysicalSizeX"] == pytest.approx(0.05)
    assert pixels["PhysicalSizeXUnit"] == "µm"
    annotation = str(ome["StructuredAnnotations"])
    assert "settings" in annotation and "pattern" in annotation
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.ome.tif", "plain.tif", "raw.tif"]


def test_cancel_keeps_the_viewer_responsive_and_the_slider_drives_reconstruction(
        make_napari_viewer, qtbot):
    from qtpy.QtCore import QTimer

    viewer = make_napari_viewer()
    raw, = viewer.open_sample("korvex", "simulated_series", size=64)
    widget = KorvexWidget(viewer)
    widget.iterations.value = 400  # long enough to cancel in the middle
    widget.time_points.value = ALL
    ticks = []
    timer = QTimer()
    timer.timeout.connect(lambda: ticks.append(time.perf_counter()))
    timer.start(20)
    worker = widget.reconstruct()
    with qtbot.waitSignal(worker.yielded, timeout=600_000):
        pass
    assert widget.estimate() is None and not widget.estimate_button.enabled  # busy
    widget.cancel()
    wait_until_idle(qtbot, widget)
    timer.stop()
    assert 1 <= len(widget._done) < 4 and widget.status.value == "cancelled"
    # The event loop kept running while the worker reconstructed.
    assert len(ticks) > 5 and np.max(np.diff(ticks)) < 2.0

    widget.iterations.value = 3
    widget.time_points.value = FOLLOW
    viewer.dims.set_current_step(0, 3)
    wait_until_idle(qtbot, widget)
    assert 3 in widget._done


def test_out_of_focus_option_share_and_haze_layer(make_napari_viewer, qtbot):
    viewer = make_napari_viewer()
    raw, = viewer.open_sample("korvex", "simulated_series", size=64)
    y, x = np.mgrid[:64, :64]
    glow = 400 * np.exp(-((y - 24.0) ** 2 + (x - 40.0) ** 2) / (2 * 12.0 ** 2))
    raw.data = (raw.data + glow).astype(np.float32)  # a haze over every frame
    widget = KorvexWidget(viewer)
    widget.iterations.value = 40
    widget.time_points.value = ALL
    # The model is on by default; its settings follow the switch.
    assert widget.out_of_focus.value and widget.defocus.enabled and widget.haze_layer.enabled
    widget.out_of_focus.value = False
    assert not widget.defocus.enabled and not widget.haze_layer.enabled
    assert not widget.out_of_focus_cost.enabled
    widget.out_of_focus_cost.value = 0.5  # ignored with the model off, not refused
    assert widget._kept_pipeline(raw).settings.out_of_focus_cost == 1
    widget.out_of_focus.value = True
    assert widget.defocus.enabled and widget.haze_layer.enabled
    assert widget._kept_pipeline(raw).settings.defocus == 0  # 0: the low-pass
    widget.defocus.value = 1.5
    widget.out_of_focus_cost.value = 0.95
    widget.haze_layer.value = True
    pipeline = widget._kept_pipeline(raw)  # the changed settings build a new one
    assert pipeline.settings.out_of_focus and pipeline.settings.defocus == 1.5
    assert pipeline.settings.out_of_focus_cost == 0.95

    widget.reconstruct()
    wait_until_idle(qtbot, widget)
    result = viewer.layers[f"{raw.name} reconstructed"]
    record = result.metadata["korvex"]
    assert record["settings"]["out_of_focus"] and record["settings"]["defocus"] == 1.5
    shares = record["out_of_focus_share"]
    assert sorted(shares) == [0, 1, 2, 3] and all(0 < s < 1 for s in shares.values())
    assert widget.share.value.startswith(f"{shares[3]:.3f}")
    haze = viewer.layers[f"{raw.name} out-of-focus"]
    assert haze.data.shape == result.data.shape and haze.data[3].max() > 0
    np.testing.assert_allclose(haze.scale, result.scale)
    # The haze layer is no raw stack to reconstruct.
    assert widget.layer.choices == (raw,)
