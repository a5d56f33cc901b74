// The coarse search for a carrier: the grid frequency at which the carrier band best matches
// the widefield band shifted there, both seen through the OTF.
#pragma once

#include "otf_model.h"
#include "spectrum_transform.h"

namespace korvex::patterns {

// Where a carrier may be: a ring of frequencies (cycles per pixel), optionally within a
// tolerance of given directions (radians, taken modulo pi).
struct SearchRegion {
  double minFrequency = 0.0;
  double maxFrequency = 0.0;
  bool constrainAngle = false;
  double angle = 0.0;
  double angleTolerance = 0.0;
  bool Contains(double fx, double fy) const;
};

struct CarrierPeak {
  double fx = 0.0;  // cycles per pixel, refined between grid points by a parabola
  double fy = 0.0;
  size_t candidates = 0;  // grid frequencies searched: what noise alone gets to pick from
};

class CarrierSearch {
 public:
  CarrierSearch(const SpectralGrid& grid, const OtfModel& otf, SpectrumTransform& transform);

  // The widefield band's spectrum (of the apodised image) that carriers are matched against.
  void Set_Widefield(const ComplexImage& widefield);

  // carrier: the spectrum of one orientation's carrier band (apodised).
  CarrierPeak Find(const ComplexImage& carrier, const SearchRegion& region);

 private:
  const SpectralGrid& grid_;
  const OtfModel& otf_;
  SpectrumTransform& transform_;
  ComplexImage widefieldImage_;  // inverse transform of OTF x widefield
  RealImage normalisation_;      // expected spread of the match where only noise is found
};

}  // namespace korvex::patterns
