// Masks from pattern parameters: korvex_masks' formula with its second harmonic, and the fine
// grid's masks against masks evaluated directly at the fine samples' camera coordinates.
#include "illumination_pattern.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

namespace {

using korvex::acquisition::Build_Masks;
using korvex::acquisition::Check_Pattern;
using korvex::acquisition::IlluminationPattern;
using korvex::acquisition::On_Finer_Grid;

constexpr double kTwoPi = 6.283185307179586476925286766559;

// The last orientation carries a second harmonic, the others do not.
IlluminationPattern Uneven_Pattern() {
  IlluminationPattern p;
  p.orientations.resize(3);
  const double angle[] = {0.13, 1.21, 2.19}, period[] = {3.1, 2.95, 4.3},
               modulation[] = {0.9, 0.6, 1.0};
  for (unsigned a = 0; a < 3; ++a) {
    p.orientations[a].angle = angle[a];
    p.orientations[a].period = period[a];
    p.orientations[a].modulation = modulation[a];
  }
  p.orientations[2].modulation2 = 0.55;
  p.orientations[2].phase2 = 2.4;
  p.phases = {0.1, 2.2, 4.3, 5.9, 1.7, 3.6, 0.0, 2.0, 4.5};  // unequal steps
  return p;
}

// Frame f at a point (x, y) given in camera pixels.
double Direct(const IlluminationPattern& p, unsigned f, double x, double y) {
  const auto& o = p.orientations[f / (p.phases.size() / p.orientations.size())];
  const double theta =
      kTwoPi * (std::cos(o.angle) * x + std::sin(o.angle) * y) / o.period + p.phases[f];
  return 1 + o.modulation * std::cos(theta) + o.modulation2 * std::cos(2 * theta + o.phase2);
}

TEST(IlluminationMasks, FineGridMasksMatchMasksAtFineCoordinates) {
  const IlluminationPattern camera = Uneven_Pattern();
  for (unsigned factor : {1u, 2u, 3u}) {
    const unsigned h = 13 * factor, w = 17 * factor;
    std::vector<double> masks(size_t{h} * w * 9);
    Build_Masks(On_Finer_Grid(camera, factor), h, w, masks.data());
    double worst = 0;
    for (unsigned f = 0; f < 9; ++f) {
      for (unsigned c = 0; c < w; ++c) {
        for (unsigned r = 0; r < h; ++r) {
          const double direct = Direct(camera, f, double(c) / factor, double(r) / factor);
          worst = std::max(worst, std::abs(masks[(size_t{f} * w + c) * h + r] - direct));
        }
      }
    }
    EXPECT_LT(worst, 1e-12) << "factor " << factor;
  }
}

TEST(IlluminationMasks, SinglePrecisionMasksRoundTheSameValues) {
  const IlluminationPattern p = Uneven_Pattern();
  std::vector<double> exact(20 * 24 * 9);
  std::vector<float> rounded(exact.size());
  Build_Masks(p, 20, 24, exact.data());
  Build_Masks(p, 20, 24, rounded.data());
  for (size_t i = 0; i < exact.size(); ++i) ASSERT_EQ(rounded[i], float(exact[i]));
}

TEST(IlluminationMasks, CheckNamesTheFaultyField) {
  const auto message = [](IlluminationPattern p, unsigned factor = 1) {
    try {
      Check_Pattern(p, 3, 9, "pattern", factor);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  IlluminationPattern p = Uneven_Pattern();
  EXPECT_EQ(message(p), "");
  p.phases.pop_back();
  EXPECT_EQ(message(p), "pattern.phase must hold 9 values, got 8");
  p = Uneven_Pattern();
  p.orientations[1].period = 1.5;
  EXPECT_NE(message(p).find("pattern.period must be at least 2 pixels"), std::string::npos);
  p = Uneven_Pattern();
  p.orientations[2].period = 3.5;  // its second harmonic would be 1.75 pixels
  EXPECT_NE(message(p).find("pattern.period must be at least 4 pixels with a second harmonic"),
            std::string::npos);
  EXPECT_EQ(message(p, 2), "");  // 3.5 pixels on masks built twice finer
  p = Uneven_Pattern();
  p.orientations[1].modulation = 1.2;
  EXPECT_NE(message(p).find("pattern.modulation must lie in [0, 1], got 1.2"), std::string::npos);
  // A second harmonic lets the first go deeper, as far as the mask stays non-negative.
  p = Uneven_Pattern();
  p.orientations[2].modulation = 4.0 / 3.0;
  p.orientations[2].modulation2 = 2.0 / 3.0;
  EXPECT_EQ(message(p), "");
  p.orientations[2].modulation = 1.5;
  EXPECT_NE(message(p).find("pattern.modulation must lie in [0, 1.41421] (with modulation2"),
            std::string::npos);
  p.orientations[2].modulation = 1.2;
  p.orientations[2].modulation2 = 0.1;
  EXPECT_NE(message(p).find("pattern.modulation must lie in [0, 1.1] (with modulation2 0.1"),
            std::string::npos);
  p = Uneven_Pattern();
  p.orientations[2].modulation2 = 1.5;
  EXPECT_NE(message(p).find("pattern.modulation2 must lie in [0, 1]"), std::string::npos);
  p = Uneven_Pattern();
  p.orientations[0].angle = NAN;
  EXPECT_EQ(message(p), "pattern.angle holds NaN or Inf");
  p = Uneven_Pattern();
  p.orientations[1].phase2 = INFINITY;
  EXPECT_EQ(message(p), "pattern.phase2 holds NaN or Inf");
}

}  // namespace
