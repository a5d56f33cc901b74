// The pattern estimator against stacks with known patterns (pattern_sim), and how it reports
// what it cannot find or cannot take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pattern_estimate.h"
#include "pattern_sim.h"

namespace {

using korvex::patterns::PatternEstimate;
using korvex::patterns::PatternEstimator;
using korvex::patterns::PatternGuess;

const double kPi = std::acos(-1.0);
const double kCutoff = 0.25;  // cycles per pixel

void Expect_Within_Targets(const korvex_test::PatternErrors& e, const std::string& label) {
  EXPECT_LE(e.waveVector, 0.03) << label;
  EXPECT_LE(e.phase, 3.0) << label;
  EXPECT_LE(e.modulation, 0.05) << label;
}

template <typename T>
PatternEstimate Estimate(const korvex_test::SimStack& s, unsigned angles, unsigned phases,
                         const PatternGuess& guess = {}) {
  const std::vector<T> frames(s.frames.begin(), s.frames.end());
  const std::vector<T> otf(s.otf.begin(), s.otf.end());
  PatternEstimator estimator(s.height, s.width, angles, phases);
  return estimator.Estimate(frames.data(), otf.data(), guess);
}

// Square and odd non-square stacks, phase steps up to 10 degrees off equal, noise of a few
// hundred photons: the errors stay within the figures the estimator is built for, in both
// precisions.
TEST(PatternEstimation, RecoversKnownPatterns) {
  struct Case {
    unsigned h, w, phases;
    double periodOfCutoff, photons, firstAngle;
  };
  const Case cases[] = {{256, 256, 3, 0.80, 1000, 0.3},
                        {189, 255, 3, 0.92, 1000, 2.0},
                        {175, 225, 5, 0.70, 500, 1.1}};
  unsigned seed = 11;
  for (const Case& c : cases) {
    const auto truth = korvex_test::Random_Truth(3, c.phases, 1.0 / (c.periodOfCutoff * kCutoff),
                                                 c.firstAngle, 10.0 * kPi / 180.0, seed);
    const auto stack = korvex_test::Simulate_Stack(c.h, c.w, kCutoff, truth, c.photons, 10.0, seed);
    const std::string label = std::to_string(c.h) + " x " + std::to_string(c.w);
    const PatternEstimate single = Estimate<float>(stack, 3, c.phases);
    const PatternEstimate twice = Estimate<double>(stack, 3, c.phases);
    Expect_Within_Targets(korvex_test::Compare(truth, single, c.h, c.w), label + ", single");
    Expect_Within_Targets(korvex_test::Compare(truth, twice, c.h, c.w), label + ", double");
    ASSERT_EQ(single.phases.size(), 3u * c.phases);
    for (const auto& o : single.orientations) {
      EXPECT_GE(o.angle, 0.0);
      EXPECT_LT(o.angle, kPi);
      EXPECT_FALSE(o.lowModulation) << label << ": MCNR " << o.mcnr;
    }
    ++seed;
  }
}

// Phase steps that turn the other way put the carrier at -k; the estimate still gives the
// angle in [0, pi) and masks equal to the true ones.
TEST(PatternEstimation, DecreasingPhaseStepsGiveTheSameMasks) {
  auto truth = korvex_test::Random_Truth(3, 3, 5.0, 0.4, 0.0, 5);
  for (double& p : truth.phases) p = -p;
  const auto stack = korvex_test::Simulate_Stack(128, 128, kCutoff, truth, 0.0, 0.0, 5);
  const PatternEstimate e = Estimate<double>(stack, 3, 3);
  Expect_Within_Targets(korvex_test::Compare(truth, e, 128, 128), "decreasing steps");
}

// A guess narrows the search to one orientation's neighbourhood; without it, a carrier that
// does not exist is not invented from another orientation's.
TEST(PatternEstimation, GuessesNarrowTheSearch) {
  const auto truth = korvex_test::Random_Truth(3, 3, 4.6, 0.9, 0.05, 8);
  const auto stack = korvex_test::Simulate_Stack(180, 240, kCutoff, truth, 2000, 10.0, 8);
  PatternGuess guess;
  guess.period = 4.6;
  guess.angles = {truth.angles[0] + 0.03, truth.angles[1] - 0.03, truth.angles[2]};
  Expect_Within_Targets(korvex_test::Compare(truth, Estimate<float>(stack, 3, 3, guess), 180, 240),
                        "guess");
}

// Frames without stripes: every orientation is reported as low modulation, with finite
// values, a depth in [0, 1] and an MCNR below the threshold; so are frames of zeros.
TEST(PatternEstimation, BlankStacksReportLowModulation) {
  auto truth = korvex_test::Random_Truth(3, 3, 5.0, 0.2, 0.0, 3);
  for (double& m : truth.modulations) m = 0.0;
  const auto noisy = korvex_test::Simulate_Stack(128, 128, kCutoff, truth, 1000, 10.0, 3);
  korvex_test::SimStack zeros = noisy;
  std::fill(zeros.frames.begin(), zeros.frames.end(), 0.0);
  korvex_test::SimStack constant = noisy;
  std::fill(constant.frames.begin(), constant.frames.end(), 37.5);
  for (const korvex_test::SimStack* stack : {&noisy, &std::as_const(zeros), &std::as_const(constant)}) {
    const PatternEstimate e = Estimate<double>(*stack, 3, 3);
    for (const auto& o : e.orientations) {
      EXPECT_TRUE(o.lowModulation);
      EXPECT_LT(o.mcnr, korvex::patterns::kLowMcnr);
      EXPECT_GE(o.modulation, 0.0);
      EXPECT_LE(o.modulation, 1.0);
      EXPECT_TRUE(std::isfinite(o.angle) && std::isfinite(o.period) && std::isfinite(o.mcnr));
    }
    for (double p : e.phases) EXPECT_TRUE(std::isfinite(p));
  }
}

// Beside strong orientations, a blank one is sought again where they put it (their period,
// angles pi / A apart) and still reported as low modulation; a weak one found there is
// reported as guided, near its true wave vector.
TEST(PatternEstimation, WeakOrientationsBesideStrongOnes) {
  for (double weak : {0.0, 0.17}) {
    auto truth = korvex_test::Random_Truth(3, 3, 4.6, 0.5, 0.05, 12);
    truth.modulations[1] = weak;
    const auto stack = korvex_test::Simulate_Stack(128, 128, kCutoff, truth, 300, 10.0, 12);
    const PatternEstimate e = Estimate<double>(stack, 3, 3);
    EXPECT_FALSE(e.orientations[0].lowModulation || e.orientations[2].lowModulation);
    EXPECT_FALSE(e.orientations[0].guided || e.orientations[2].guided);
    const auto& o = e.orientations[1];
    if (weak == 0.0) {
      EXPECT_TRUE(o.lowModulation) << o.mcnr;
      continue;
    }
    EXPECT_TRUE(o.guided) << o.mcnr;
    EXPECT_FALSE(o.lowModulation) << o.mcnr;
    EXPECT_LE(korvex_test::Compare(truth, e, 128, 128).waveVector, 0.15);
  }
}

// The masks of an estimate follow korvex_masks' formula, x the zero-based column.
TEST(PatternEstimation, MasksFollowTheMaskConvention) {
  PatternEstimate e;
  e.orientations.resize(2);
  e.orientations[0].angle = 0.3;
  e.orientations[0].period = 5.0;
  e.orientations[0].modulation = 0.8;
  e.orientations[1].angle = 2.0;
  e.orientations[1].period = 4.5;
  e.orientations[1].modulation = 0.6;
  e.orientations[1].modulation2 = 0.3;
  e.orientations[1].phase2 = 1.2;
  e.phases = {0.1, 2.2, 4.3, 1.0, 3.0, 5.0};
  const unsigned h = 7, w = 5;
  std::vector<float> masks(size_t{h} * w * 6);
  korvex::patterns::Build_Masks(e, h, w, masks.data());
  for (unsigned f = 0; f < 6; ++f) {
    const auto& o = e.orientations[f / 3];
    for (unsigned c = 0; c < w; ++c) {
      for (unsigned r = 0; r < h; ++r) {
        const double theta =
            2.0 * kPi * (std::cos(o.angle) * c + std::sin(o.angle) * r) / o.period + e.phases[f];
        const double expected =
            1.0 + o.modulation * std::cos(theta) + o.modulation2 * std::cos(2 * theta + o.phase2);
        EXPECT_NEAR(masks[(f * w + c) * h + r], expected, 1e-6);
      }
    }
  }
  // A period of 0 would make masks of NaN.
  e.orientations[0].period = 0.0;
  EXPECT_THROW(korvex::patterns::Build_Masks(e, h, w, masks.data()), std::invalid_argument);
}

void Expect_Refused(const std::function<void()>& call, const std::string& mention) {
  try {
    call();
    ADD_FAILURE() << "no error (expected one mentioning '" << mention << "')";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(mention), std::string::npos) << e.what();
  }
}

