#include "spectrum_transform.h"

#include <stdexcept>

namespace korvex::patterns {

namespace {

template <typename Image>
void Check_Size(const Image& image, size_t pixels) {
  if (image.size() != pixels) throw std::logic_error("SpectrumTransform: image of another size");
}

}  // namespace

SpectrumTransform::SpectrumTransform(const SpectralGrid& grid)
    : transform_(grid.height, grid.width, "korvex_estimate_patterns"), staging_(grid.pixels) {}

void SpectrumTransform::Forward(ComplexImage& image) {
  Check_Size(image, transform_.Pixels());
  staging_.assign(image.begin(), image.end());
  transform_.Forward(staging_.data());
  image.assign(staging_.begin(), staging_.end());
}

void SpectrumTransform::Inverse(ComplexImage& image) {
  Check_Size(image, transform_.Pixels());
  staging_.assign(image.begin(), image.end());
  transform_.Inverse(staging_.data());
  image.assign(staging_.begin(), staging_.end());
}

void SpectrumTransform::Inverse(FloatImage& image) {
  Check_Size(image, transform_.Pixels());
  transform_.Inverse(image.data());
}

void SpectrumTransform::Forward_Pair(const RealImage& first, const RealImage* second,
                                     ComplexImage& firstSpectrum, ComplexImage* secondSpectrum) {
  const size_t n = transform_.Pixels();
  Check_Size(first, n);
  if (second) Check_Size(*second, n);
  fourier::Pack_Pair(first.data(), second ? second->data() : nullptr, n, staging_.data());
  transform_.Forward(staging_.data());
  firstSpectrum.assign(staging_.begin(), staging_.end());
  if (second == nullptr) return;
  secondSpectrum->resize(n);
  fourier::Split_Pair(firstSpectrum.data(), secondSpectrum->data(), transform_.Height(),
                      transform_.Width());
}

}  // namespace korvex::patterns
