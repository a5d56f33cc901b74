// The pipeline's out-of-focus model: a simulated stack with an unpatterned haze loses most of
// it and keeps its in-focus level, a thin specimen is left nearly as it was, the share and the
// haze image are reported, and nonsense settings are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "acquisition_pipeline.h"
#include "frame_simulation.h"
#include "Korvex.h"
#include "host_fixture.h"
#include "memory_budget.h"
#include "optical_transfer.h"

namespace {

using namespace korvex::acquisition;

constexpr unsigned kSide = 96;  // camera pixels of 0.1, a 2x finer grid of 0.05
constexpr unsigned kFine = 2 * kSide;
constexpr unsigned kFrames = 9;

IlluminationPattern Two_Beam_Pattern() {
  IlluminationPattern p;
  const double cutoff = 2 * 1.2 / 0.52 * 0.1;  // cycles per camera pixel
  for (unsigned a = 0; a < 3; ++a) {
    korvex::patterns::OrientationEstimate o;
    o.angle = 0.2 + a * std::acos(-1.0) / 3;
    o.period = 1.0 / (0.85 * cutoff);
    o.modulation = 0.9;
    p.orientations.push_back(o);
    for (unsigned k = 0; k < 3; ++k) p.phases.push_back(2.0944 * k + 0.3 * a);
  }
  return p;
}

// In-focus spots on the fine grid, one per 12 x 12 block, none within the haze region.
struct Scene {
  std::vector<double> spots;  // fine grid, column-major
  std::vector<double> haze;   // fine grid: what the haze adds to every frame
  std::vector<float> frames;  // camera grid
};

// The haze's centre and the radius of the region where it alone lights the specimen.
constexpr double kHazeRow = 0.3 * kFine, kHazeCol = 0.35 * kFine, kHazeClear = 0.12 * kFine;

bool In_Haze_Region(unsigned r, unsigned c) {
  return std::hypot(r - kHazeRow, c - kHazeCol) < kHazeClear;
}

// `hazeShare` of the mean frame's light is haze: a smooth blob seen by every frame alike, of
// standard deviation `blobWidth` of the grid's side.
Scene Make_Scene(double hazeShare, double blobWidth = 0.2) {
  Scene s;
  const size_t fine = size_t{kFine} * kFine;
  s.spots.assign(fine, 0.0);
  unsigned state = 2024;
  for (unsigned br = 0; br + 12 <= kFine; br += 12) {
    for (unsigned bc = 0; bc + 12 <= kFine; bc += 12) {
      state = state * 1664525u + 1013904223u;
      const unsigned r = br + 2 + (state >> 8) % 8, c = bc + 2 + (state >> 16) % 8;
      if (std::hypot(r - kHazeRow, c - kHazeCol) < kHazeClear + 6) continue;
      s.spots[size_t{c} * kFine + r] = 1.0;
    }
  }
  const IlluminationPattern finePattern = On_Finer_Grid(Two_Beam_Pattern(), 2);
  std::vector<double> masks(fine * kFrames);
  Build_Masks(finePattern, kFine, kFine, masks.data());
  const std::vector<double> otf = Widefield_Otf(kFine, kFine, 1.2, 0.52, 0.05);
  std::vector<double> model(fine * kFrames);
  korvex::simulation::Simulate_Frames(s.spots.data(), masks.data(), otf.data(), kFine, kFine,
                                      kFrames, INFINITY, 0.0, model.data());
  double focus = 0.0, blob = 0.0;
  for (double v : s.spots) focus += v;
  s.haze.resize(fine);
  for (unsigned c = 0; c < kFine; ++c) {
    for (unsigned r = 0; r < kFine; ++r) {
      const double d = std::hypot(r - kHazeRow, c - kHazeCol) / (blobWidth * kFine);
      s.haze[size_t{c} * kFine + r] = std::exp(-0.5 * d * d);
      blob += s.haze[size_t{c} * kFine + r];
    }
  }
  const double level = hazeShare / (1.0 - hazeShare) * focus / blob;
  for (double& v : s.haze) v *= level;
  // 1000 counts at the brightest in-focus spot; the camera samples every other fine pixel.
  const double scale = 1000.0 / *std::max_element(model.begin(), model.end());
  s.frames.resize(size_t{kSide} * kSide * kFrames);
  for (unsigned f = 0; f < kFrames; ++f) {
    for (unsigned c = 0; c < kSide; ++c) {
      for (unsigned r = 0; r < kSide; ++r) {
        const size_t at = size_t{2 * c} * kFine + 2 * r;
        s.frames[(size_t{f} * kSide + c) * kSide + r] =
            float(scale * (model[f * fine + at] + s.haze[at]));
      }
    }
  }
  for (double& v : s.haze) v *= scale;
  return s;
}

// Plain steps move the pair (x, b); preconditioned ones move x with b following it. Every
// comparison takes the same steps without the model.
AcquisitionOptions Options(bool outOfFocus, bool preconditioned = false) {
  AcquisitionOptions o;
  o.optics = {1.2, 0.52, 0.1};
  o.pattern = Two_Beam_Pattern();
  o.outOfFocus.enabled = outOfFocus;
  o.preconditioned = preconditioned;
  o.iterations = 40;
  return o;
}

// The image's mean over the haze region, and its in-focus level: the mean over the spots of
// the light within 2 pixels of each, less the local background (the mean of the ring 4 to 5
// pixels away) over the same area.
struct Levels {
  double haze = 0, focus = 0;
};
Levels Measure(const std::vector<float>& image, const Scene& s) {
  Levels l;
  size_t hazePixels = 0, spots = 0;
  const auto at = [&](unsigned r, unsigned c) { return double(image[size_t{c} * kFine + r]); };
  for (unsigned c = 0; c < kFine; ++c) {
    for (unsigned r = 0; r < kFine; ++r) {
      if (In_Haze_Region(r, c)) {
        l.haze += at(r, c);
        ++hazePixels;
      }
      if (s.spots[size_t{c} * kFine + r] == 0.0 || r < 5 || c < 5 || r + 5 >= kFine ||
          c + 5 >= kFine) {
        continue;
      }
      double core = 0, ring = 0;
      unsigned coreCount = 0, ringCount = 0;
      for (int dc = -5; dc <= 5; ++dc) {
        for (int dr = -5; dr <= 5; ++dr) {
          const double d = std::hypot(dr, dc);
          if (d <= 2.0) {
            core += at(r + dr, c + dc);
            ++coreCount;
          } else if (d >= 4.0 && d <= 5.0) {
            ring += at(r + dr, c + dc);
            ++ringCount;
          }
        }
      }
      l.focus += core - coreCount * ring / ringCount;
      ++spots;
    }
  }
  l.haze /= double(hazePixels);
  l.focus /= double(spots);
  return l;
}

class OutOfFocusPipelineTest : public korvex::test::HostDeviceTest {
 protected:
  AcquisitionPipeline<float> pipeline_;
};

double Relative_Change(const std::vector<float>& changed, const std::vector<float>& reference) {
  double difference = 0, norm = 0;
  for (size_t i = 0; i < reference.size(); ++i) {
    difference += std::pow(double(changed[i]) - reference[i], 2);
    norm += std::pow(double(reference[i]), 2);
  }
  return std::sqrt(difference / norm);
}

// Only the patterned sidebands tell haze from in-focus light, and at a period near the cut-off
// they carry it faintly: plain steps on the pair split it over a few hundred iterations; the
// default preconditioned steps on x, with b following it from the reduced problem's start, in
// the default 15.
TEST_F(OutOfFocusPipelineTest, RemovesTheHazeAndKeepsTheInFocusLevel) {
  const Scene s = Make_Scene(0.5);
  for (const bool preconditioned : {false, true}) {
    SCOPED_TRACE(preconditioned ? "preconditioned" : "plain");
    AcquisitionOptions options = Options(false, preconditioned);
    options.iterations = preconditioned ? ReconstructionDefaults::kIterations : 300;
    const AcquisitionResult<float> off =
        pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
    EXPECT_TRUE(off.outOfFocus.empty());
    EXPECT_EQ(off.outOfFocusShare, 0.0);
    options.outOfFocus.enabled = true;
    const AcquisitionResult<float> on =
        pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
    const Levels without = Measure(off.image, s), with = Measure(on.image, s);
    // Without the model the haze is reconstructed as specimen.
    EXPECT_GT(without.haze, 0.5 * s.haze[size_t(kHazeCol) * kFine + size_t(kHazeRow)]);
    // The plain pair's 300 Barzilai-Borwein steps end at 1.4-5% of the haze, as the FFT plans
    // measured on the machine round; the preconditioned 15 at 2.7%.
    EXPECT_LT(with.haze, (preconditioned ? 0.05 : 0.1) * without.haze);
    EXPECT_NEAR(with.focus, without.focus, 0.02 * without.focus);
    // Half the light is haze; the sparsity penalty, a uniform lowering of every frame, trims
    // the haze's faint tails, so the model finds less.
    EXPECT_GT(on.outOfFocusShare, 0.15);
    EXPECT_LT(on.outOfFocusShare, 0.6);
    // The haze image is the haze: its peak near the blob's, on the image's grid.
    ASSERT_EQ(on.outOfFocus.size(), on.image.size());
    const size_t centre = size_t(kHazeCol) * kFine + size_t(kHazeRow);
    EXPECT_NEAR(on.outOfFocus[centre], s.haze[centre], 0.25 * s.haze[centre]);
    // Unset, the model follows the steps: on with the preconditioned ones, off with plain ones,
    // where it would need its 300 iterations.
    options.outOfFocus.enabled.reset();
    const AcquisitionResult<float> unset =
        pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
    EXPECT_EQ(unset.image, (preconditioned ? on : off).image);
    EXPECT_EQ(unset.outOfFocus.empty(), !preconditioned);
  }
  pipeline_.Release();
}

// Unpatterned haze lowers the stripes' contrast in the frames, but not that of the in-focus
// light the masks are for: with the model on, the estimated depth is the in-focus light's.
// The haze here, three times the in-focus light, is textured like defocused structure, its
// spectrum reaching 1/um.
// A compact blob lifts fewer of b0's pixels above 0 than the share a thin specimen's noise may
// lift, but carries several per cent of the light: the start keeps it and the model takes
// about half of it out (of the haze region's light: 103 against 195 when written); a start
// that counted pixels alone ran the call without the model.
TEST_F(OutOfFocusPipelineTest, FindsACompactBlobOfHaze) {
  const Scene s = Make_Scene(0.1, 0.025);
  AcquisitionOptions options = Options(false, true);
  options.iterations = ReconstructionDefaults::kIterations;
  const AcquisitionResult<float> off =
      pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
  options.outOfFocus.enabled = true;
  const AcquisitionResult<float> on =
      pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
  EXPECT_GT(on.outOfFocusShare, 0.05);
  EXPECT_LT(Measure(on.image, s).haze, 0.7 * Measure(off.image, s).haze);
  pipeline_.Release();
}

// A cheaper haze (outOfFocusCost below 1) is handed the smooth light the sidebands barely
// see: more of the haze leaves the image, and the spots, which the sidebands do see, keep
// their level.
TEST_F(OutOfFocusPipelineTest, ACheaperHazeTakesMoreOfIt) {
  const Scene s = Make_Scene(0.5);
  AcquisitionOptions options = Options(true, true);
  options.iterations = ReconstructionDefaults::kIterations;
  const AcquisitionResult<float> full =
      pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
  options.outOfFocus.cost = 0.9;
  const AcquisitionResult<float> cheap =
      pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
  const Levels a = Measure(full.image, s), b = Measure(cheap.image, s);
  EXPECT_GT(cheap.outOfFocusShare, full.outOfFocusShare + 0.02);
  EXPECT_LT(b.haze, 0.5 * a.haze);
  EXPECT_NEAR(b.focus, a.focus, 0.05 * a.focus);
  pipeline_.Release();
}

TEST_F(OutOfFocusPipelineTest, EstimatesTheInFocusDepthBesideTheHaze) {
  Scene s = Make_Scene(0.0);
  std::vector<double> texture(size_t{kSide} * kSide, 0.0);
  unsigned state = 7;
  for (double& v : texture) {
    state = state * 1664525u + 1013904223u;
    v = (state >> 8) % 16 == 0 ? 1.0 : 0.0;
  }
  // Blurred by a Gaussian of 3 camera pixels (0.3 um), circularly.
  std::vector<double> haze(texture.size(), 0.0);
  for (unsigned c = 0; c < kSide; ++c) {
    for (unsigned r = 0; r < kSide; ++r) {
      if (texture[size_t{c} * kSide + r] == 0.0) continue;
      for (int dc = -10; dc <= 10; ++dc) {
        for (int dr = -10; dr <= 10; ++dr) {
          const size_t at = size_t((c + kSide + dc) % kSide) * kSide + (r + kSide + dr) % kSide;
          haze[at] += std::exp(-(dr * dr + dc * dc) / 18.0);
        }
      }
    }
  }
  double light = 0, hazeLight = 0;
  for (size_t i = 0; i < haze.size(); ++i) {
    light += s.frames[i];
    hazeLight += haze[i];
  }
  for (unsigned f = 0; f < kFrames; ++f) {
    for (size_t i = 0; i < haze.size(); ++i) {
      s.frames[f * haze.size() + i] += float(3.0 * haze[i] * light / hazeLight);
    }
  }
  AcquisitionOptions options = Options(false, true);
  options.pattern.reset();
  options.iterations = 1;
  const auto depths = [&](bool outOfFocus) {
    options.outOfFocus.enabled = outOfFocus;
    std::vector<double> found;
    for (const auto& o : pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options)
                             .pattern.orientations) {
      found.push_back(o.modulation);
    }
    return found;
  };
  const double truth = Two_Beam_Pattern().orientations[0].modulation;
  for (const double m : depths(false)) EXPECT_LT(m, truth - 0.04);  // 0.84 when written
  for (const double m : depths(true)) EXPECT_NEAR(m, truth, 0.01);
  pipeline_.Release();
}

