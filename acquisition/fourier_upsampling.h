// Fourier interpolation of image stacks onto an integer-times finer grid, through the shared
// image transform (fourier/image_transform.h).
//
// The spectrum of each frame is zero-padded: a bin at signed frequency index d goes to the
// fine grid's bin d, and the Nyquist bin of an even size, shared by +N/2 and -N/2, is split
// in halves between the two. A band-limited image is thus reproduced exactly, and fine sample
// (s r, s c) equals camera sample (r, c): both grids share their origin.
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
  // Where one coarse bin of one dimension lands: one fine bin, or two for a split Nyquist bin.
  struct Landing {
    unsigned first, second;
    double weight;  // of each; second == first when there is one landing
  };
  static std::vector<Landing> Landings(unsigned coarse, unsigned factor);

  void Pad_Spectrum();

  unsigned height_, width_, factor_;
  unsigned fineHeight_, fineWidth_;
  std::vector<Landing> rowLandings_, columnLandings_;
  std::vector<Complex> coarse_, fine_;
  // None for factor 1, which copies.
  std::unique_ptr<fourier::ImageTransform<T>> coarseTransform_, fineTransform_;
};

extern template class FourierUpsampler<float>;
extern template class FourierUpsampler<double>;

}  // namespace korvex::acquisition