TEST(PatternEstimation, BadInputIsRefusedNamingIt) {
  const auto truth = korvex_test::Random_Truth(3, 3, 5.0, 0.2, 0.0, 4);
  const auto stack = korvex_test::Simulate_Stack(64, 64, kCutoff, truth, 0.0, 0.0, 4);
  std::vector<double> frames = stack.frames;
  frames[100] = std::numeric_limits<double>::quiet_NaN();
  Expect_Refused(
      [&] {
        Estimate<double>(korvex_test::SimStack{64, 64, frames, stack.otf, {}}, 3, 3);
      },
      "frames hold NaN or Inf");
  std::vector<double> otf = stack.otf;
  otf[7] = std::numeric_limits<double>::infinity();
  Expect_Refused(
      [&] {
        Estimate<double>(korvex_test::SimStack{64, 64, stack.frames, otf, {}}, 3, 3);
      },
      "otf hold NaN or Inf");
  Expect_Refused([&] { PatternEstimator(64, 64, 3, 2); }, "phases must be at least 3");
  Expect_Refused([&] { PatternEstimator(12, 64, 3, 3); }, "too small");
  // An OTF whose passband spans a few bins leaves no room for a carrier.
  const auto narrow = korvex_test::Pupil_Otf(64, 64, 0.05);
  Expect_Refused(
      [&] {
        Estimate<double>(korvex_test::SimStack{64, 64, stack.frames, narrow, {}}, 3, 3);
      },
      "too small for the pattern");
  PatternGuess guess;
  guess.angles = {0.1, 0.2};
  Expect_Refused([&] { Estimate<double>(stack, 3, 3, guess); }, "one per orientation");
  // A period guess the OTF does not pass would leave nothing to search.
  PatternGuess far;
  far.period = 2.5;  // 0.4 cycles per pixel, beyond the cut-off of 0.25
  Expect_Refused([&] { Estimate<double>(stack, 3, 3, far); }, "lies outside the passband");
  PatternGuess second;
  second.orders = 2;
  Expect_Refused([&] { Estimate<double>(stack, 3, 3, second); }, "at least 5 phases");
  second.orders = 3;
  Expect_Refused([&] { Estimate<double>(stack, 3, 3, second); }, "orders must be 0");
  PatternGuess haze;
  haze.hazeFrequency = -0.1;
  Expect_Refused([&] { Estimate<double>(stack, 3, 3, haze); }, "out-of-focus frequency");
}

