// Masks from pattern parameters: the one implementation the pipeline, the MEX and the
// bindings share.
#include "illumination_pattern.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace korvex::acquisition {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

void Check_Values(const std::vector<double>& values, size_t count, const std::string& field) {
  if (values.size() != count) {
    throw std::invalid_argument(field + " must hold " + std::to_string(count) +
                                " values, got " + std::to_string(values.size()));
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
}

IlluminationPattern On_Finer_Grid(const IlluminationPattern& pattern, unsigned factor) {
  IlluminationPattern fine = pattern;
  for (double& period : fine.period) period *= factor;
  return fine;
}

template <typename T>
void Build_Masks(const IlluminationPattern& pattern, unsigned height, unsigned width, T* masks) {
  const unsigned phasesPerAngle = pattern.Frames() / pattern.Orientations();
  const size_t pixels = size_t{height} * width;
  std::vector<double> cosRow(height), sinRow(height), cosColumn(width), sinColumn(width);
  for (unsigned f = 0; f < pattern.Frames(); ++f) {
    const unsigned a = f / phasesPerAngle;
    const double kx = kTwoPi * std::cos(pattern.angle[a]) / pattern.period[a];
    const double ky = kTwoPi * std::sin(pattern.angle[a]) / pattern.period[a];
    // cos(u + v) = cos u cos v - sin u sin v with u along the columns (phase included) and v
    // down the rows: H + W cosines per frame instead of H * W, to rounding the same values.
    for (unsigned c = 0; c < width; ++c) {
      const double u = kx * c + pattern.phase[f];
      cosColumn[c] = std::cos(u);
      sinColumn[c] = std::sin(u);
    }
    for (unsigned r = 0; r < height; ++r) {
      cosRow[r] = std::cos(ky * r);
      sinRow[r] = std::sin(ky * r);
    }
    const double depth = pattern.modulation[a];
    T* frame = masks + f * pixels;
    for (unsigned c = 0; c < width; ++c) {
      const double cu = depth * cosColumn[c];
      const double su = depth * sinColumn[c];
      T* column = frame + size_t{c} * height;
      for (unsigned r = 0; r < height; ++r) {
        column[r] = static_cast<T>(1.0 + (cu * cosRow[r] - su * sinRow[r]));
      }
    }
  }
}

template void Build_Masks<float>(const IlluminationPattern&, unsigned, unsigned, float*);
template void Build_Masks<double>(const IlluminationPattern&, unsigned, unsigned, double*);

}  // namespace korvex::acquisition
