// The estimator's transforms of host images: single precision through the shared image
// transform (fourier/image_transform.h), double precision on the host side.
#pragma once

#include "image_transform.h"
#include "spectral_grid.h"

namespace korvex::patterns {

class SpectrumTransform {
 public:
  explicit SpectrumTransform(const SpectralGrid& grid);

  // In place, unnormalised: Forward is sum_x f(x) e^{-2 pi i q.x}, Inverse has e^{+...}.
  void Forward(ComplexImage& image);
  void Inverse(ComplexImage& image);
  // The same in the transform's single precision: no conversion on the way in or out.
  void Forward(FloatImage& image);
  void Inverse(FloatImage& image);
  // The spectra of two real images from one transform (the second may be null: none), read
  // at `bins` alone: the first image's value at bins[j] goes to out[j * stride], the
  // second's to out[j * stride + 1]. No whole spectrum is held.
  void Forward_Pair_At(const std::vector<float>& first, const std::vector<float>* second,
                       const std::vector<size_t>& bins, PackedValue* out, size_t stride);

 private:
  // Single precision on the device: the fits accumulate in double on the host, and a
  // single-precision transform's rounding (1e-7 relative) lies far below the noise of any
  // camera frame, while it halves the transfers and the transform time.
  fourier::ImageTransform<float> transform_;
  FloatImage staging_;
};

}  // namespace korvex::patterns
