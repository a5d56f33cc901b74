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
  for (const OrientationEstimate& o : estimate.orientations) {
    if (!(std::isfinite(o.period) && o.period > 0.0)) {
      throw std::invalid_argument("Build_Masks: a period must be a positive finite number of pixels");
    }
  }
  std::vector<double> cosRow(height), sinRow(height), cosColumn(width), sinColumn(width);
  // The second harmonic's terms: 2 theta + psi split alike.
  std::vector<double> cosRow2(height), sinRow2(height), cosColumn2(width), sinColumn2(width);
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
        cosColumn2[c] = std::cos(2.0 * u + o.phase2);
        sinColumn2[c] = std::sin(2.0 * u + o.phase2);
      }
    }
    for (unsigned r = 0; r < height; ++r) {
      cosRow[r] = std::cos(ky * r);
      sinRow[r] = std::sin(ky * r);
      if (second) {
        cosRow2[r] = std::cos(2.0 * ky * r);
        sinRow2[r] = std::sin(2.0 * ky * r);
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
      const double cu2 = o.modulation2 * cosColumn2[c];
      const double su2 = o.modulation2 * sinColumn2[c];
      for (unsigned r = 0; r < height; ++r) {
        column[r] = static_cast<T>(1.0 + (cu * cosRow[r] - su * sinRow[r]) +
                                   (cu2 * cosRow2[r] - su2 * sinRow2[r]));
      }
    }
  }
}

template void Build_Masks<float>(const PatternEstimate&, unsigned, unsigned, float*);
template void Build_Masks<double>(const PatternEstimate&, unsigned, unsigned, double*);

}  // namespace korvex::patterns
