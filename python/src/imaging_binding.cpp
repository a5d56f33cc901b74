// The counterparts of korvex_otf, korvex_masks and korvex_simulate: the OTF model, masks from
// pattern parameters and the forward model, all computed by KorvexLib.
#include <nanobind/stl/vector.h>

#include <stdexcept>
#include <vector>

#include "core_calls.h"
#include "frame_simulation.h"
#include "illumination_pattern.h"
#include "optical_transfer.h"
#include "transposed_layout.h"

namespace korvex::python {

namespace {

using korvex::acquisition::IlluminationPattern;

// The model is radially symmetric: the core's transposed grid (W rows, H columns) holds the
// C-ordered (H, W) OTF.
NumpyArray<double> Otf(unsigned height, unsigned width, double na, double wavelength,
                       double pixelSize) {
  std::vector<double> otf = Core_Call(
      [&] { return korvex::acquisition::Widefield_Otf(width, height, na, wavelength, pixelSize); });
  return To_Numpy(std::move(otf), {height, width});
}

// Per orientation: angle, period, modulation, modulation2, phase2; per frame: phase
// (korvex_masks' convention in numpy's axes).
NumpyArray<double> Masks(unsigned height, unsigned width, const std::vector<double>& angle,
                         const std::vector<double>& period, const std::vector<double>& modulation,
                         const std::vector<double>& phase, const std::vector<double>& modulation2,
                         const std::vector<double>& phase2) {
  const IlluminationPattern pattern =
      korvex::acquisition::Pattern_From_Rows(angle, period, modulation, phase, modulation2, phase2);
  const unsigned orientations = unsigned(angle.size());
  if (orientations == 0 || phase.size() % orientations != 0) {
    throw std::invalid_argument("phases must hold the same number of frames per orientation");
  }
  const unsigned frames = unsigned(phase.size());
  korvex::acquisition::Check_Pattern(pattern, orientations, frames, "pattern");
  std::vector<double> masks(size_t{height} * width * frames);
  Core_Call(
      [&] { korvex::acquisition::Build_Masks(Swap_Axes(pattern), width, height, masks.data()); });
  return To_Numpy(std::move(masks), {frames, height, width});
}

// A centred (h, w) OTF moved to (height, width) at the same frequency step: cropped about zero
// frequency or embedded (the pipeline's rule for a measured OTF on another grid).
NumpyArray<double> Resample(Image<double> otf, unsigned height, unsigned width) {
  std::vector<double> values(otf.data(), otf.data() + otf.size());
  std::vector<double> moved = Core_Call([&] {
    return korvex::acquisition::Resample_Otf(values, unsigned(otf.shape(1)),
                                             unsigned(otf.shape(0)), width, height);
  });
  return To_Numpy(std::move(moved), {height, width});
}

NumpyArray<double> Simulate(Image<double> truth, Stack<double> masks, Image<double> otf,
                            double photons, double background) {
  const size_t height = truth.shape(0), width = truth.shape(1), frames = masks.shape(0);
  if (masks.shape(1) != height || masks.shape(2) != width || otf.shape(0) != height ||
      otf.shape(1) != width) {
    throw std::invalid_argument("masks and otf must match truth's shape");
  }
  std::vector<double> expected(height * width * frames);
  Core_Call([&] {
    korvex::simulation::Simulate_Frames(truth.data(), masks.data(), otf.data(), unsigned(width),
                                         unsigned(height), unsigned(frames), photons, background,
                                         expected.data());
  });
  return To_Numpy(std::move(expected), {frames, height, width});
}

}  // namespace

void Bind_Imaging(nb::module_& m) {
  m.def("otf", &Otf, nb::arg("height"), nb::arg("width"), nb::arg("na"), nb::arg("wavelength"),
        nb::arg("pixel_size"));
  m.def("masks", &Masks, nb::arg("height"), nb::arg("width"), nb::arg("angle"), nb::arg("period"),
        nb::arg("modulation"), nb::arg("phase"), nb::arg("modulation2"), nb::arg("phase2"));
  m.def("resample_otf", &Resample, nb::arg("otf").noconvert(), nb::arg("height"),
        nb::arg("width"));
  m.def("simulate", &Simulate, nb::arg("truth").noconvert(), nb::arg("masks").noconvert(),
        nb::arg("otf").noconvert(), nb::arg("photons"), nb::arg("background"));
}

}  // namespace korvex::python
