// The camera's side of an acquisition: its offset and gain, taken out of the frames before
// anything else, and whether its pixels sample the widefield image finely enough.
#pragma once

#include <string>
#include <vector>

#include "optical_transfer.h"

namespace korvex::acquisition {

struct CameraUnits {
  // The camera offset, in counts: empty (none), one value for every pixel, or an H x W image
  // (column-major) of per-pixel offsets.
  std::vector<double> background;
  double gain = 1.0;  // counts per photon

  bool Is_Identity() const;
};

// Throws std::invalid_argument naming `background` or `gain` unless the background holds
// finite values, one or H x W of them, and the gain is a positive finite number.
void Check_Camera_Units(const CameraUnits& units, unsigned height, unsigned width);

// (frames - background) / gain for H x W x F frames, into `photons` (which may be `frames`).
template <typename T>
void To_Photons(const T* frames, unsigned height, unsigned width, unsigned frameCount,
                const CameraUnits& units, T* photons);

// The largest camera pixel (in the sample plane) that does not alias the widefield image:
// wavelength / (4 na), where the OTF's cut-off 2 na / wavelength meets the camera's Nyquist
// frequency.
double Largest_Unaliased_Pixel(const Optics& optics);

// The text of the warning korvex:undersampled when the camera pixel is coarser than that;
// empty when it is not, or when the optics are not all given.
std::string Undersampling_Warning(const Optics& optics);

}  // namespace korvex::acquisition
