#include "carrier_search.h"

#include <cmath>

namespace korvex::patterns {

bool SearchRegion::Contains(double fx, double fy) const {
  const double f2 = fx * fx + fy * fy;
  if (f2 < minFrequency * minFrequency || f2 > maxFrequency * maxFrequency) return false;
  if (!constrainAngle) return true;
  const double pi = std::acos(-1.0);
  double d = std::fmod(std::atan2(fy, fx) - angle, pi);
  if (d < 0) d += pi;
  return std::min(d, pi - d) <= angleTolerance;
}

CarrierSearch::CarrierSearch(const SpectralGrid& grid, const OtfModel& otf,
                             SpectrumTransform& transform)
    : grid_(grid), otf_(otf), transform_(transform) {}

// The match at shift q is X(q) = sum_k (G O)(k) conj((B0 O)(k - q)); with G noise of uniform
// spread its variance is proportional to V(q) = sum_k O(k)^2 |B0 O|^2(k - q). Both are
// correlations, computed as transforms of products of inverse transforms. Dividing by
// sqrt(V) keeps the steep fall of the match away from zero frequency from pulling the peak
// to the inner edge of the search ring.
void CarrierSearch::Set_Widefield(const ComplexImage& widefield) {
  const RealImage& o = otf_.Unshifted();
  widefieldImage_.assign(grid_.pixels, Complex());
  ComplexImage otfSquared(grid_.pixels);
  ComplexImage powerImage(grid_.pixels);
  for (size_t i = 0; i < grid_.pixels; ++i) {
    widefieldImage_[i] = widefield[i] * o[i];
    otfSquared[i] = o[i] * o[i];
    powerImage[i] = std::norm(widefieldImage_[i]);
  }
  transform_.Inverse(widefieldImage_);
  transform_.Inverse(otfSquared);
  transform_.Inverse(powerImage);
  for (size_t i = 0; i < grid_.pixels; ++i) powerImage[i] = otfSquared[i] * std::conj(powerImage[i]);
  transform_.Forward(powerImage);
  normalisation_.resize(grid_.pixels);
  for (size_t i = 0; i < grid_.pixels; ++i) normalisation_[i] = std::sqrt(std::max(0.0, powerImage[i].real()));
}

CarrierPeak CarrierSearch::Find(const ComplexImage& carrier, const SearchRegion& region) {
  const RealImage& o = otf_.Unshifted();
  ComplexImage match(grid_.pixels);
  for (size_t i = 0; i < grid_.pixels; ++i) match[i] = carrier[i] * o[i];
  transform_.Inverse(match);
  for (size_t i = 0; i < grid_.pixels; ++i) match[i] *= std::conj(widefieldImage_[i]);
  transform_.Forward(match);

  RealImage score(grid_.pixels, 0.0);
  double peakNorm = 0.0;
  for (double v : normalisation_) peakNorm = std::max(peakNorm, v);
  for (size_t i = 0; i < grid_.pixels; ++i) {
    // Where the overlap vanishes there is nothing to match.
    if (normalisation_[i] > 1e-9 * peakNorm) score[i] = std::abs(match[i]) / normalisation_[i];
  }

  CarrierPeak peak;
  double best = -1.0;
  unsigned bestR = 0;
  unsigned bestC = 0;
  for (unsigned c = 0; c < grid_.width; ++c) {
    for (unsigned r = 0; r < grid_.height; ++r) {
      if (!region.Contains(grid_.Fx(c), grid_.Fy(r))) continue;
      ++peak.candidates;
      const double s = score[grid_.Index(r, c)];
      if (s > best) {
        best = s;
        bestR = r;
        bestC = c;
      }
    }
  }
  // A parabola through the peak and its neighbours along each axis.
  auto offset = [](double minus, double centre, double plus) {
    const double curvature = minus - 2.0 * centre + plus;
    if (!(curvature < 0.0)) return 0.0;
    const double d = 0.5 * (minus - plus) / curvature;
    return std::fabs(d) <= 0.5 ? d : 0.0;
  };
  const unsigned h = grid_.height;
  const unsigned w = grid_.width;
  const double centre = score[grid_.Index(bestR, bestC)];
  const double dr = offset(score[grid_.Index((bestR + h - 1) % h, bestC)], centre,
                           score[grid_.Index((bestR + 1) % h, bestC)]);
  const double dc = offset(score[grid_.Index(bestR, (bestC + w - 1) % w)], centre,
                           score[grid_.Index(bestR, (bestC + 1) % w)]);
  peak.fx = grid_.Fx(bestC) + dc / w;
  peak.fy = grid_.Fy(bestR) + dr / h;
  return peak;
}

}  // namespace korvex::patterns
