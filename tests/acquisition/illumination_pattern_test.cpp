// Masks from pattern parameters: korvex_masks' formula, and the fine grid's masks against
// masks evaluated directly at the fine samples' camera coordinates.
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

IlluminationPattern Uneven_Pattern() {
  IlluminationPattern p;
  p.angle = {0.13, 1.21, 2.19};
  p.period = {3.1, 2.95, 3.3};
  p.modulation = {0.9, 0.6, 1.0};
  p.phase = {0.1, 2.2, 4.3, 5.9, 1.7, 3.6, 0.0, 2.0, 4.5};  // unequal steps
  return p;
}

// Frame f at a point (x, y) given in camera pixels.
double Direct(const IlluminationPattern& p, unsigned f, double x, double y) {
  const unsigned a = f / (p.Frames() / p.Orientations());
  return 1 +
         p.modulation[a] *
             std::cos(kTwoPi * (std::cos(p.angle[a]) * x + std::sin(p.angle[a]) * y) / p.period[a] +
                      p.phase[f]);
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
  const auto message = [](IlluminationPattern p) {
    try {
      Check_Pattern(p, 3, 9, "pattern");
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  IlluminationPattern p = Uneven_Pattern();
  EXPECT_EQ(message(p), "");
  p.phase.pop_back();
  EXPECT_EQ(message(p), "pattern.phase must hold 9 values, got 8");
  p = Uneven_Pattern();
  p.period[1] = 1.5;
  EXPECT_NE(message(p).find("pattern.period must be at least 2 pixels"), std::string::npos);
  p = Uneven_Pattern();
  p.modulation[2] = 1.2;
  EXPECT_NE(message(p).find("pattern.modulation must lie in [0, 1]"), std::string::npos);
  p = Uneven_Pattern();
  p.angle[0] = NAN;
  EXPECT_EQ(message(p), "pattern.angle holds NaN or Inf");
}

}  // namespace