TEST_F(OutOfFocusPipelineTest, LeavesAThinSpecimenNearlyAsItWas) {
  const Scene s = Make_Scene(0.0);
  for (const bool preconditioned : {false, true}) {
    SCOPED_TRACE(preconditioned ? "preconditioned" : "plain");
    const AcquisitionResult<float> off = pipeline_.Reconstruct(
        s.frames.data(), kSide, kSide, kFrames, Options(false, preconditioned));
    const AcquisitionResult<float> on = pipeline_.Reconstruct(
        s.frames.data(), kSide, kSide, kFrames, Options(true, preconditioned));
    EXPECT_LT(on.outOfFocusShare, 0.01);
    EXPECT_LT(Relative_Change(on.image, off.image), 0.005);
    EXPECT_NEAR(Measure(on.image, s).focus, Measure(off.image, s).focus,
                0.03 * Measure(off.image, s).focus);
    if (preconditioned) {
      // No haze found at the start: the call runs as it would without the model, from the
      // widefield sum, to the last bit (the pattern is given, so its depth is the same too).
      EXPECT_EQ(on.outOfFocusShare, 0.0);
      EXPECT_EQ(on.image, off.image);
      EXPECT_EQ(on.outOfFocus, std::vector<float>(on.image.size(), 0.0f));
    }
  }
  pipeline_.Release();
}