// Values near the float range give the same estimate as the same frames in photons (the
// transforms would overflow), not confident nonsense.
TEST(PatternEstimation, HugeValuesGiveTheSameEstimate) {
  const auto truth = korvex_test::Random_Truth(3, 3, 5.0, 0.7, 0.05, 6);
  auto stack = korvex_test::Simulate_Stack(96, 96, kCutoff, truth, 1000, 10.0, 6);
  const PatternEstimate plain = Estimate<float>(stack, 3, 3);
  const double peak = *std::max_element(stack.frames.begin(), stack.frames.end());
  for (double& v : stack.frames) v *= 3e38 / peak;
  const PatternEstimate huge = Estimate<float>(stack, 3, 3);
  for (size_t a = 0; a < 3; ++a) {
    EXPECT_NEAR(huge.orientations[a].period, plain.orientations[a].period, 1e-3);
    EXPECT_NEAR(huge.orientations[a].mcnr, plain.orientations[a].mcnr,
                1e-3 * plain.orientations[a].mcnr);
  }
}

// The sampling judged from the OTF: a passband cut by the grid's Nyquist frequency means
// aliased frames; otherwise the largest pixel that would not alias is 0.5 / cut-off.
TEST(PatternEstimation, UndersampledFramesAreReported) {
  const auto fine = korvex_test::Pupil_Otf(64, 80, 0.25);
  const auto s = korvex::patterns::Check_Sampling(fine.data(), 64, 80);
  EXPECT_FALSE(s.undersampled);
  EXPECT_NEAR(s.largestPixel, 2.0, 0.1);
  const auto coarse = korvex_test::Pupil_Otf(64, 80, 0.6);
  EXPECT_TRUE(korvex::patterns::Check_Sampling(coarse.data(), 64, 80).undersampled);
}

