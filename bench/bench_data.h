// Synthetic SIM acquisitions for the benchmarks: host arrays in MATLAB (column-major) order,
// shaped like a real measurement so that the reconstruction runs its full iteration count.
#pragma once

#include <vector>

namespace korvex::bench {

template <typename T>
struct Acquisition {
  unsigned width = 0;
  unsigned height = 0;
  unsigned frames = 0;
  std::vector<T> image;   // frames x (height x width)
  std::vector<T> masks;   // same shape
  std::vector<T> otf;     // height x width, zero frequency at the centre
  std::vector<T> output;  // height x width
};

// Points and lines blurred by a Gaussian, seen through 3 orientations x 3 phases of a
// sinusoidal pattern (repeated when frames > 9), with the OTF of a circular pupil.
template <typename T>
Acquisition<T> make_acquisition(unsigned width, unsigned height, unsigned frames);

}  // namespace korvex::bench
