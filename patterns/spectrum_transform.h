// Two-dimensional complex transforms of host images through the platform seam: cuFFT on the
// GPU, FFTW behind the same calls on the host backend. One device buffer and one plan, owned
// here and released on every path.
#pragma once

#include "spectral_grid.h"

namespace korvex::patterns {

class SpectrumTransform {
 public:
  explicit SpectrumTransform(const SpectralGrid& grid);
  ~SpectrumTransform();
  SpectrumTransform(const SpectrumTransform&) = delete;
  SpectrumTransform& operator=(const SpectrumTransform&) = delete;

  // In place, unnormalised: Forward is sum_x f(x) e^{-2 pi i q.x}, Inverse has e^{+...}.
  void Forward(ComplexImage& image);
  void Inverse(ComplexImage& image);
  // The same in the transform's single precision: no conversion on the way in or out.
  void Inverse(FloatImage& image);

 private:
  void Run(ComplexImage& image, int direction);
  void Execute(void* hostData, int direction);

  size_t pixels_;
  void* device_ = nullptr;
  int plan_ = 0;
  bool planned_ = false;
  std::vector<float> staging_;
};

}  // namespace korvex::patterns
