"""The dock widget: optics and pattern settings, "Estimate" (the pattern table with MCNR and
warnings) and "Reconstruct" (with progress and cancel), each in a worker thread. With
"out-of-focus light" on, the haze of a thick specimen is modelled apart from the image: its
share of the light is shown, and the haze can go to a layer of its own beside the result.

The raw layer is (F, H, W) for one acquisition or (T, F, H, W) for a series; an (N, H, W)
layer of several acquisitions is split into N / (angles x phases) time points. The result
layer has the raw layer's axes with the frames collapsed to one plane that spans them, so that
the time slider moves both, and a scale of the output pixel size. A korvex.Pipeline is kept
between calls while the layer's geometry and the settings stay.
"""

from __future__ import annotations

import warnings

import numpy as np
from magicgui.widgets import (CheckBox, ComboBox, Container, FloatSpinBox, Label, ProgressBar,
                              PushButton, SpinBox, Table)

from ..acquisition import DEFAULTS, IMMERSION, Pipeline
from ..patterns import Pattern

CURRENT, ALL, FOLLOW = "current", "all", "follow the slider"


class KorvexWidget(Container):
    def __init__(self, napari_viewer):
        super().__init__(labels=False)
        self._viewer = viewer = napari_viewer
        self.layer = ComboBox(label="raw frames", choices=self._raw_layers)
        self.na = FloatSpinBox(label="NA", value=1.2, min=0.1, max=1.7, step=0.01)
        self.wavelength = FloatSpinBox(label="emission (µm)", value=0.52, min=0.2, max=2.0,
                                       step=0.001)
        self.pixel_size = FloatSpinBox(label="camera pixel (µm)", value=0.1, min=0.001,
                                       max=10.0, step=0.0001)
        self.immersion = FloatSpinBox(label="immersion index", value=IMMERSION, min=1.0,
                                      max=2.0, step=0.001)
        self.angles = SpinBox(label="angles", value=3, min=1, max=16)
        self.phases = SpinBox(label="phases", value=3, min=3, max=16)
        self.orders = ComboBox(label="orders", choices=["auto", "1", "2"], value="auto")
        self.background = FloatSpinBox(label="background (counts)", value=0.0, min=0.0,
                                       max=1e6, step=1.0)
        self.iterations = SpinBox(label="iterations", value=DEFAULTS["iterations"], min=1,
                                  max=100000)
        self.time_points = ComboBox(label="time points", choices=[CURRENT, ALL, FOLLOW],
                                    value=CURRENT)
        self.out_of_focus = CheckBox(label="thick specimen", text="out-of-focus light",
                                     value=DEFAULTS["out_of_focus"])
        self.defocus = FloatSpinBox(label="defocus (µm, 0: low-pass)", value=0.0, min=0.0,
                                    max=50.0, step=0.1, enabled=self.out_of_focus.value)
        # Below 1 the haze is cheaper: more of it leaves a sparse specimen, but a dense cell
        # body's smooth light goes with it.
        self.out_of_focus_cost = FloatSpinBox(label="haze cost (1: any specimen)", value=1.0,
                                              min=0.0, max=1.0, step=0.01,
                                              enabled=self.out_of_focus.value)
        self.haze_layer = CheckBox(label="haze layer", text="add the haze as a layer",
                                   value=False, enabled=self.out_of_focus.value)
        self.share = Label(label="out-of-focus share", value="")
        self.estimate_button = PushButton(text="Estimate")
        self.reconstruct_button = PushButton(text="Reconstruct")
        self.cancel_button = PushButton(text="Cancel", enabled=False)
        self.progress = ProgressBar(label="progress", min=0, max=1, value=0)
        self.table = Table(value=_pattern_table(None))
        from qtpy.QtWidgets import QStyledItemDelegate

        # Qt's plain delegate: the cells show the table's own rounding, not 4 decimals.
        self.table.native.setItemDelegate(QStyledItemDelegate(self.table.native))
        self.status = Label(value="")
        settings = Container(labels=True, widgets=[
            self.layer, self.na, self.wavelength, self.pixel_size, self.immersion, self.angles,
            self.phases, self.orders, self.background, self.iterations, self.time_points,
            self.out_of_focus, self.defocus, self.out_of_focus_cost, self.haze_layer, self.share])
        actions = Container(labels=False, widgets=[
            self.estimate_button, self.reconstruct_button, self.cancel_button, self.progress,
            self.table, self.status])
        self.extend([settings, actions])

        self._pipeline = None  # (key, Pipeline)
        self._pattern = None  # (key, Pattern): the estimate the reconstructions use
        self._worker = None
        self._done = set()  # time points of the result layer already reconstructed
        self.estimate_button.changed.connect(self.estimate)
        self.reconstruct_button.changed.connect(lambda: self.reconstruct())
        self.cancel_button.changed.connect(self.cancel)
        self.layer.changed.connect(self._layer_chosen)
        for setting in (self.na, self.wavelength, self.pixel_size, self.immersion, self.angles,
                        self.phases, self.orders, self.background, self.iterations,
                        self.out_of_focus, self.defocus, self.out_of_focus_cost):
            setting.changed.connect(self._settings_changed)
        self.out_of_focus.changed.connect(self._out_of_focus_switched)
        viewer.layers.events.inserted.connect(self.layer.reset_choices)
        viewer.layers.events.removed.connect(self.layer.reset_choices)
        viewer.dims.events.current_step.connect(self._slider_moved)
        self.native.destroyed.connect(self._close_pipeline)
        self._layer_chosen(self.layer.value)

    # Layers and their time points.

    def _raw_layers(self, _=None):
        from napari.layers import Image

        return [layer for layer in self._viewer.layers if isinstance(layer, Image)
                and layer.ndim in (3, 4) and not layer.rgb
                and layer.metadata.get("korvex", {}).get("kind") != "result"]

    def _layer_chosen(self, layer) -> None:
        """Takes the optics the layer's metadata holds, the pixel size from its scale."""
        if layer is None:
            return
        record = layer.metadata.get("korvex", {})
        pixel = record.get("pixel_size") or (layer.scale[-1] if layer.scale[-1] != 1 else None)
        if pixel:
            self.pixel_size.value = float(pixel)
        for name in ("na", "wavelength", "background"):
            if name in record:
                getattr(self, name).value = float(record[name])
        self._settings_changed()

    def _settings_changed(self, _=None) -> None:
        self._pattern = None
        self._done.clear()

    def _out_of_focus_switched(self, on) -> None:
        for setting in (self.defocus, self.out_of_focus_cost, self.haze_layer):
            setting.enabled = bool(on)
        self.share.value = ""

    def _frame_count(self) -> int:
        return self.angles.value * self.phases.value

    def _series(self, layer):
        """The layer as (T, F, H, W), without copying."""
        data, count = layer.data, self._frame_count()
        if data.ndim == 4:
            if data.shape[1] != count:
                raise ValueError(f"{layer.name} holds {data.shape[1]} frames a time point, not "
                                 f"angles x phases = {count}")
            return data
        if data.shape[0] % count:
            raise ValueError(f"{layer.name} holds {data.shape[0]} frames, not a multiple of "
                             f"angles x phases = {count}")
        return data.reshape(data.shape[0] // count, count, *data.shape[1:])

    def _current_time_point(self, layer) -> int:
        position = layer.world_to_data(self._viewer.dims.point)
        steps = len(self._series(layer))
        index = int(round(position[0]))
        if layer.ndim == 3:
            index //= self._frame_count()
        return min(max(index, 0), steps - 1)

    def _frames(self, series, t) -> np.ndarray:
        """One time point's frames as stored; the pipeline takes the background out."""
        return np.asarray(series[t])

    # The kept pipeline.

    def _key(self, layer):
        # The pipeline is built for one layer's shape and every setting the record keeps.
        return (id(layer), tuple(layer.data.shape), *self._settings().values())

    def _kept_pipeline(self, layer) -> Pipeline:
        key = self._key(layer)
        if self._pipeline is None or self._pipeline[0] != key:
            self._close_pipeline()
            orders = self.orders.value if self.orders.value == "auto" else int(self.orders.value)
            series = self._series(layer)
            pipeline = Pipeline(series.shape[2:], series.shape[1], na=self.na.value,
                                wavelength=self.wavelength.value,
                                pixel_size=self.pixel_size.value,
                                immersion=self.immersion.value, angles=self.angles.value,
                                phases=self.phases.value, iterations=self.iterations.value,
                                orders=orders, background=self.background.value,
                                out_of_focus=self.out_of_focus.value,
                                defocus=(self.defocus.value or None)
                                if self.out_of_focus.value else None,
                                out_of_focus_cost=self.out_of_focus_cost.value
                                if self.out_of_focus.value else None)
            self._pipeline = (key, pipeline)
        return self._pipeline[1]

    def _close_pipeline(self, _=None) -> None:
        if self._pipeline is not None:
            self._pipeline[1].close()
            self._pipeline = None

    # Estimate.

    def estimate(self, _=None):
        """Estimates the pattern of the current time point in a worker thread and shows it in
        the table; returns the worker."""
        layer = self.layer.value
        if layer is None:
            self.status.value = "no raw layer"
            return None
        if self.running:  # the pipeline is busy: waiting for it would freeze the viewer
            self.status.value = "busy: estimate when the reconstruction is done"
            return None
        try:
            pipeline = self._kept_pipeline(layer)
            series = self._series(layer)
            frames = self._frames(series, self._current_time_point(layer))
        except (ValueError, TypeError, RuntimeError) as error:
            self.status.value = f"error: {error}"
            return None
        from napari.qt.threading import create_worker

        key = self._key(layer)
        self._worker = create_worker(_quiet_estimate, pipeline, frames, _start_thread=False)
        self._worker.returned.connect(lambda pattern: self._estimated(key, pattern))
        self._worker.errored.connect(lambda error: self._set_status(f"error: {error}"))
        self._worker.finished.connect(self._finished)
        self._busy(True)
        self.status.value = "estimating"
        self._worker.start()
        return self._worker

    def _estimated(self, key, pattern: Pattern) -> None:
        self._pattern = (key, pattern)
        self._show_pattern(pattern)

    def _busy(self, busy: bool) -> None:
        self.estimate_button.enabled = self.reconstruct_button.enabled = not busy
        self.cancel_button.enabled = busy

    def _show_pattern(self, pattern: Pattern) -> None:
        self.table.value = _pattern_table(pattern)
        self.table.native.resizeColumnsToContents()
        low = [str(a + 1) for a in np.flatnonzero(pattern.low_modulation)]
        self.status.value = (f"low modulation in orientation {', '.join(low)}: too faint to "
                             "estimate reliably" if low else "pattern estimated")

    # Reconstruct.

    @property
    def running(self) -> bool:
        return self._worker is not None

    def reconstruct(self, times=None):
        """Reconstructs the chosen time points in a worker thread; returns the worker."""
        layer = self.layer.value
        if layer is None or layer not in self._viewer.layers or self.running:
            return None
        if f"{layer.name} reconstructed" not in self._viewer.layers:
            self._done.clear()  # the result layer was deleted
        try:
            pipeline = self._kept_pipeline(layer)
            series = self._series(layer)
            if times is None:
                times = (range(len(series)) if self.time_points.value == ALL
                         else [self._current_time_point(layer)])
            times = [t for t in times if t not in self._done]
        except (ValueError, TypeError, RuntimeError) as error:
            self.status.value = f"error: {error}"
            return None
        if not times:
            self.status.value = "already reconstructed with these settings"
            return None
        from napari.qt.threading import create_worker

        key = self._key(layer)
        pattern = self._pattern[1] if self._pattern and self._pattern[0] == key else None
        self._worker = create_worker(self._run, pipeline, series, times, pattern,
                                     _start_thread=False)
        self._worker.yielded.connect(lambda out: self._show(layer, key, *out))
        self._worker.errored.connect(lambda error: self._set_status(f"error: {error}"))
        self._worker.finished.connect(self._finished)
        self.progress.max, self.progress.value = len(times), 0
        self._busy(True)
        self.status.value = f"reconstructing {len(times)} time point(s)"
        self._worker.start()
        return self._worker

    def _run(self, pipeline, series, times, pattern):
        """The worker: one time point at a time, so that a cancel stops between them. It
        reads no widget (Qt's widgets belong to the main thread)."""
        for t in times:
            frames = self._frames(series, t)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # shown from the pattern's flags instead
                result = pipeline.reconstruct(frames, pattern)
            pattern = pattern or result.pattern  # estimated on the first, kept for the rest
            yield t, result

    def _show(self, layer, key, t, result) -> None:
        if layer not in self._viewer.layers:  # removed while it was reconstructed
            return
        if self._pattern is None or self._pattern[0] != key:
            self._pattern = (key, result.pattern)
            self._show_pattern(result.pattern)
        target = self._result_layer(layer, result)
        target.data[t] = result.image
        target.reset_contrast_limits()  # made of zeros, the layer's limits start at 0 to 1
        target.refresh()
        if result.out_of_focus is not None:
            shares = target.metadata["korvex"].setdefault("out_of_focus_share", {})
            shares[int(t)] = result.out_of_focus_share
            self.share.value = f"{result.out_of_focus_share:.3f} (time point {t})"
            if self.haze_layer.value:
                self._haze_layer(layer, target, t, result.out_of_focus)
        self._done.add(t)
        self.progress.value += 1

    def _result_layer(self, layer, result):
        """The layer that holds the reconstructions of `layer`, made at the first result."""
        name = f"{layer.name} reconstructed"
        steps = len(self._series(layer))
        count = self._frame_count()
        if layer.ndim == 4:  # (T, 1, H', W'), the single plane spanning the F frames
            shape = (steps, 1, *result.image.shape)
            scale = (layer.scale[0], count * layer.scale[1])
            translate = (layer.translate[0], layer.translate[1] + (count - 1) / 2 * layer.scale[1])
        else:  # (T, H', W'), time point t spanning frames t F .. t F + F - 1
            shape = (steps, *result.image.shape)
            scale = (count * layer.scale[0],)
            translate = (layer.translate[0] + (count - 1) / 2 * layer.scale[0],)
        scale += (result.pixel_size, result.pixel_size)
        translate += tuple(layer.translate[-2:])
        record = {"kind": "result", "pixel_size": result.pixel_size,
                  "settings": self._settings(), "pattern": _pattern_record(result.pattern)}
        if name in self._viewer.layers:
            target = self._viewer.layers[name]
            if target.data.shape == shape and target.data.dtype == result.image.dtype:
                kept = target.metadata.get("korvex", {}).get("out_of_focus_share")
                if kept:  # of the time points already shown
                    record["out_of_focus_share"] = kept
                target.metadata["korvex"] = record
                return target
            self._viewer.layers.remove(name)
            self._done.clear()
        return self._viewer.add_image(np.zeros(shape, result.image.dtype), name=name,
                                      scale=scale, translate=translate,
                                      metadata={"korvex": record}, colormap="magma")

    def _haze_layer(self, layer, result_layer, t, haze) -> None:
        """Time point t's haze in a layer shaped and placed like the result layer."""
        name = f"{layer.name} out-of-focus"
        data = result_layer.data
        if name in self._viewer.layers:
            target = self._viewer.layers[name]
            if target.data.shape != data.shape or target.data.dtype != data.dtype:
                self._viewer.layers.remove(name)
        if name not in self._viewer.layers:  # in cyan, added onto the result's magma
            self._viewer.add_image(np.zeros(data.shape, data.dtype), name=name,
                                   scale=result_layer.scale, translate=result_layer.translate,
                                   metadata={"korvex": {"kind": "result"}}, colormap="cyan",
                                   blending="additive")
        target = self._viewer.layers[name]
        target.data[t] = haze.reshape(target.data[t].shape)
        target.reset_contrast_limits()
        target.refresh()

    def _settings(self) -> dict:
        return {name: getattr(self, name).value for name in
                ("na", "wavelength", "pixel_size", "immersion", "angles", "phases", "orders",
                 "background", "iterations", "out_of_focus", "defocus", "out_of_focus_cost")}

    def _set_status(self, text: str) -> None:
        self.status.value = text

    def _finished(self) -> None:
        self._worker = None
        self._busy(False)
        if self.status.value.startswith("reconstructing"):
            self.status.value = f"{len(self._done)} time point(s) reconstructed"

    def cancel(self, _=None) -> None:
        """Stops after the time point in progress; the viewer stays responsive meanwhile."""
        if self._worker is not None:
            self._worker.quit()
            self.status.value = "cancelled"

    def _slider_moved(self, _=None) -> None:
        if self.time_points.value == FOLLOW and not self.running:
            self.reconstruct()


def _quiet_estimate(pipeline, frames) -> Pattern:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the table flags low modulation
        return pipeline.estimate(frames)


def _pattern_table(pattern: Pattern | None) -> dict:
    """One row per orientation: angle (degrees), period (camera pixels), modulation, MCNR and
    a flag where the MCNR is too low to trust."""
    columns = ["angle °", "period px", "depth", "MCNR", ""]
    if pattern is None:
        return {"data": [], "columns": columns}
    rows = [[f"{np.degrees(pattern.angle[a]):.2f}", f"{pattern.period[a]:.3f}",
             f"{pattern.modulation[a]:.2f}", f"{pattern.mcnr[a]:.1f}",
             "low" if pattern.low_modulation[a] else ""] for a in range(pattern.orientations)]
    return {"data": rows, "columns": columns,
            "index": [str(a + 1) for a in range(pattern.orientations)]}


def _pattern_record(pattern: Pattern) -> dict:
    return {name: np.asarray(getattr(pattern, name)).tolist() for name in
            ("angle", "period", "phase", "modulation", "modulation2", "phase2", "mcnr", "mcnr2")}
