// The image grid and its discrete Fourier grid, in the column-major layout of the frames.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace korvex::patterns {

using Complex = std::complex<double>;
using ComplexImage = std::vector<Complex>;
using RealImage = std::vector<double>;
// An image in the transforms' own precision: what comes out of a transform, kept as is.
using FloatImage = std::vector<std::complex<float>>;
// The frames' spectra over the passband, bin after bin: their values come from
// single-precision transforms, so single precision holds them exactly.
using PackedValue = std::complex<float>;
using PackedSpectra = std::vector<PackedValue>;

struct SpectralGrid {
  SpectralGrid(unsigned height, unsigned width);

  unsigned height;
  unsigned width;
  size_t pixels;
  // Centre of the image, where demodulation is referenced: it decouples the carrier's
  // frequency from its phase in the fits.
  double centreX;
  double centreY;

  // Signed frequency, in cycles per pixel, of row r / column c of an unshifted spectrum.
  double Fy(unsigned r) const;
  double Fx(unsigned c) const;
  size_t Index(unsigned r, unsigned c) const { return size_t{c} * height + r; }
};

// Tapered window: zero on `margin` pixels along each edge, then cosine edges of `edgeLength`
// pixels (0: an eighth of each side), flat in the middle. Frames are not periodic; without
// it their edges spread every spectral feature over the whole plane, and filters applied as
// products of spectra wrap one edge onto the other within the reach of the point-spread
// function.
RealImage Apodisation(const SpectralGrid& grid, unsigned margin = 0, unsigned edgeLength = 0);

}  // namespace korvex::patterns
