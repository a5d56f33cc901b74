#include "illumination_pattern.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "pattern_estimate.h"

namespace korvex::acquisition {

namespace {

void Check_Values(const std::vector<double>& values, size_t count, const std::string& field) {
  if (values.size() != count) {
    throw std::invalid_argument(field + " must hold " + std::to_string(count) + " values, got " +
                                std::to_string(values.size()));
  }
  for (double v : values) {
    if (!std::isfinite(v)) throw std::invalid_argument(field + " holds NaN or Inf");
  }
}

}  // namespace

void Check_Pattern(const IlluminationPattern& pattern, unsigned orientations, unsigned frames,
                   const char* name) {
  const std::string prefix = std::string(name) + ".";
  Check_Values(pattern.angle, orientations, prefix + "angle");
  Check_Values(pattern.period, orientations, prefix + "period");
  Check_Values(pattern.modulation, orientations, prefix + "modulation");
  Check_Values(pattern.phase, frames, prefix + "phase");
  if (!pattern.modulation2.empty()) {
    Check_Values(pattern.modulation2, orientations, prefix + "modulation2");
  }
  if (!pattern.phase2.empty()) Check_Values(pattern.phase2, orientations, prefix + "phase2");
  for (double period : pattern.period) {
    if (period < 2.0) {
      throw std::invalid_argument(prefix + "period must be at least 2 pixels (shorter periods " +
                                  "alias), got " + std::to_string(period));
    }
  }
  for (double depth : pattern.modulation) {
    if (depth < 0.0 || depth > 1.0) {
      throw std::invalid_argument(prefix + "modulation must lie in [0, 1], got " +
                                  std::to_string(depth));
    }
  }
  for (double depth : pattern.modulation2) {
    if (depth < 0.0 || depth > 1.0) {
      throw std::invalid_argument(prefix + "modulation2 must lie in [0, 1], got " +
                                  std::to_string(depth));
    }
  }
}

IlluminationPattern On_Finer_Grid(const IlluminationPattern& pattern, unsigned factor) {
  IlluminationPattern fine = pattern;
  for (double& period : fine.period) period *= factor;
  return fine;
}

template <typename T>
void Build_Masks(const IlluminationPattern& pattern, unsigned height, unsigned width, T* masks) {
  korvex::patterns::PatternEstimate estimate;
  for (unsigned a = 0; a < pattern.Orientations(); ++a) {
    korvex::patterns::OrientationEstimate o;
    o.angle = pattern.angle[a];
    o.period = pattern.period[a];
    o.modulation = pattern.modulation[a];
    if (!pattern.modulation2.empty()) o.modulation2 = pattern.modulation2[a];
    if (!pattern.phase2.empty()) o.phase2 = pattern.phase2[a];
    estimate.orientations.push_back(o);
  }
  estimate.phases = pattern.phase;
  korvex::patterns::Build_Masks(estimate, height, width, masks);
}

template void Build_Masks<float>(const IlluminationPattern&, unsigned, unsigned, float*);
template void Build_Masks<double>(const IlluminationPattern&, unsigned, unsigned, double*);

}  // namespace korvex::acquisition
