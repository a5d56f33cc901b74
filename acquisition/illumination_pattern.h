// The illumination of a structured-illumination acquisition, in korvex_masks' convention.
//
// Frames are orientation-major (frame f = a * P + p) and frame f was lit by
//     1 + modulation[a] * cos(2 pi (cos(angle[a]) x + sin(angle[a]) y) / period[a] + phase[f])
// with x the zero-based column and y the zero-based row of the grid the pattern is given for.
// A three-beam pattern adds its second harmonic: with theta the argument of that cosine,
//     1 + modulation[a] cos(theta) + modulation2[a] cos(2 theta + phase2[a]);
// modulation2 and phase2 left empty mean a two-beam pattern.
// Images are MATLAB column-major: element (r, c, f) sits at f * W * H + c * H + r.
#pragma once

#include <vector>

namespace korvex::acquisition {

struct IlluminationPattern {
  std::vector<double> angle;       // per orientation: direction of the wave vector, radians
  std::vector<double> period;      // per orientation: pixels of the grid
  std::vector<double> modulation;  // per orientation: depth in [0, 1]
  std::vector<double> phase;       // per frame: radians
  std::vector<double> mcnr;        // per orientation when estimated; empty when given
  std::vector<double> modulation2;  // per orientation: second-harmonic depth; empty: none
  std::vector<double> phase2;       // per orientation: its phase offset, radians; empty: 0

  unsigned Orientations() const { return static_cast<unsigned>(angle.size()); }
  unsigned Frames() const { return static_cast<unsigned>(phase.size()); }
};

// Throws std::invalid_argument, naming `name` and the faulty field, unless the pattern has
// `orientations` entries per orientation, `frames` phases, finite values, periods of at least
// 2 pixels and depths in [0, 1].
void Check_Pattern(const IlluminationPattern& pattern, unsigned orientations, unsigned frames,
                   const char* name);

// The same illumination on a grid `factor` times finer whose sample 0 coincides with sample 0
// of the given grid (as Fourier up-sampling places it): periods in fine pixels are `factor`
// times longer; angles, depths and phases, referenced to that shared origin, are unchanged.
IlluminationPattern On_Finer_Grid(const IlluminationPattern& pattern, unsigned factor);

// The H x W x F masks of `pattern`, column-major, as korvex_masks builds them (through the
// estimator's mask builder, the one implementation).
template <typename T>
void Build_Masks(const IlluminationPattern& pattern, unsigned height, unsigned width, T* masks);

}  // namespace korvex::acquisition
