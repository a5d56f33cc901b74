#include "camera_units.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace korvex::acquisition {

bool CameraUnits::Is_Identity() const {
  if (gain != 1.0) return false;
  for (double v : background) {
    if (v != 0.0) return false;
  }
  return true;
}

void Check_Camera_Units(const CameraUnits& units, unsigned height, unsigned width) {
  const size_t pixels = size_t{height} * width;
  const size_t count = units.background.size();
  if (count > 1 && count != pixels) {
    throw std::invalid_argument("background must be a scalar or " + std::to_string(height) +
                                " x " + std::to_string(width) + " like one frame, got " +
                                std::to_string(count) + " values");
  }
  for (double v : units.background) {
    if (!std::isfinite(v)) throw std::invalid_argument("background holds NaN or Inf");
  }
  if (!(std::isfinite(units.gain) && units.gain > 0.0)) {
    char text[120];
    std::snprintf(text, sizeof text,
                  "gain must be a positive finite number of counts per photon, got %g",
                  units.gain);
    throw std::invalid_argument(text);
  }
}

template <typename T>
void To_Photons(const T* frames, unsigned height, unsigned width, unsigned frameCount,
                const CameraUnits& units, T* photons) {
  const size_t pixels = size_t{height} * width;
  const double scale = 1.0 / units.gain;
  const bool image = units.background.size() > 1;
  const double offset = units.background.empty() ? 0.0 : units.background[0];
  for (size_t f = 0; f < frameCount; ++f) {
    const T* in = frames + f * pixels;
    T* out = photons + f * pixels;
    for (size_t i = 0; i < pixels; ++i) {
      const double level = image ? units.background[i] : offset;
      out[i] = static_cast<T>((static_cast<double>(in[i]) - level) * scale);
    }
  }
}

template void To_Photons<float>(const float*, unsigned, unsigned, unsigned, const CameraUnits&,
                                float*);
template void To_Photons<double>(const double*, unsigned, unsigned, unsigned,
                                 const CameraUnits&, double*);

double Largest_Unaliased_Pixel(const Optics& optics) {
  return optics.wavelength / (4.0 * optics.na);
}

std::string Undersampling_Warning(const Optics& optics) {
  if (!(optics.na > 0.0 && optics.wavelength > 0.0 && optics.pixelSize > 0.0)) return "";
  const double largest = Largest_Unaliased_Pixel(optics);
  if (optics.pixelSize <= largest * (1.0 + 1e-9)) return "";
  char text[400];
  std::snprintf(text, sizeof text,
                "the camera pixel (%g) is coarser than wavelength / (4 NA) = %g: the frames are "
                "aliased, and neither the pattern estimate nor the up-sampling can undo that. "
                "Record with a finer camera pixel, at most %g in the sample plane (raising "
                "upsample does not help)",
                optics.pixelSize, largest, largest);
  return text;
}

}  // namespace korvex::acquisition