// A camera-like stack in low light (specimen drawn finer and binned, 100 photons on 10 of
// background, the period at 0.85 of a cut-off near Nyquist): every orientation is found.
TEST(PatternEstimation, LowLightCameraStack) {
  const double cutoff = 2.0 * 1.2 / 0.520 * 0.103;
  const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 0.8, 0.1, 1);
  korvex_test::CameraOptions camera;
  camera.factor = 2;
  const auto stack = korvex_test::Simulate_Stack(256, 256, cutoff, truth, 100, 10.0, 1, camera);
  const PatternEstimate e = Estimate<float>(stack, 3, 3);
  const auto err = korvex_test::Compare(truth, e, 256, 256);
  EXPECT_LE(err.waveVector, 0.15);
  EXPECT_LE(err.phaseCentre, 6.0);
  for (const auto& o : e.orientations) EXPECT_FALSE(o.lowModulation) << o.mcnr;
}

// A sparse specimen whose carrier peaks 0.4 bins from the grid point the search picks: the
// fit's first step from there went the wrong way (0.6 bins off without any noise, 1 bin at
// 1000 photons); it now starts from the best point near the peak.
TEST(PatternEstimation, CarrierPeakBetweenGridPoints) {
  const double cutoff = 2.0 * 1.2 / 0.520 * 0.103;
  const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 2.3, 0.1, 4);
  korvex_test::CameraOptions camera;
  camera.factor = 4;
  const auto stack = korvex_test::Simulate_Stack(256, 256, cutoff, truth, 1000, 10.0, 4, camera);
  const auto err = korvex_test::Compare(truth, Estimate<float>(stack, 3, 3), 256, 256);
  EXPECT_LE(err.waveVector, 0.03);
  EXPECT_LE(err.phaseCentre, 3.0);
}

// In low light the frames' phases, read at the image centre, spread no more than the noise
// of their own matches: the match of the mirrored carrier, measured on a band of three
// frames, once moved each frame's phase by its full noise: 2.3 deg RMS here, against 1.85.
TEST(PatternEstimation, LowLightFramePhasesAtTheCentre) {
  const double pi = std::acos(-1.0);
  const double cutoff = 2.0 * 1.2 / 0.520 * 0.103;
  double squares = 0.0, frames = 0.0;
  for (unsigned seed : {1u, 2u}) {
    const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.85 * cutoff), 0.3 + 0.5 * seed, 0.1, seed);
    korvex_test::CameraOptions camera;
    camera.factor = 2;
    const auto stack = korvex_test::Simulate_Stack(256, 256, cutoff, truth, 100, 10.0, seed, camera);
    const PatternEstimate e = Estimate<float>(stack, 3, 3);
    for (unsigned a = 0; a < 3; ++a) {
      ASSERT_FALSE(e.orientations[a].lowModulation);
      // The truth in [0, pi), as the estimate gives it.
      const double sign = std::fmod(truth.angles[a], 2 * pi) >= pi ? -1.0 : 1.0;
      const double dx = sign * std::cos(truth.angles[a]) / truth.periods[a] -
                        std::cos(e.orientations[a].angle) / e.orientations[a].period;
      const double dy = sign * std::sin(truth.angles[a]) / truth.periods[a] -
                        std::sin(e.orientations[a].angle) / e.orientations[a].period;
      for (unsigned f = 3 * a; f < 3 * a + 3; ++f) {
        const double d = sign * truth.phases[f] - e.phases[f] + 2 * pi * (dx + dy) * 127.5;
        const double degrees = std::remainder(d, 2 * pi) * 180 / pi;
        squares += degrees * degrees;
        frames += 1.0;
      }
    }
  }
  EXPECT_LE(std::sqrt(squares / frames), 2.1);
}

