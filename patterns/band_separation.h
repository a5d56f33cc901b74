// Separating one orientation's frames into its bands. With phases phi_p, frame p is
//     D_p = b0 + e^{i phi_p} g + e^{-i phi_p} conj(g),
// b0 the widefield image and g the band that carries the pattern's wave vector. The
// least-squares solution for (b0, g) from P >= 3 frames is a fixed combination of the frames,
// so it applies alike to images and to their spectra.
#pragma once

#include <vector>

#include "spectral_grid.h"

namespace korvex::patterns {

struct BandWeights {
  std::vector<double> widefield;  // b0 = sum_p widefield[p] D_p
  std::vector<Complex> carrier;   // g = sum_p carrier[p] D_p
  std::vector<Complex> second;    // g2 = sum_p second[p] D_p; empty unless asked for
};

// For 3-beam illumination each frame also holds e^{2 i phi_p} g2 + e^{-2 i phi_p} conj(g2),
// g2 the band of the second harmonic at twice the wave vector; with `second` the bands are
// solved with it (at least 5 frames), which keeps it out of b0 and g whatever the phases.

// The weights for the given phases (radians, one per frame of the orientation); throws
// std::invalid_argument where the phases cannot separate the bands (see Separable).
BandWeights Separation_Weights(const std::vector<double>& phases, bool second = false);

// Whether the phases are spread enough to separate the bands.
bool Separable(const std::vector<double>& phases, bool second = false);

}  // namespace korvex::patterns
