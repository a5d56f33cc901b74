#include "spectral_grid.h"

#include <algorithm>
#include <cmath>

namespace korvex::patterns {

SpectralGrid::SpectralGrid(unsigned h, unsigned w)
    : height(h),
      width(w),
      pixels(size_t{h} * w),
      centreX(0.5 * (static_cast<double>(w) - 1.0)),
      centreY(0.5 * (static_cast<double>(h) - 1.0)) {}

// Index i of n stands for frequency i/n up to half the grid, (i - n)/n beyond: the layout of
// an unshifted transform, in which ifftshift puts a centred OTF.
static double Signed_Frequency(unsigned i, unsigned n) {
  const unsigned half = (n + 1) / 2;
  const double index = i < half ? static_cast<double>(i) : static_cast<double>(i) - n;
  return index / n;
}

double SpectralGrid::Fy(unsigned r) const { return Signed_Frequency(r, height); }
double SpectralGrid::Fx(unsigned c) const { return Signed_Frequency(c, width); }

RealImage Apodisation(const SpectralGrid& grid, unsigned margin, unsigned edgeLength) {
  auto taper = [margin, edgeLength](unsigned n) {
    const double pi = std::acos(-1.0);
    std::vector<double> t(n, 1.0);
    const unsigned edge = std::max(2u, edgeLength > 0 ? edgeLength : n / 8);
    for (unsigned i = 0; i < n / 2; ++i) {
      double v = 0.0;
      if (i >= margin + edge) {
        v = 1.0;
      } else if (i >= margin) {
        v = 0.5 * (1.0 - std::cos(pi * (i - margin + 0.5) / edge));
      }
      t[i] = v;
      t[n - 1 - i] = v;
    }
    return t;
  };
  const std::vector<double> rows = taper(grid.height);
  const std::vector<double> cols = taper(grid.width);
  RealImage window(grid.pixels);
  for (unsigned c = 0; c < grid.width; ++c) {
    for (unsigned r = 0; r < grid.height; ++r) window[grid.Index(r, c)] = rows[r] * cols[c];
  }
  return window;
}

}  // namespace korvex::patterns
