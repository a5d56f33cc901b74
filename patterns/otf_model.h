// The OTF as KorvexCUDA takes it (centred, H x W), read at any frequency: on the grid for the
// unshifted spectra, and between grid points, with its gradient, for a carrier off the grid.
#pragma once

#include "spectral_grid.h"

namespace korvex::patterns {

class OtfModel {
 public:
  // centred: H x W column-major, zero frequency at (floor(H/2), floor(W/2)).
  OtfModel(const SpectralGrid& grid, RealImage centred);

  // Value at frequency (fx, fy) in cycles per pixel, by Keys' cubic convolution; zero off the
  // grid. The gradient is with respect to (fx, fy).
  double At(double fx, double fy) const;
  double At(double fx, double fy, double& dfx, double& dfy) const;

  // The OTF shifted by (dx, dy) cycles per pixel at the given bins of the unshifted grid:
  // out[j] = At(Fx(c) + dx, Fy(r) + dy) for bins[j] = (r, c). The shift is the same at every
  // bin, so the interpolation weights are too: two 4-tap passes (the rows of every column
  // into `scratch`, then the columns at each bin) instead of a 4 x 4 kernel at each bin.
  void Shifted(double dx, double dy, const std::vector<size_t>& bins, RealImage& out,
               RealImage& scratch) const;

  // The OTF as given, centred.
  const RealImage& Centred() const { return centred_; }
  // The OTF in the layout of an unshifted spectrum.
  const RealImage& Unshifted() const { return unshifted_; }
  // Largest frequency (cycles per pixel) at which the OTF is not negligible.
  double Cutoff() const { return cutoff_; }
  // The OTF's largest value (1 for a normalised OTF).
  double Peak() const { return peak_; }
  // Whether unshifted bin i is inside the passband.
  bool Passes(size_t i) const { return unshifted_[i] > floor_; }

 private:
  template <bool kSlopes>
  double Sample(double fx, double fy, double* dfx, double* dfy) const;

  SpectralGrid grid_;
  RealImage centred_;
  RealImage unshifted_;
  double peak_ = 0.0;
  double floor_ = 0.0;
  double cutoff_ = 0.0;
};

}  // namespace korvex::patterns
