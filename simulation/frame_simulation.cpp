#include "frame_simulation.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>
#include <vector>

#include "image_transform.h"

namespace korvex::simulation {

void Simulate_Frames(const double* truth, const double* masks, const double* otf, unsigned height,
                     unsigned width, unsigned frames, double photons, double background,
                     double* expected) {
  if (height == 0 || width == 0 || frames == 0) {
    throw std::invalid_argument("frame simulation: empty truth or masks");
  }
  if (!(photons > 0)) throw std::invalid_argument("photons must be positive");
  if (!(background >= 0) || !std::isfinite(background)) {
    throw std::invalid_argument("background must be a non-negative finite number");
  }
  const size_t pixels = size_t{height} * width;
  // The OTF as an unshifted spectrum filter.
  std::vector<double> filter(pixels);
  fourier::Ifftshift(otf, filter.data(), height, width);

  fourier::ImageTransform<double> transform(height, width, "frame simulation");
  std::vector<std::complex<double>> image(pixels);
  for (unsigned f = 0; f < frames; ++f) {
    const double* mask = masks + size_t{f} * pixels;
    for (size_t i = 0; i < pixels; ++i) image[i] = mask[i] * truth[i];
    transform.Forward(image.data());
    for (size_t i = 0; i < pixels; ++i) image[i] *= filter[i];
    transform.Inverse(image.data());
    double* out = expected + size_t{f} * pixels;
    for (size_t i = 0; i < pixels; ++i) out[i] = image[i].real() / double(pixels);
  }

  const size_t total = pixels * frames;
  if (std::isinf(photons)) {
    for (size_t i = 0; i < total; ++i) expected[i] += background;
    return;
  }
  const double peak = *std::max_element(expected, expected + total);
  const double scale = peak > 0 ? photons / peak : 1.0;
  // Rounding in the transforms leaves tiny negative values where the image is dark; a photon
  // rate cannot be negative.
  for (size_t i = 0; i < total; ++i) expected[i] = std::max(expected[i] * scale, 0.0) + background;
}

}  // namespace korvex::simulation