TEST_F(OutOfFocusPipelineTest, RefusesNonsenseSettingsNamingThem) {
  const Scene s = Make_Scene(0.0);
  const auto refusal = [&](const AcquisitionOptions& options) -> std::string {
    try {
      pipeline_.Reconstruct(s.frames.data(), kSide, kSide, kFrames, options);
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(korvex::host::ledger().empty()) << "held after: " << e.what();
      return e.what();
    }
    return "<accepted>";
  };
  AcquisitionOptions o = Options(true);
  o.outOfFocus.defocus = -1.0;
  EXPECT_EQ(refusal(o), "defocus must be a non-negative finite number, got -1");
  o = Options(true);
  o.outOfFocus.width = NAN;
  EXPECT_EQ(refusal(o), "outOfFocusWidth must be a non-negative finite number, got nan");
  o.outOfFocus.enabled = false;  // nonsense is refused even with the model off
  EXPECT_EQ(refusal(o), "outOfFocusWidth must be a non-negative finite number, got nan");
  for (const double cost : {-0.5, 1.5, double(NAN)}) {
    o = Options(true);
    o.outOfFocus.cost = cost;
    EXPECT_EQ(refusal(o), "outOfFocusCost must be a number from 0 to 1, got " +
                              std::string(std::isnan(cost) ? "nan" : cost < 0 ? "-0.5" : "1.5"));
  }
  o = Options(true);
  o.outOfFocus.defocus = 1.0;
  o.optics.immersion = 1.0;  // NA 1.2 in air
  EXPECT_EQ(refusal(o), "na (1.2) must be below the immersion medium's refractive index (1)");
  // A measured OTF without optics: the defocus has nothing to be modelled from.
  o = Options(true);
  o.outOfFocus.defocus = 1.0;
  o.otf = MeasuredOtf{Widefield_Otf(kSide, kSide, 1.2, 0.52, 0.1), kSide, kSide};
  o.optics = {};
  EXPECT_EQ(refusal(o),
            "defocus (1) needs na and wavelength: the defocused OTF is modelled from the optics");
  o.outOfFocus.defocus = 0.0;
  o.outOfFocus.width = 0.5;
  EXPECT_EQ(refusal(o),
            "outOfFocusWidth (0.5) is in cycles per unit length and needs pixelSize to reach "
            "the grid");
  // Its default width comes from where the measured OTF ends.
  o.outOfFocus.width = 0.0;
  EXPECT_EQ(refusal(o), "<accepted>");
  pipeline_.Release();
}

