// Frames whose values lie near their type's range, scaled by a power of two for the pipeline
// and the image scaled back. Estimation and reconstruction are linear in the frames (the
// sparsity weight follows their mean) and a power of two scales exactly, so the image is the
// one the frames would give if nothing overflowed.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "input_checks.h"

namespace korvex::acquisition {

// The scale applied (1 for most data), with `frames` pointed at a scaled copy when it is not 1.
template <typename T>
double Scale_Frames(const T*& frames, size_t count, std::vector<T>& scaled) {
  const double scale = korvex::patterns::Value_Scale(frames, count);
  if (scale == 1.0) return scale;
  scaled.assign(frames, frames + count);
  for (T& v : scaled) v = static_cast<T>(v * scale);
  frames = scaled.data();
  return scale;
}

// Undoes Scale_Frames on the image; refuses an image its type cannot hold.
template <typename T>
void Unscale_Image(std::vector<T>& image, double scale) {
  if (scale == 1.0) return;
  for (T& v : image) {
    v = static_cast<T>(v / scale);
    if (!std::isfinite(v)) {
      throw std::invalid_argument(
          std::string("the image's values exceed the range of ") +
          (sizeof(T) == sizeof(float) ? "single" : "double") + " precision: scale the frames down" +
          (sizeof(T) == sizeof(float) ? " or reconstruct in double precision" : ""));
    }
  }
}

}  // namespace korvex::acquisition
