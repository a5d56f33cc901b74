#include "illumination_pattern.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace korvex::acquisition {

namespace {

void Check_Finite(double value, const std::string& field) {
  if (!std::isfinite(value)) throw std::invalid_argument(field + " holds NaN or Inf");
}

void Check_Depth(double depth, double largest, const std::string& field,
                 const std::string& reason = "") {
  if (depth < 0.0 || depth > largest) {
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", largest);
    throw std::invalid_argument(field + " must lie in [0, " + bound + "]" + reason + ", got " +
                                std::to_string(depth));
  }
}

}  // namespace

IlluminationPattern Pattern_From_Rows(const std::vector<double>& angle,
                                      const std::vector<double>& period,
                                      const std::vector<double>& modulation,
                                      const std::vector<double>& phase,
                                      const std::vector<double>& modulation2,
                                      const std::vector<double>& phase2) {
  const size_t count = angle.size();
  const auto row = [count](const std::vector<double>& values, bool optional, const char* name) {
    if (values.size() == count || (optional && values.empty())) return;
    throw std::invalid_argument(std::string("pattern.") + name + " must hold one value per " +
                                "orientation (" + std::to_string(count) + "), got " +
                                std::to_string(values.size()));
  };
  row(period, false, "period");
  row(modulation, false, "modulation");
  row(modulation2, true, "modulation2");
  row(phase2, true, "phase2");
  IlluminationPattern pattern;
  for (size_t a = 0; a < count; ++a) {
    korvex::patterns::OrientationEstimate o;
    o.angle = angle[a];
    o.period = period[a];
    o.modulation = modulation[a];
    o.modulation2 = modulation2.empty() ? 0.0 : modulation2[a];
    o.phase2 = phase2.empty() ? 0.0 : phase2[a];
    pattern.orientations.push_back(o);
  }
  pattern.phases = phase;
  return pattern;
}

void Check_Pattern(const IlluminationPattern& pattern, unsigned orientations, unsigned frames,
                   const char* name, unsigned factor) {
  const std::string prefix = std::string(name) + ".";
  const auto count = [&](size_t got, size_t wanted, const char* field) {
    if (got != wanted) {
      throw std::invalid_argument(prefix + field + " must hold " + std::to_string(wanted) +
                                  " values, got " + std::to_string(got));
    }
  };
  count(pattern.orientations.size(), orientations, "angle");
  count(pattern.phases.size(), frames, "phase");
  for (const auto& o : pattern.orientations) {
    Check_Finite(o.angle, prefix + "angle");
    Check_Finite(o.period, prefix + "period");
    Check_Finite(o.modulation, prefix + "modulation");
    Check_Finite(o.modulation2, prefix + "modulation2");
    Check_Finite(o.phase2, prefix + "phase2");
  }
  for (double phase : pattern.phases) Check_Finite(phase, prefix + "phase");
  for (const auto& o : pattern.orientations) {
    if (o.period < 2.0) {
      throw std::invalid_argument(prefix + "period must be at least 2 pixels (shorter periods " +
                                  "alias), got " + std::to_string(o.period));
    }
    if (o.modulation2 != 0.0 && o.period * factor < 4.0) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "period must be at least %g pixels with a second harmonic (whose period, "
                    "half of it, would alias on the masks' grid, %u times finer), got %g",
                    4.0 / factor, factor, o.period);
      throw std::invalid_argument(prefix + text);
    }
    Check_Depth(o.modulation2, 1.0, prefix + "modulation2");
    // A deeper first harmonic would make the mask negative over part of its period.
    char reason[96] = "";
    if (o.modulation2 != 0.0) {
      std::snprintf(reason, sizeof reason, " (with modulation2 %g: the mask must not go negative)",
                    o.modulation2);
    }
    Check_Depth(o.modulation, patterns::Largest_First_Depth(o.modulation2),
                prefix + "modulation", reason);
  }
}

IlluminationPattern On_Finer_Grid(const IlluminationPattern& pattern, unsigned factor) {
  IlluminationPattern fine = pattern;
  for (auto& o : fine.orientations) o.period *= factor;
  return fine;
}

std::vector<double> Angle_Guesses(const std::vector<double>& given, unsigned angles) {
  if (given.size() != 1 || angles < 2) return given;
  const double pi = std::acos(-1.0);
  std::vector<double> spread;
  for (unsigned a = 0; a < angles; ++a) spread.push_back(given[0] + a * pi / angles);
  return spread;
}

std::vector<unsigned> Low_Modulation(const IlluminationPattern& pattern) {
  std::vector<unsigned> low;
  for (size_t a = 0; a < pattern.orientations.size(); ++a) {
    if (pattern.orientations[a].lowModulation) low.push_back(static_cast<unsigned>(a));
  }
  return low;
}

}  // namespace korvex::acquisition
