#include "fourier_upsampling.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace korvex::acquisition {

template <typename T>
std::vector<typename FourierUpsampler<T>::Complex> FourierUpsampler<T>::Ramps(unsigned n,
                                                                              unsigned factor,
                                                                              double scale) {
  const double pi = std::acos(-1.0);
  std::vector<Complex> ramps(size_t{n} * factor);
  for (unsigned a = 0; a < factor; ++a) {
    for (unsigned k = 0; k < n; ++k) {
      // Bins 0 .. ceil(n/2)-1 are the non-negative frequencies, the rest negative.
      const double d = k < (n + 1) / 2 ? double(k) : double(k) - n;
      std::complex<double> ramp = std::polar(scale, 2.0 * pi * d * a / (double(n) * factor));
      // The Nyquist bin of an even size, split in halves between +n/2 and -n/2: the two
      // ramps' mean, a cosine, keeps a real frame real.
      if (2 * k == n) ramp = scale * std::cos(pi * a / factor);
      ramps[size_t{a} * n + k] = Complex(T(ramp.real()), T(ramp.imag()));
    }
  }
  return ramps;
}

template <typename T>
FourierUpsampler<T>::FourierUpsampler(unsigned height, unsigned width, unsigned factor)
    : height_(height), width_(width), factor_(factor) {
  if (height == 0 || width == 0 || factor == 0) {
    throw std::invalid_argument("Fourier up-sampling needs a non-empty image and a factor >= 1");
  }
  if (factor == 1) return;  // a copy: no transforms
  // The inverse transform is unnormalised: 1 / (H W) makes shifted samples equal coarse ones.
  rowRamps_ = Ramps(height, factor, 1.0 / (double(height) * width));
  columnRamps_ = Ramps(width, factor, 1.0);
  const size_t pixels = size_t{height} * width;
  phases_.resize(pixels * factor * factor);
  spectrum_.resize(pixels);
  transform_ = std::make_unique<fourier::ImageTransform<T>>(height, width, "Fourier up-sampling");
}

template <typename T>
void FourierUpsampler<T>::Interleave(T* first, T* second) const {
  const unsigned s = factor_;
  const size_t pixels = size_t{height_} * width_;
  const size_t fineHeight = size_t{height_} * s;
  std::vector<const Complex*> rows(s);
  for (unsigned c = 0; c < width_; ++c) {
    for (unsigned b = 0; b < s; ++b) {
      // Fine column s c + b holds, row after row, the samples of phases (0, b) .. (s-1, b).
      for (unsigned a = 0; a < s; ++a) {
        rows[a] = phases_.data() + (size_t{b} * s + a) * pixels + size_t{c} * height_;
      }
      const size_t column = (size_t{c} * s + b) * fineHeight;
      T* re = first + column;
      T* im = second ? second + column : nullptr;
      if (s == 2) {  // the common factor, in a loop the compiler vectorises
        const Complex* p0 = rows[0];
        const Complex* p1 = rows[1];
        for (unsigned r = 0; r < height_; ++r) {
          re[2 * size_t{r}] = p0[r].real();
          re[2 * size_t{r} + 1] = p1[r].real();
        }
        if (im) {
          for (unsigned r = 0; r < height_; ++r) {
            im[2 * size_t{r}] = p0[r].imag();
            im[2 * size_t{r} + 1] = p1[r].imag();
          }
        }
        continue;
      }
      for (unsigned r = 0; r < height_; ++r) {
        for (unsigned a = 0; a < s; ++a) re[size_t{r} * s + a] = rows[a][r].real();
      }
      if (!im) continue;
      for (unsigned r = 0; r < height_; ++r) {
        for (unsigned a = 0; a < s; ++a) im[size_t{r} * s + a] = rows[a][r].imag();
      }
    }
  }
}

template <typename T>
void FourierUpsampler<T>::Upsample(const T* frames, unsigned count, T* fine) {
  const size_t pixels = size_t{height_} * width_;
  if (factor_ == 1) {
    std::copy(frames, frames + pixels * count, fine);
    return;
  }
  const unsigned s = factor_;
  const size_t finePixels = pixels * s * s;
  // Two real frames travel as one complex image (fourier::Pack_Pair): a ramp keeps each one's
  // spectrum Hermitian, so they come back apart in the real and imaginary parts, and a stack
  // costs half the transforms.
  for (unsigned f = 0; f < count; f += 2) {
    const T* first = frames + f * pixels;
    const T* second = f + 1 < count ? first + pixels : nullptr;
    fourier::Pack_Pair(first, second, pixels, phases_.data());
    transform_->Forward(phases_.data(), spectrum_.data());
    for (size_t phase = 1; phase < size_t{s} * s; ++phase) {
      const Complex* rowRamp = rowRamps_.data() + (phase % s) * height_;
      const Complex* columnRamp = columnRamps_.data() + (phase / s) * width_;
      Complex* out = phases_.data() + phase * pixels;
      for (unsigned c = 0; c < width_; ++c) {
        const T cr = columnRamp[c].real(), ci = columnRamp[c].imag();
        const Complex* in = spectrum_.data() + size_t{c} * height_;
        Complex* to = out + size_t{c} * height_;
        // Written out: std::complex's product checks for infinities at every element.
        for (unsigned r = 0; r < height_; ++r) {
          const T wr = cr * rowRamp[r].real() - ci * rowRamp[r].imag();
          const T wi = cr * rowRamp[r].imag() + ci * rowRamp[r].real();
          const T vr = in[r].real(), vi = in[r].imag();
          to[r] = Complex(wr * vr - wi * vi, wr * vi + wi * vr);
        }
      }
      transform_->Inverse(out);
    }
    Interleave(fine + f * finePixels, second ? fine + (f + 1) * finePixels : nullptr);
  }
}

template class FourierUpsampler<float>;
template class FourierUpsampler<double>;

}  // namespace korvex::acquisition
