// Two-dimensional transforms of host images through the platform seam: cuFFT on the GPU,
// FFTW behind the same calls on the host backend. Images are column-major height x width.
//
// One plan and one device buffer per geometry, owned by an ImageTransform and released on
// every path; the packing of two real images into one complex transform, and ifftshift.
#pragma once

#include <complex>
#include <cstddef>
#include <string>

namespace korvex::fourier {

// T: float or double, the precision the transform runs in.
template <typename T>
class ImageTransform {
 public:
  using Complex = std::complex<T>;

  // `user` begins the messages of the errors it throws (std::runtime_error, the platform's
  // status included; std::invalid_argument for an empty geometry).
  ImageTransform(unsigned height, unsigned width, std::string user);
  ~ImageTransform();
  ImageTransform(const ImageTransform&) = delete;
  ImageTransform& operator=(const ImageTransform&) = delete;

  // In place on Pixels() values, unnormalised: Forward is sum_x f(x) e^{-2 pi i q.x},
  // Inverse has e^{+...}.
  void Forward(Complex* image) { Run(image, image, true); }
  void Inverse(Complex* image) { Run(image, image, false); }
  // Forward from `in` to `out`, Pixels() values each; `in` is left as it was.
  void Forward(const Complex* in, Complex* out) { Run(in, out, true); }

  unsigned Height() const { return height_; }
  unsigned Width() const { return width_; }
  size_t Pixels() const { return size_t{height_} * width_; }

 private:
  void Run(const Complex* in, Complex* out, bool forward);
  [[noreturn]] void Fail(const char* call, const std::string& status) const;

  unsigned height_;
  unsigned width_;
  std::string user_;
  void* device_ = nullptr;
  int plan_ = 0;
  bool planned_ = false;
};

extern template class ImageTransform<float>;
extern template class ImageTransform<double>;

// Two real images share one complex transform: the first as its real part, the second (zeros
// where null) as its imaginary part. A transform is linear, so what comes back from a real
// operation on the spectrum (a filter with Hermitian symmetry, zero padding) holds the two
// results apart in the real and imaginary parts again; Split_Pair separates the spectra.
template <typename T, typename In>
void Pack_Pair(const In* first, const In* second, size_t pixels, std::complex<T>* packed) {
  for (size_t i = 0; i < pixels; ++i) {
    packed[i] = {static_cast<T>(first[i]), second ? static_cast<T>(second[i]) : T(0)};
  }
}

// The forward transform Z of a packed pair into the two spectra: the first's,
// (Z(q) + conj Z(-q)) / 2, in place of Z, and the second's, (Z(q) - conj Z(-q)) / 2i, to
// `second`.
template <typename T>
void Split_Pair(std::complex<T>* packed, std::complex<T>* second, unsigned height,
                unsigned width);

// out(r, c) = centred((r + height/2) mod height, (c + width/2) mod width): MATLAB's ifftshift,
// which moves the centre of a centred spectrum (an OTF) to the origin, odd sizes included.
template <typename T>
void Ifftshift(const T* centred, T* out, unsigned height, unsigned width) {
  for (unsigned c = 0; c < width; ++c) {
    const T* column = centred + size_t{(c + width / 2) % width} * height;
    T* to = out + size_t{c} * height;
    for (unsigned r = 0; r < height; ++r) to[r] = column[(r + height / 2) % height];
  }
}

}  // namespace korvex::fourier
