// Masks from an estimate, in korvex_masks' convention (see pattern_estimate.h).
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
  std::vector<double> argument(n);
  for (size_t a = 0; a < angles; ++a) {
    const OrientationEstimate& o = estimate.orientations[a];
    const double scale = 2.0 * pi / o.period;
    const double cx = std::cos(o.angle);
    const double sy = std::sin(o.angle);
    for (unsigned c = 0; c < width; ++c) {
      for (unsigned r = 0; r < height; ++r) {
        argument[size_t{c} * height + r] = scale * (cx * c + sy * r);
      }
    }
    for (size_t p = 0; p < phases; ++p) {
      const double phase = estimate.phases[a * phases + p];
      T* mask = masks + (a * phases + p) * n;
      for (size_t i = 0; i < n; ++i) {
        mask[i] = static_cast<T>(1.0 + o.modulation * std::cos(argument[i] + phase));
      }
    }
  }
}

template void Build_Masks<float>(const PatternEstimate&, unsigned, unsigned, float*);
template void Build_Masks<double>(const PatternEstimate&, unsigned, unsigned, double*);

}  // namespace korvex::patterns