// 3-beam illumination, 5 phases: the second harmonic is found at twice the wave vector with
// its own phase constant, and the first harmonic is as good as without it. Asked for the
// first alone, the estimator leaves the second at 0; a 2-beam stack has none to report.
TEST(PatternEstimation, SecondHarmonicOfThreeBeamStacks) {
  auto truth = korvex_test::Random_Truth(3, 5, 1.0 / (0.45 * kCutoff), 0.4, 0.1, 9);
  const auto twoBeam = korvex_test::Simulate_Stack(160, 160, kCutoff, truth, 1000, 10.0, 9);
  truth.modulations2 = {0.5, 0.4, 0.6};
  truth.phases2 = {0.5, 2.5, 4.5};
  const auto threeBeam = korvex_test::Simulate_Stack(160, 160, kCutoff, truth, 1000, 10.0, 9);
  const PatternEstimate e = Estimate<float>(threeBeam, 3, 5);
  const auto err = korvex_test::Compare(truth, e, 160, 160);
  EXPECT_LE(err.waveVector, 0.03);
  EXPECT_LE(err.phaseCentre, 4.0);
  EXPECT_LE(err.modulation, 0.05);
  for (size_t a = 0; a < 3; ++a) {
    const auto& o = e.orientations[a];
    EXPECT_NEAR(o.modulation2, truth.modulations2[a], 0.05) << a;
    EXPECT_GE(o.mcnr2, korvex::patterns::kLowMcnr) << a;
    const double sign = std::fmod(truth.angles[a], 2 * kPi) >= kPi ? -1.0 : 1.0;
    EXPECT_NEAR(std::remainder(sign * truth.phases2[a] - o.phase2, 2 * kPi), 0.0, 0.05) << a;
  }
  PatternGuess first;
  first.orders = 1;
  for (const auto& o : Estimate<float>(threeBeam, 3, 5, first).orientations) {
    EXPECT_EQ(o.modulation2, 0.0);
    EXPECT_EQ(o.mcnr2, 0.0);
  }
  for (const auto& o : Estimate<float>(twoBeam, 3, 5).orientations) {
    EXPECT_EQ(o.modulation2, 0.0) << o.mcnr2;
    EXPECT_LT(o.mcnr2, korvex::patterns::kLowMcnr);
  }
}

// Three beams of equal strength light 1 + 4/3 cos(t) + 2/3 cos(2t): the first harmonic is
// deeper than a 2-beam pattern's can be, and is measured so, while a first harmonic estimated
// alone stays within the depth that keeps 1 + a1 cos(t) non-negative.
TEST(PatternEstimation, EqualBeamsGiveAFirstHarmonicDeeperThanOne) {
  auto truth = korvex_test::Random_Truth(3, 5, 1.0 / (0.45 * kCutoff), 0.4, 0.1, 4);
  truth.modulations.assign(3, 4.0 / 3.0);
  truth.modulations2.assign(3, 2.0 / 3.0);
  truth.phases2 = {0.0, 0.0, 0.0};
  const auto stack = korvex_test::Simulate_Stack(160, 160, kCutoff, truth, 1000, 10.0, 4);
  for (const auto& o : Estimate<float>(stack, 3, 5).orientations) {
    EXPECT_NEAR(o.modulation, 4.0 / 3.0, 0.08);
    EXPECT_NEAR(o.modulation2, 2.0 / 3.0, 0.08);
    EXPECT_LE(o.modulation, 1.0 + o.modulation2);
  }
  PatternGuess first;
  first.orders = 1;
  for (const auto& o : Estimate<float>(stack, 3, 5, first).orientations) {
    EXPECT_EQ(o.modulation, 1.0);
  }
}

}  // namespace
