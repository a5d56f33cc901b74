// OtfModel::Shifted against the OTF read bin by bin (At): the fits' filters come from it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "otf_model.h"

namespace {

using korvex::patterns::OtfModel;
using korvex::patterns::RealImage;
using korvex::patterns::SpectralGrid;

// A centred OTF without symmetry (so that a mirrored or transposed read shows), zero beyond
// an ellipse, with a little noise everywhere.
RealImage Lopsided_Otf(unsigned h, unsigned w, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> noise(0.0, 1e-4);
  RealImage otf(size_t{h} * w);
  for (unsigned c = 0; c < w; ++c) {
    for (unsigned r = 0; r < h; ++r) {
      const double x = (double(c) - w / 2) / (0.4 * w);
      const double y = (double(r) - h / 2) / (0.3 * h);
      const double q = std::hypot(x, y);
      otf[size_t{c} * h + r] = (q < 1.0 ? (1.0 - q) * (1.0 + 0.3 * x + 0.1 * y) : 0.0) + noise(rng);
    }
  }
  return otf;
}

// Read at every bin but every third, and at a few bins out of order.
void Expect_Shifted_Equals_At(unsigned h, unsigned w, double dx, double dy) {
  const SpectralGrid grid(h, w);
  const OtfModel otf(grid, Lopsided_Otf(h, w, h * 31 + w));
  std::vector<size_t> bins;
  for (size_t i = 0; i < grid.pixels; ++i) {
    if (i % 3 != 1) bins.push_back(i);
  }
  for (size_t i : {grid.pixels - 1, size_t{0}, size_t{h} + 2, size_t{5}}) bins.push_back(i);
  RealImage shifted, scratch;
  otf.Shifted(dx, dy, bins, shifted, scratch);
  ASSERT_EQ(shifted.size(), bins.size());
  double worst = 0.0;
  for (size_t j = 0; j < bins.size(); ++j) {
    const unsigned r = static_cast<unsigned>(bins[j] % h);
    const unsigned c = static_cast<unsigned>(bins[j] / h);
    const double expected = otf.At(grid.Fx(c) + dx, grid.Fy(r) + dy);
    worst = std::max(worst, std::fabs(shifted[j] - expected));
  }
  EXPECT_LT(worst, 1e-12) << h << " x " << w << ", shift (" << dx << ", " << dy << ")";
}

TEST(OtfModel, ShiftedMatchesPointReadsOnEvenAndOddGrids) {
  const double shifts[][2] = {{0.0, 0.0},       {0.1234, -0.0567}, {-0.2311, 0.3079},
                              {0.5, -0.5},      {1.0 / 64, 0.0},   {-0.01, 1.0 / 48},
                              {0.73, 0.41},     {-1.7, 0.2}};
  for (const auto& s : shifts) {
    Expect_Shifted_Equals_At(64, 64, s[0], s[1]);
    Expect_Shifted_Equals_At(48, 37, s[0], s[1]);
    Expect_Shifted_Equals_At(31, 50, s[0], s[1]);
  }
}

TEST(OtfModel, ShiftedIsZeroWhollyOffTheGrid) {
  const SpectralGrid grid(32, 40);
  const OtfModel otf(grid, Lopsided_Otf(32, 40, 3));
  std::vector<size_t> bins(grid.pixels);
  for (size_t i = 0; i < bins.size(); ++i) bins[i] = i;
  RealImage shifted(7, 1.0), scratch;
  otf.Shifted(1e9, -3.0, bins, shifted, scratch);
  ASSERT_EQ(shifted.size(), grid.pixels);
  for (double v : shifted) EXPECT_EQ(v, 0.0);
}

}  // namespace
