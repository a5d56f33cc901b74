#include "carrier_search.h"

#include <cmath>
#include <vector>

#include "cpu_parallel.h"

namespace korvex::patterns {

namespace {

// Regularises the division by the OTF, as a fraction of its peak. Below the OTF of a carrier
// at 0.85 of the cut-off (about 0.06) it changes that carrier's score by a fifth at most, while
// it keeps noise at the passband's rim, where the OTF falls to 0.01 and below, from being
// amplified past the carrier's peak on small fields (64 x 64 pixels of sparse filaments).
constexpr double kFlattening = 0.03;

}  // namespace

bool SearchRegion::Contains(double fx, double fy) const {
  const double f2 = fx * fx + fy * fy;
  if (f2 < minFrequency * minFrequency || f2 > maxFrequency * maxFrequency) return false;
  if (!constrainAngle) return true;
  const double pi = std::acos(-1.0);
  double d = std::fmod(std::atan2(fy, fx) - angle, pi);
  if (d < 0) d += pi;
  return std::min(d, pi - d) <= angleTolerance;
}

CarrierPeak Find_Carrier(const SpectralGrid& grid, const OtfModel& otf, const ComplexImage& carrier,
                         const SearchRegion& region) {
  const RealImage& o = otf.Unshifted();
  const double flattening = kFlattening * otf.Peak();
  auto score = [&](unsigned r, unsigned c) {
    const size_t i = grid.Index(r, c);
    return std::abs(carrier[i]) * o[i] / (o[i] * o[i] + flattening * flattening);
  };
  // The search compares score |score|, in the scores' order, which needs no square root of
  // |carrier|^2.
  auto squared = [&](size_t i) {
    const double d = o[i] * o[i] + flattening * flattening;
    return std::norm(carrier[i]) * (o[i] * std::fabs(o[i])) / (d * d);
  };
  std::vector<double> fy(grid.height);
  for (unsigned r = 0; r < grid.height; ++r) fy[r] = grid.Fy(r);
  // Blocks of columns in parallel, each with its best bin; the blocks' bests are then taken
  // in order, so that of equal scores the first bin wins, as in one pass.
  struct Best {
    double score = -1.0;
    unsigned r = 0, c = 0;
    size_t candidates = 0;
  };
  constexpr size_t kColumnBlock = 32;
  std::vector<Best> blocks((grid.width + kColumnBlock - 1) / kColumnBlock);
  platform::Parallel_Blocks(grid.width, kColumnBlock, [&](size_t b, size_t begin, size_t end) {
    Best best;
    for (size_t c = begin; c < end; ++c) {
      const double fx = grid.Fx(static_cast<unsigned>(c));
      for (unsigned r = 0; r < grid.height; ++r) {
        if (!region.Contains(fx, fy[r])) continue;
        ++best.candidates;
        const double s = squared(grid.Index(r, static_cast<unsigned>(c)));
        if (s > best.score) {
          best.score = s;
          best.r = r;
          best.c = static_cast<unsigned>(c);
        }
      }
    }
    blocks[b] = best;
  });
  CarrierPeak peak;
  double best = -1.0;
  unsigned bestR = 0;
  unsigned bestC = 0;
  for (const Best& block : blocks) {
    peak.candidates += block.candidates;
    if (block.score > best) {
      best = block.score;
      bestR = block.r;
      bestC = block.c;
    }
  }
  // A parabola through the peak and its neighbours along each axis.
  auto offset = [](double minus, double centre, double plus) {
    const double curvature = minus - 2.0 * centre + plus;
    if (!(curvature < 0.0)) return 0.0;
    const double d = 0.5 * (minus - plus) / curvature;
    return std::fabs(d) <= 0.5 ? d : 0.0;
  };
  const unsigned h = grid.height;
  const unsigned w = grid.width;
  const double centre = score(bestR, bestC);
  const double dr =
      offset(score((bestR + h - 1) % h, bestC), centre, score((bestR + 1) % h, bestC));
  const double dc =
      offset(score(bestR, (bestC + w - 1) % w), centre, score(bestR, (bestC + 1) % w));
  peak.power = std::norm(carrier[grid.Index(bestR, bestC)]);
  peak.fx = grid.Fx(bestC) + dc / w;
  peak.fy = grid.Fy(bestR) + dr / h;
  return peak;
}

}  // namespace korvex::patterns
