// Fourier interpolation of image stacks onto an integer-times finer grid, through the
// platform seam (cuFFT on the GPU, FFTW behind the same calls on the host backend).
//
// The spectrum of each frame is zero-padded: a bin at signed frequency index d goes to the
// fine grid's bin d, and the Nyquist bin of an even size, shared by +N/2 and -N/2, is split
// in halves between the two. A band-limited image is thus reproduced exactly, and fine sample
// (s r, s c) equals camera sample (r, c): both grids share their origin.
#pragma once

#include <vector>

#include "gpu.h"

namespace korvex::acquisition {

template <typename T>
class FourierUpsampler {
 public:
  // Frames of height x width, refined `factor` (>= 1) times along each side.
  FourierUpsampler(unsigned height, unsigned width, unsigned factor);
  ~FourierUpsampler();
  FourierUpsampler(const FourierUpsampler&) = delete;
  FourierUpsampler& operator=(const FourierUpsampler&) = delete;

  // frames: height x width x count, column-major; fine: (factor height) x (factor width) x
  // count, column-major.
  void Upsample(const T* frames, unsigned count, T* fine);

  unsigned Height() const { return height_; }
  unsigned Width() const { return width_; }
  unsigned Factor() const { return factor_; }

 private:
  struct Complex {
    T re, im;
  };
  // Where one coarse bin of one dimension lands: one fine bin, or two for a split Nyquist bin.
  struct Landing {
    unsigned first, second;
    double weight;  // of each; second == first when there is one landing
  };
  static std::vector<Landing> Landings(unsigned coarse, unsigned factor);

  void Release() noexcept;
  void Transform(int plan, void* data, int direction);
  void Pad_Spectrum();

  unsigned height_, width_, factor_;
  unsigned fineHeight_, fineWidth_;
  std::vector<Landing> rowLandings_, columnLandings_;
  std::vector<Complex> coarse_, fine_;  // host staging
  void* deviceCoarse_ = nullptr;
  void* deviceFine_ = nullptr;
  cufftHandle coarsePlan_ = 0, finePlan_ = 0;
  bool coarsePlanned_ = false, finePlanned_ = false;
};

extern template class FourierUpsampler<float>;
extern template class FourierUpsampler<double>;

}  // namespace korvex::acquisition
