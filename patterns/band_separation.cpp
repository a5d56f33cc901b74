#include "band_separation.h"

#include <array>
#include <cmath>
#include <stdexcept>

#include "caller_terms.h"

namespace korvex::patterns {

// Of the normal matrix's determinant over n^3: 4 for n equal steps, near 0 for phases that
// all but coincide.
constexpr double kSeparable = 1e-3;

// Normal equations of D_p = b0 + 2 cos(phi_p) Re g - 2 sin(phi_p) Im g, solved once for the
// 3 x P pseudo-inverse.
static double Determinant(const std::vector<double>& phases, double m[3][3]);

bool Separable(const std::vector<double>& phases) {
  double m[3][3];
  const double count = static_cast<double>(phases.size());
  return std::fabs(Determinant(phases, m)) > kSeparable * count * count * count;
}

static double Determinant(const std::vector<double>& phases, double m[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = 0.0;
  for (double phase : phases) {
    const double row[3] = {1.0, 2.0 * std::cos(phase), -2.0 * std::sin(phase)};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] += row[i] * row[j];
  }
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) +
         m[0][1] * (m[1][2] * m[2][0] - m[1][0] * m[2][2]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

BandWeights Separation_Weights(const std::vector<double>& phases) {
  const size_t n = phases.size();
  std::vector<std::array<double, 3>> rows(n);
  double m[3][3] = {};
  for (size_t p = 0; p < n; ++p) {
    rows[p] = {1.0, 2.0 * std::cos(phases[p]), -2.0 * std::sin(phases[p])};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] += rows[p][i] * rows[p][j];
  }
  // Inverse of the symmetric 3 x 3 matrix by cofactors.
  const double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  const double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
  const double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
  const double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
  const double count = static_cast<double>(n);
  if (!(std::fabs(det) > kSeparable * count * count * count)) {
    throw std::invalid_argument(
        Caller_Prefix() + "the phases of an orientation do not separate its bands");
  }
  double inv[3][3];
  inv[0][0] = c00 / det;
  inv[0][1] = c01 / det;
  inv[0][2] = c02 / det;
  inv[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
  inv[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
  inv[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
  inv[1][0] = inv[0][1];
  inv[2][0] = inv[0][2];
  inv[2][1] = inv[1][2];

  BandWeights weights;
  weights.widefield.resize(n);
  weights.carrier.resize(n);
  for (size_t p = 0; p < n; ++p) {
    double solution[3];
    for (int i = 0; i < 3; ++i) {
      solution[i] = inv[i][0] * rows[p][0] + inv[i][1] * rows[p][1] + inv[i][2] * rows[p][2];
    }
    weights.widefield[p] = solution[0];
    weights.carrier[p] = Complex(solution[1], solution[2]);
  }
  return weights;
}

}  // namespace korvex::patterns
