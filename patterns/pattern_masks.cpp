// Masks from an estimate, in korvex_masks' convention (see pattern_estimate.h): the one
// implementation that the estimator's MEX, the acquisition pipeline and the bindings share.
#include <cmath>
#include <stdexcept>

#include "pattern_estimate.h"

namespace korvex::patterns {

template <typename T>
void Build_Masks(const PatternEstimate& estimate, unsigned height, unsigned width, T* masks) {
  const size_t angles = estimate.orientations.size();
  if (angles == 0 || estimate.phases.size() % angles != 0) {
    throw std::invalid_argument(
        "Build_Masks: the estimate's phases are not a whole number per orientation");
  }
  const size_t phases = estimate.phases.size() / angles;
  const size_t n = size_t{height} * width;
  const double pi = std::acos(-1.0);
  std::vector<double> cosRow(height), sinRow(height), cosColumn(width), sinColumn(width);
  // The second harmonic's, used when its depth is not zero: cos(2 (u + v) + psi).
  std::vector<double> cos2Row(height), sin2Row(height), cos2Column(width), sin2Column(width);
  for (size_t f = 0; f < estimate.phases.size(); ++f) {
    const OrientationEstimate& o = estimate.orientations[f / phases];
    const double kx = 2.0 * pi * std::cos(o.angle) / o.period;
    const double ky = 2.0 * pi * std::sin(o.angle) / o.period;
    const bool second = o.modulation2 != 0.0;
    // cos(u + v) = cos u cos v - sin u sin v, u along the columns (phase included) and v
    // down the rows: H + W cosines per frame instead of H W, the same values to rounding.
    for (unsigned c = 0; c < width; ++c) {
      const double u = kx * c + estimate.phases[f];
      cosColumn[c] = std::cos(u);
      sinColumn[c] = std::sin(u);
      if (second) {
        cos2Column[c] = o.modulation2 * std::cos(2.0 * u + o.phase2);
        sin2Column[c] = o.modulation2 * std::sin(2.0 * u + o.phase2);
      }
    }
    for (unsigned r = 0; r < height; ++r) {
      cosRow[r] = std::cos(ky * r);
      sinRow[r] = std::sin(ky * r);
      if (second) {
        cos2Row[r] = std::cos(2.0 * ky * r);
        sin2Row[r] = std::sin(2.0 * ky * r);
      }
    }
    T* mask = masks + f * n;
    for (unsigned c = 0; c < width; ++c) {
      const double cu = o.modulation * cosColumn[c];
      const double su = o.modulation * sinColumn[c];
      T* column = mask + size_t{c} * height;
      if (!second) {
        for (unsigned r = 0; r < height; ++r) {
          column[r] = static_cast<T>(1.0 + (cu * cosRow[r] - su * sinRow[r]));
        }
        continue;
      }
      const double c2 = cos2Column[c], s2 = sin2Column[c];
      for (unsigned r = 0; r < height; ++r) {
        column[r] = static_cast<T>(1.0 + (cu * cosRow[r] - su * sinRow[r]) +
                                   (c2 * cos2Row[r] - s2 * sin2Row[r]));
      }
    }
  }
}

template void Build_Masks<float>(const PatternEstimate&, unsigned, unsigned, float*);
template void Build_Masks<double>(const PatternEstimate&, unsigned, unsigned, double*);

}  // namespace korvex::patterns
