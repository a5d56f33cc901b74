// The illumination of a structured-illumination acquisition, in korvex_masks' convention.
//
// One type serves the estimator and the pipeline: patterns::PatternEstimate. Frames are
// orientation-major (frame f = a * P + p) and frame f was lit by
//     1 + m_a cos(theta) + m2_a cos(2 theta + psi_a),
//     theta = 2 pi (cos(angle_a) x + sin(angle_a) y) / period_a + phase_f,
// with x the zero-based column and y the zero-based row of the grid the pattern is given for
// (m2_a = 0 for 2-beam illumination). Images are MATLAB column-major: element (r, c, f) sits
// at f * W * H + c * H + r.
#pragma once

#include "pattern_estimate.h"

namespace korvex::acquisition {

using IlluminationPattern = korvex::patterns::PatternEstimate;
using korvex::patterns::Build_Masks;

// A pattern from its rows as the front ends hold them: per orientation angle, period,
// modulation and (empty for 2-beam illumination) modulation2 and phase2; per frame phase.
// Throws std::invalid_argument unless each per-orientation row holds one value per angle.
IlluminationPattern Pattern_From_Rows(const std::vector<double>& angle,
                                      const std::vector<double>& period,
                                      const std::vector<double>& modulation,
                                      const std::vector<double>& phase,
                                      const std::vector<double>& modulation2 = {},
                                      const std::vector<double>& phase2 = {});

// Throws std::invalid_argument, naming `name` and the faulty field, unless the pattern has
// `orientations` orientations, `frames` phases, finite values, periods of at least 2 pixels,
// depths m2 of the second harmonic in [0, 1] and m of the first in
// [0, Largest_First_Depth(m2)] (1 without a second harmonic), and, with a second harmonic, periods that keep its own
// (half of theirs) at 2 pixels or more on the grid `factor` times finer that its masks are
// built on.
void Check_Pattern(const IlluminationPattern& pattern, unsigned orientations, unsigned frames,
                   const char* name, unsigned factor = 1);

// The same illumination on a grid `factor` times finer whose sample 0 coincides with sample 0
// of the given grid (as Fourier up-sampling places it): periods in fine pixels are `factor`
// times longer; angles, depths and phases, referenced to that shared origin, are unchanged.
IlluminationPattern On_Finer_Grid(const IlluminationPattern& pattern, unsigned factor);

// The angle guesses of `angles` orientations from what a caller gave: one per orientation as
// they are; a single angle as the first orientation's, the others following at pi / angles
// steps (as the hardware nearly always spaces them); anything else unchanged, for the
// estimator to refuse.
std::vector<double> Angle_Guesses(const std::vector<double>& given, unsigned angles);

// The orientations whose estimate is too faint to trust (zero-based).
std::vector<unsigned> Low_Modulation(const IlluminationPattern& pattern);

}  // namespace korvex::acquisition
