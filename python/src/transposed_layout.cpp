#include "transposed_layout.h"

#include <cmath>

namespace korvex::python {

namespace {

constexpr double kPi = 3.141592653589793238462643383280;

// pi/2 - angle in [0, pi); whether that took a turn by pi.
double Swapped(double angle, bool& turned) {
  double swapped = std::remainder(kPi / 2 - angle, 2 * kPi);  // (-pi, pi]
  turned = false;
  if (swapped < 0) {
    swapped += kPi;
    turned = true;
  } else if (swapped >= kPi) {
    swapped -= kPi;
    turned = true;
  }
  return swapped;
}

double Wrapped_Phase(double phase) {
  const double wrapped = std::fmod(phase, 2 * kPi);
  return wrapped < 0 ? wrapped + 2 * kPi : wrapped;
}

}  // namespace

double Swap_Angle(double angle) {
  bool turned = false;
  return Swapped(angle, turned);
}

korvex::acquisition::IlluminationPattern Swap_Axes(
    const korvex::acquisition::IlluminationPattern& pattern) {
  korvex::acquisition::IlluminationPattern swapped = pattern;
  const size_t orientations = pattern.orientations.size();
  const size_t phases = orientations == 0 ? 0 : pattern.phases.size() / orientations;
  for (size_t a = 0; a < orientations; ++a) {
    bool turned = false;
    auto& o = swapped.orientations[a];
    o.angle = Swapped(pattern.orientations[a].angle, turned);
    if (!turned) continue;
    o.phase2 = Wrapped_Phase(-o.phase2);
    for (size_t p = a * phases; p < (a + 1) * phases; ++p) {
      swapped.phases[p] = Wrapped_Phase(-pattern.phases[p]);
    }
  }
  return swapped;
}

}  // namespace korvex::python
