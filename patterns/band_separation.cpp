#include "band_separation.h"

#include <array>
#include <cmath>
#include <stdexcept>

#include "caller_terms.h"

namespace korvex::patterns {

namespace {

// A pivot below this fraction of the frame count, in the elimination of the normal
// equations, means phases that leave a band undetermined (equal steps give pivots of n and
// 2n; phases that all but coincide, pivots near 0).
constexpr double kSeparable = 1e-3;
constexpr int kMaxUnknowns = 5;  // b0, Re g, Im g, Re g2, Im g2

// Row p of the model D_p = b0 + 2 cos(phi_p) Re g - 2 sin(phi_p) Im g (+ the same at 2 phi_p).
std::array<double, kMaxUnknowns> Model_Row(double phase) {
  return {1.0, 2.0 * std::cos(phase), -2.0 * std::sin(phase), 2.0 * std::cos(2.0 * phase),
          -2.0 * std::sin(2.0 * phase)};
}

// The inverse of the normal matrix of `unknowns` unknowns, by Gauss-Jordan elimination with
// partial pivoting; false where the phases cannot separate the bands.
bool Invert_Normal(const std::vector<double>& phases, int unknowns,
                   double inverse[kMaxUnknowns][kMaxUnknowns]) {
  const size_t n = phases.size();
  if (n < static_cast<size_t>(unknowns)) return false;
  double m[kMaxUnknowns][2 * kMaxUnknowns] = {};
  for (double phase : phases) {
    const auto row = Model_Row(phase);
    for (int i = 0; i < unknowns; ++i)
      for (int j = 0; j < unknowns; ++j) m[i][j] += row[i] * row[j];
  }
  for (int i = 0; i < unknowns; ++i) m[i][unknowns + i] = 1.0;
  const double smallest = kSeparable * static_cast<double>(n);
  for (int col = 0; col < unknowns; ++col) {
    int pivot = col;
    for (int r = col + 1; r < unknowns; ++r) {
      if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
    }
    if (!(std::fabs(m[pivot][col]) > smallest)) return false;
    for (int k = 0; k < 2 * unknowns; ++k) std::swap(m[col][k], m[pivot][k]);
    const double d = m[col][col];
    for (int k = 0; k < 2 * unknowns; ++k) m[col][k] /= d;
    for (int r = 0; r < unknowns; ++r) {
      if (r == col || m[r][col] == 0.0) continue;
      const double f = m[r][col];
      for (int k = 0; k < 2 * unknowns; ++k) m[r][k] -= f * m[col][k];
    }
  }
  for (int i = 0; i < unknowns; ++i)
    for (int j = 0; j < unknowns; ++j) inverse[i][j] = m[i][unknowns + j];
  return true;
}

}  // namespace

bool Separable(const std::vector<double>& phases, bool second) {
  double inverse[kMaxUnknowns][kMaxUnknowns];
  return Invert_Normal(phases, second ? 5 : 3, inverse);
}

BandWeights Separation_Weights(const std::vector<double>& phases, bool second) {
  const int unknowns = second ? 5 : 3;
  double inverse[kMaxUnknowns][kMaxUnknowns];
  if (!Invert_Normal(phases, unknowns, inverse)) {
    throw std::invalid_argument(
        Caller_Prefix() + "the phases of an orientation do not separate its bands");
  }
  const size_t n = phases.size();
  BandWeights weights;
  weights.widefield.resize(n);
  weights.carrier.resize(n);
  if (second) weights.second.resize(n);
  for (size_t p = 0; p < n; ++p) {
    const auto row = Model_Row(phases[p]);
    double solution[kMaxUnknowns] = {};
    for (int i = 0; i < unknowns; ++i)
      for (int j = 0; j < unknowns; ++j) solution[i] += inverse[i][j] * row[j];
    weights.widefield[p] = solution[0];
    weights.carrier[p] = Complex(solution[1], solution[2]);
    if (second) weights.second[p] = Complex(solution[3], solution[4]);
  }
  return weights;
}

}  // namespace korvex::patterns
