// The coarse search for a carrier: the grid frequency where the carrier band, divided by the
// OTF, is largest.
//
// The carrier band's spectrum is c O(q) S(q - k): the object's spectrum moved to the carrier
// k and seen through the OTF. An object's intensity is never negative, so its spectrum is
// largest at zero frequency (|S(j)| <= S(0)), and the carrier band divided by the OTF is
// largest at k itself. Unlike the peak of a cross-correlation of the bands, this maximum
// carries no spread from the object's own structure (filaments put ridges across a
// correlation) and no pull from the OTF's fall.
#pragma once

#include "otf_model.h"

namespace korvex::patterns {

// Where a carrier may be: a ring of frequencies (cycles per pixel), optionally within a
// tolerance of a given direction (radians, taken modulo pi).
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
  double power = 0.0;     // |carrier band|^2 at the best grid frequency
};

// carrier: spectrum of one orientation's apodised carrier band.
CarrierPeak Find_Carrier(const SpectralGrid& grid, const OtfModel& otf, const ComplexImage& carrier,
                         const SearchRegion& region);

}  // namespace korvex::patterns
