// Separating one orientation's frames into its bands. With phases phi_p, frame p is
//     D_p = b0 + e^{i phi_p} g + e^{-i phi_p} conj(g),
// b0 the widefield image and g the band that carries the pattern's wave vector. The
// least-squares solution for (b0, g) from P >= 3 frames is a fixed combination of the frames,
// so it applies alike to images and to their spectra.
#pragma once

#include <type_traits>
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

// sum_p weight[p] * images[p], for real or complex weights and images.
template <typename Weight, typename Pixel>
std::vector<Complex> Combine(const std::vector<Weight>& weights,
                             const std::vector<const std::vector<Pixel>*>& images) {
  std::vector<Complex> out(images[0]->size());
  for (size_t p = 0; p < weights.size(); ++p) {
    const Complex w(weights[p]);
    const std::vector<Pixel>& image = *images[p];
    for (size_t i = 0; i < out.size(); ++i) {
      if constexpr (std::is_floating_point_v<Pixel>) {
        out[i] += w * static_cast<double>(image[i]);
      } else {
        out[i] += w * image[i];
      }
    }
  }
  return out;
}

// The same, only at the given indices of `out` (the rest is left as it is).
template <typename Weight>
void Combine_At(const std::vector<Weight>& weights,
                const std::vector<const std::vector<Complex>*>& images,
                const std::vector<size_t>& indices, std::vector<Complex>& out) {
  for (size_t i : indices) {
    Complex sum;
    for (size_t p = 0; p < weights.size(); ++p) sum += weights[p] * (*images[p])[i];
    out[i] = sum;
  }
}

}  // namespace korvex::patterns