// The memory budget counts what the out-of-focus engine holds beyond the plain one.
TEST_F(OutOfFocusPipelineTest, TheBudgetCountsTheHazeBuffers) {
  const unsigned w = 40, h = 24;
  size_t bytes[2];
  for (int haze = 0; haze < 2; ++haze) {
    const Korvex<double> engine(w, h, 9, 3, true, haze == 1);
    bytes[haze] = korvex::host::ledger().device_bytes;
  }
  const uint64_t pixels = uint64_t{w} * h;
  EXPECT_EQ(bytes[1] - bytes[0], Engine_Bytes(pixels, 1, sizeof(double), true) -
                                     Engine_Bytes(pixels, 1, sizeof(double), false));
  const MemoryNeed plain = Pipeline_Bytes(32, 32, 9, 2, 3, true, 4, false);
  const MemoryNeed haze = Pipeline_Bytes(32, 32, 9, 2, 3, true, 4, true);
  EXPECT_GT(haze.host, plain.host);
  EXPECT_GT(haze.device, plain.device);
}

// The scalar defocused OTF: the in-focus model at zero defocus, and with defocus an even
// transfer function, 1 at zero, that loses the middle of the band first and ends at the cut-off.
TEST(DefocusedOtf, IsTheInFocusModelAtZeroAndLowPassesWithDefocus) {
  const unsigned h = 45, w = 64;  // odd and even sides, pixels of 0.05
  const double cutoff = 2 * 1.2 / 0.52;
  const std::vector<double> focus = Widefield_Otf(h, w, 1.2, 0.52, 0.05);
  const std::vector<double> zero = Defocused_Otf(h, w, 1.2, 0.52, 0.05, 1.33, 0.0);
  const std::vector<double> away = Defocused_Otf(h, w, 1.2, 0.52, 0.05, 1.33, 1.0);
  double worst = 0;
  for (size_t i = 0; i < focus.size(); ++i) worst = std::max(worst, std::abs(zero[i] - focus[i]));
  EXPECT_LT(worst, 0.03);
  EXPECT_NEAR(away[size_t{w / 2} * h + h / 2], 1.0, 1e-12);
  for (unsigned c = 0; c < w; ++c) {
    for (unsigned r = 0; r < h; ++r) {
      const double v = away[size_t{c} * h + r];
      const double f =
          std::hypot((double(c) - w / 2) / (w * 0.05), (double(r) - h / 2) / (h * 0.05));
      const size_t mirror = size_t{(2 * (w / 2) + w - c) % w} * h + (2 * (h / 2) + h - r) % h;
      EXPECT_NEAR(v, away[mirror], 1e-12);
      EXPECT_LE(v, 1.0 + 1e-12);
      if (f > cutoff * 1.02) {
        EXPECT_NEAR(v, 0.0, 1e-9) << r << ", " << c;
      }
      if (f > 0.3 * cutoff && f < 0.7 * cutoff) {
        EXPECT_LT(v, 0.5 * focus[size_t{c} * h + r]);
      }
    }
  }
}

}  // namespace

