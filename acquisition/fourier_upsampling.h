// Fourier interpolation of image stacks onto an integer-times finer grid, through the shared
// image transform (fourier/image_transform.h).
//
// The spectrum of each frame is zero-padded: a bin at signed frequency index d goes to the
// fine grid's bin d, and the Nyquist bin of an even size, shared by +N/2 and -N/2, is split
// in halves between the two. A band-limited image is thus reproduced exactly, and fine sample
// (s r, s c) equals camera sample (r, c): both grids share their origin.
//
// The padded fine transform is never made. The fine samples (s r + a, s c + b) of one phase
// (a, b) are the camera frame shifted by (a / s, b / s) pixels: the camera spectrum times a
// phase ramp, transformed back on the camera grid. So a frame takes one camera-sized forward
// transform and s^2 - 1 camera-sized inverse ones, the same values as the padded transform
// to rounding; phase (0, 0) is the frame itself.
#pragma once

#include <complex>
#include <memory>
#include <vector>

#include "image_transform.h"

namespace korvex::acquisition {

template <typename T>
class FourierUpsampler {
 public:
  // Frames of height x width, refined `factor` (>= 1) times along each side.
  FourierUpsampler(unsigned height, unsigned width, unsigned factor);

  // frames: height x width x count, column-major; fine: (factor height) x (factor width) x
  // count, column-major.
  void Upsample(const T* frames, unsigned count, T* fine);

  unsigned Height() const { return height_; }
  unsigned Width() const { return width_; }
  unsigned Factor() const { return factor_; }

 private:
  using Complex = std::complex<T>;
  // ramps[a * n + k]: what coarse bin k of a dimension of n bins is multiplied by for the
  // shift by a / factor pixels along it, times `scale`.
  static std::vector<Complex> Ramps(unsigned n, unsigned factor, double scale);

  // Interleaves the phases of the pair held in phases_ into fine frames (the second when
  // not null).
  void Interleave(T* first, T* second) const;

  unsigned height_, width_, factor_;
  std::vector<Complex> rowRamps_, columnRamps_;
  // One coarse image a phase, phase (a, b) the (b factor + a)-th; the spectrum of the pair.
  std::vector<Complex> phases_, spectrum_;
  // None for factor 1, which copies.
  std::unique_ptr<fourier::ImageTransform<T>> transform_;
};

extern template class FourierUpsampler<float>;
extern template class FourierUpsampler<double>;

}  // namespace korvex::acquisition
