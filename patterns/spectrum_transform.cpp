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

void SpectrumTransform::Forward(FloatImage& image) {
  Check_Size(image, transform_.Pixels());
  transform_.Forward(image.data());
}

void SpectrumTransform::Inverse(FloatImage& image) {
  Check_Size(image, transform_.Pixels());
  transform_.Inverse(image.data());
}

void SpectrumTransform::Forward_Pair_At(const std::vector<float>& first,
                                        const std::vector<float>* second,
                                        const std::vector<size_t>& bins, PackedValue* out,
                                        size_t stride) {
  const size_t n = transform_.Pixels();
  Check_Size(first, n);
  if (second) Check_Size(*second, n);
  fourier::Pack_Pair(first.data(), second ? second->data() : nullptr, n, staging_.data());
  transform_.Forward(staging_.data());
  const unsigned height = transform_.Height();
  const unsigned width = transform_.Width();
  // The transform of first + i second is A + i B, with A(q) = (Z(q) + conj Z(-q)) / 2 and
  // B(q) = (Z(q) - conj Z(-q)) / 2i; computed in double, as Split_Pair's callers did.
  // The column of the bin before, and where it starts: bins in order move through the columns
  // without a division each.
  size_t c = 0, start = 0;
  for (size_t j = 0; j < bins.size(); ++j) {
    const size_t i = bins[j];
    if (i < start || i - start >= height) {
      c = i / height;
      start = c * height;
    }
    const size_t r = i - start;
    const size_t mirror = (c == 0 ? 0 : width - c) * size_t{height} + (r == 0 ? 0 : height - r);
    const Complex z(staging_[i]);
    if (!second) {
      out[j * stride] = PackedValue(z);
      continue;
    }
    const Complex zm = std::conj(Complex(staging_[mirror]));
    out[j * stride] = PackedValue(0.5 * (z + zm));
    out[j * stride + 1] = PackedValue((z - zm) * Complex(0.0, -0.5));
  }
}

}  // namespace korvex::patterns
