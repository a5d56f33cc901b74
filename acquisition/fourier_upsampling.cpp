#include "fourier_upsampling.h"

#include <algorithm>
#include <stdexcept>

namespace korvex::acquisition {

template <typename T>
std::vector<typename FourierUpsampler<T>::Landing> FourierUpsampler<T>::Landings(unsigned coarse,
                                                                                 unsigned factor) {
  const unsigned fine = coarse * factor;
  std::vector<Landing> landings(coarse);
  for (unsigned k = 0; k < coarse; ++k) {
    // Bins 0 .. ceil(N/2)-1 are the non-negative frequencies, the rest negative.
    const bool negative = k >= (coarse + 1) / 2;
    const unsigned target = negative ? fine - (coarse - k) : k;
    landings[k] = {target, target, 1.0};
  }
  if (coarse % 2 == 0 && factor > 1) {
    const unsigned nyquist = coarse / 2;
    landings[nyquist] = {fine - nyquist, nyquist, 0.5};
  }
  return landings;
}

template <typename T>
FourierUpsampler<T>::FourierUpsampler(unsigned height, unsigned width, unsigned factor)
    : height_(height),
      width_(width),
      factor_(factor),
      fineHeight_(height * factor),
      fineWidth_(width * factor),
      rowLandings_(Landings(height, factor)),
      columnLandings_(Landings(width, factor)),
      coarse_(factor > 1 ? size_t{height} * width : 0),
      fine_(factor > 1 ? size_t{fineHeight_} * fineWidth_ : 0) {
  if (height == 0 || width == 0 || factor == 0) {
    throw std::invalid_argument("Fourier up-sampling needs a non-empty image and a factor >= 1");
  }
  if (factor == 1) return;  // a copy: no transforms
  coarseTransform_ =
      std::make_unique<fourier::ImageTransform<T>>(height, width, "Fourier up-sampling");
  fineTransform_ = std::make_unique<fourier::ImageTransform<T>>(fineHeight_, fineWidth_,
                                                               "Fourier up-sampling");
}

template <typename T>
void FourierUpsampler<T>::Pad_Spectrum() {
  // The inverse transform is unnormalised: 1 / (H W) makes fine samples equal coarse ones.
  const double scale = 1.0 / (double(height_) * width_);
  std::fill(fine_.begin(), fine_.end(), Complex(0, 0));
  for (unsigned c = 0; c < width_; ++c) {
    const Landing& cl = columnLandings_[c];
    const unsigned columns[2] = {cl.first, cl.second};
    const unsigned columnCount = cl.first == cl.second ? 1 : 2;
    for (unsigned r = 0; r < height_; ++r) {
      const Landing& rl = rowLandings_[r];
      const unsigned rows[2] = {rl.first, rl.second};
      const unsigned rowCount = rl.first == rl.second ? 1 : 2;
      const Complex v = coarse_[size_t{c} * height_ + r];
      const double w = scale * cl.weight * rl.weight;
      const Complex part(T(w * v.real()), T(w * v.imag()));
      for (unsigned i = 0; i < columnCount; ++i) {
        for (unsigned j = 0; j < rowCount; ++j) {
          fine_[size_t{columns[i]} * fineHeight_ + rows[j]] = part;
        }
      }
    }
  }
}

template <typename T>
void FourierUpsampler<T>::Upsample(const T* frames, unsigned count, T* fine) {
  const size_t pixels = size_t{height_} * width_;
  const size_t finePixels = size_t{fineHeight_} * fineWidth_;
  if (factor_ == 1) {
    std::copy(frames, frames + pixels * count, fine);
    return;
  }
  // Two real frames travel as one complex image (fourier::Pack_Pair): padding keeps each
  // one's spectrum Hermitian, so they come back apart in the real and imaginary parts, and a
  // stack costs half the transforms.
  for (unsigned f = 0; f < count; f += 2) {
    const T* first = frames + f * pixels;
    const T* second = f + 1 < count ? first + pixels : nullptr;
    fourier::Pack_Pair(first, second, pixels, coarse_.data());
    coarseTransform_->Forward(coarse_.data());
    Pad_Spectrum();
    fineTransform_->Inverse(fine_.data());
    T* out = fine + f * finePixels;
    for (size_t i = 0; i < finePixels; ++i) out[i] = fine_[i].real();
    if (second) {
      out += finePixels;
      for (size_t i = 0; i < finePixels; ++i) out[i] = fine_[i].imag();
    }
  }
}

template class FourierUpsampler<float>;
template class FourierUpsampler<double>;

}  // namespace korvex::acquisition
