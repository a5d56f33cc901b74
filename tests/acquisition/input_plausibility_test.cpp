// No silent wrong answers: lengths in mixed units refused with their likely cause, values near
// the type's range reconstructed (or refused) rather than turned into NaN, a stack too large
// for the memory refused before anything is allocated, and messages in the caller's terms.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "acquisition_pipeline.h"
#include "caller_terms.h"
#include "host_fixture.h"
#include "memory_budget.h"
#include "pattern_estimate.h"
#include "pattern_sim.h"

namespace {

using namespace korvex::acquisition;
using ::testing::HasSubstr;

constexpr unsigned kSide = 64;
// 2 na / wavelength x pixel: the camera grid's cut-off, in cycles per pixel.
constexpr double kNa = 1.2, kWavelength = 0.52, kPixel = 0.1;
const double kCutoff = 2 * kNa / kWavelength * kPixel;

korvex_test::SimStack Stack() {
  const korvex_test::PatternTruth truth = korvex_test::Random_Truth(3, 3, 2.6, 0.3, 0.0, 7);
  return korvex_test::Simulate_Stack(kSide, kSide, kCutoff, truth, 1000, 0, 11);
}

AcquisitionOptions Optics(double wavelength, double pixel) {
  AcquisitionOptions o;
  o.optics = {kNa, wavelength, pixel};
  o.iterations = 4;
  return o;
}

template <typename T>
std::string Refusal(AcquisitionPipeline<T>& pipeline, const std::vector<T>& frames,
                    const AcquisitionOptions& options) {
  try {
    pipeline.Reconstruct(frames.data(), kSide, kSide, 9, options);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class PlausibilityTest : public korvex::test::HostDeviceTest {};

TEST_F(PlausibilityTest, LengthsInMixedUnitsAreRefusedWithTheirCause) {
  const korvex_test::SimStack stack = Stack();
  const std::vector<double> frames = stack.frames;
  AcquisitionPipeline<double> pipeline;
  // Without a pattern the estimator used to blame the image's size; with one, nothing failed.
  AcquisitionOptions nanometres = Optics(520, 0.065);
  EXPECT_THAT(Refusal(pipeline, frames, nanometres),
              HasSubstr("wavelength 520 looks like nanometres; lengths are in micrometres"));
  const IlluminationPattern pattern = Pattern_From_Rows(
      {0.3, 1.35, 2.4}, {2.6, 2.6, 2.6}, {1, 1, 1},
      {0, 2.1, 4.2, 0, 2.1, 4.2, 0, 2.1, 4.2});
  nanometres.pattern = pattern;
  EXPECT_THAT(Refusal(pipeline, frames, nanometres),
              HasSubstr("wavelength 520 looks like nanometres; lengths are in micrometres"));
  EXPECT_THAT(Refusal(pipeline, frames, Optics(0.52, 65)),
              HasSubstr("pixelSize 65 looks like nanometres"));

  // The estimator on its own is given the OTF: a passband under two bins names the units.
  const std::vector<double> narrow = korvex_test::Pupil_Otf(kSide, kSide, 0.02);
  try {
    korvex::patterns::Estimate_Patterns(frames.data(), narrow.data(), kSide, kSide, 3, 3);
    ADD_FAILURE() << "a passband of 1.3 bins was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_THAT(std::string(e.what()), HasSubstr("different units"));
  }
}

// The same stack at 1 and at a scale near the type's range gives the same image, scaled, and
// the same pattern.
template <typename T>
void Expect_Scale_Invariant(double scale) {
  const korvex_test::SimStack stack = Stack();
  std::vector<T> plain(stack.frames.begin(), stack.frames.end());
  std::vector<T> large(plain.size());
  for (size_t i = 0; i < plain.size(); ++i) large[i] = static_cast<T>(stack.frames[i] * scale);
  AcquisitionPipeline<T> pipeline;
  const AcquisitionOptions options = Optics(kWavelength, kPixel);
  const AcquisitionResult<T> reference =
      pipeline.Reconstruct(plain.data(), kSide, kSide, 9, options);
  const AcquisitionResult<T> scaled = pipeline.Reconstruct(large.data(), kSide, kSide, 9, options);
  double peak = 0.0, error = 0.0;
  for (size_t i = 0; i < reference.image.size(); ++i) {
    ASSERT_TRUE(std::isfinite(scaled.image[i])) << "at " << i << ", scale " << scale;
    peak = std::max(peak, std::abs(double(reference.image[i])));
    error = std::max(error, std::abs(double(scaled.image[i]) / scale - reference.image[i]));
  }
  EXPECT_LT(error, 1e-3 * peak) << "scale " << scale;
  for (unsigned a = 0; a < 3; ++a) {
    EXPECT_NEAR(scaled.pattern.orientations[a].period, reference.pattern.orientations[a].period, 1e-3);
    EXPECT_NEAR(scaled.pattern.orientations[a].mcnr, reference.pattern.orientations[a].mcnr,
                1e-3 * reference.pattern.orientations[a].mcnr);
  }
}

TEST_F(PlausibilityTest, ValuesNearTheTypesRangeGiveTheScaledImage) {
  Expect_Scale_Invariant<double>(1e40);
  Expect_Scale_Invariant<double>(1e-40);
  // Frames whose sum overflows a double: their mean (the sparsity's weight) used to be Inf.
  Expect_Scale_Invariant<double>(1e304);
  Expect_Scale_Invariant<float>(1e33);
}

// A guess the search cannot reach used to return the zero-frequency bin: period 0, NaN masks.
TEST_F(PlausibilityTest, APeriodGuessOutsideThePassbandIsRefused) {
  const korvex_test::SimStack stack = Stack();
  korvex::patterns::PatternGuess guess;
  guess.period = 61.8;
  try {
    korvex::patterns::Estimate_Patterns(stack.frames.data(), stack.otf.data(), kSide, kSide, 3, 3,
                                        guess);
    ADD_FAILURE() << "a guess of 61.8 pixels was searched";
  } catch (const std::invalid_argument& e) {
    EXPECT_THAT(std::string(e.what()), HasSubstr("lies outside the passband"));
  }
  guess.period = 2.6;  // the stripes' own
  const auto found = korvex::patterns::Estimate_Patterns(stack.frames.data(), stack.otf.data(),
                                                         kSide, kSide, 3, 3, guess);
  EXPECT_NEAR(found.orientations[0].period, 2.6, 0.02);
}

// At 1e38 the estimator used to return periods of 16, 8 and 6.4 pixels with MCNR 1e6.
TEST_F(PlausibilityTest, TheEstimatorReadsFramesNearTheFloatRangeLikeAnyOther) {
  const korvex_test::SimStack stack = Stack();
  double largest = 0.0;
  for (double v : stack.frames) largest = std::max(largest, v);
  std::vector<float> plain(stack.frames.begin(), stack.frames.end()), large(plain.size());
  for (size_t i = 0; i < large.size(); ++i) large[i] = float(stack.frames[i] / largest * 1e38);
  const std::vector<float> otf(stack.otf.begin(), stack.otf.end());
  const auto reference =
      korvex::patterns::Estimate_Patterns(plain.data(), otf.data(), kSide, kSide, 3, 3);
  const auto scaled =
      korvex::patterns::Estimate_Patterns(large.data(), otf.data(), kSide, kSide, 3, 3);
  for (unsigned a = 0; a < 3; ++a) {
    EXPECT_NEAR(scaled.orientations[a].period, reference.orientations[a].period, 1e-3);
    EXPECT_NEAR(scaled.orientations[a].mcnr, reference.orientations[a].mcnr,
                1e-2 * reference.orientations[a].mcnr);
  }
}

TEST_F(PlausibilityTest, AnImageBeyondSinglePrecisionIsRefusedNotNaN) {
  const korvex_test::SimStack stack = Stack();
  double largest = 0.0;
  for (double v : stack.frames) largest = std::max(largest, v);
  std::vector<float> frames(stack.frames.size());
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = float(stack.frames[i] / largest * 3e38);
  AcquisitionPipeline<float> pipeline;
  try {
    const AcquisitionResult<float> r =
        pipeline.Reconstruct(frames.data(), kSide, kSide, 9, Optics(kWavelength, kPixel));
    for (float v : r.image) ASSERT_TRUE(std::isfinite(v));
  } catch (const std::invalid_argument& e) {
    EXPECT_THAT(std::string(e.what()), HasSubstr("range of single precision"));
  }
}

// What the process may take is lowered below the reconstruction's need through RLIMIT_DATA:
// the refusal must come at once, name both figures, and leave nothing held.
TEST_F(PlausibilityTest, AStackThatDoesNotFitIsRefusedAtOnce) {
  constexpr unsigned kLarge = 1024;
  std::vector<float> frames(size_t{kLarge} * kLarge * 9, 1.0f);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_DATA, &saved), 0);
  // 64 MiB beyond the data the process holds now.
  unsigned long long dataKb = 0;
  std::FILE* status = std::fopen("/proc/self/status", "r");
  ASSERT_NE(status, nullptr);
  char line[256];
  while (std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, "VmData: %llu kB", &dataKb) == 1) break;
  }
  std::fclose(status);
  ASSERT_GT(dataKb, 0u);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(dataKb * 1024 + (uint64_t{64} << 20));
  ASSERT_EQ(setrlimit(RLIMIT_DATA, &lowered), 0);
  std::string message;
  const auto start = std::chrono::steady_clock::now();
  try {
    AcquisitionPipeline<float> pipeline;
    pipeline.Reconstruct(frames.data(), kLarge, kLarge, 9, Optics(kWavelength, kPixel));
  } catch (const MemoryShortage& e) {
    message = e.what();
  } catch (const std::exception& e) {
    message = std::string("not a MemoryShortage: ") + e.what();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(setrlimit(RLIMIT_DATA, &saved), 0);
  EXPECT_THAT(message, HasSubstr("the reconstruction needs about"));
  EXPECT_THAT(message, HasSubstr("are available (the process's RLIMIT_DATA)"));
  // The out-of-focus model, on by default, is one of the things to give up.
  EXPECT_THAT(message, HasSubstr("turn the out-of-focus model off, or use fewer"));
  EXPECT_LT(seconds, 10.0);
}

TEST(CallerTermsTest, ShapesPositionsAndNamesFollowTheCaller) {
  EXPECT_EQ(korvex::Shape_Text(300, 7, 9), "300 x 7 x 9");
  EXPECT_EQ(korvex::Position_Text(25, 18), "row 26, column 19, counted from 1");
  const korvex::CallerTerms numpy{true, 0, "", {{"pixelSize", "pixel_size"}}};
  {
    const korvex::CallerScope scope(numpy);
    // The core's 300 x 7 x 9 is numpy's (9, 7, 300).
    EXPECT_EQ(korvex::Shape_Text(300, 7, 9), "(9, 7, 300)");
    EXPECT_EQ(korvex::Shape_Text(300, 7), "(7, 300)");
    EXPECT_EQ(korvex::Position_Text(25, 18), "row 18, column 25, counted from 0");
    EXPECT_EQ(korvex::Argument("pixelSize"), "pixel_size");
    EXPECT_EQ(korvex::Caller_Prefix(), "");
  }
  EXPECT_EQ(korvex::Argument("pixelSize"), "pixelSize");
}

}  // namespace

namespace {

double Resident_MiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  unsigned long long kb = 0;
  while (status != nullptr && std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, "VmRSS: %llu kB", &kb) == 1) break;
  }
  if (status != nullptr) std::fclose(status);
  return double(kb) / 1024.0;
}

// Freed buffers used to stay with the process: after closing a kept pipeline it held more
// than twice what it held before the pipeline was made.
TEST_F(PlausibilityTest, ReleasingAKeptPipelineGivesItsMemoryBack) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory in quarantine";
#endif
  setenv("KORVEX_FFTW_PLANNER", "estimate", 0);  // measured plans of 512 x 512 take seconds
  constexpr unsigned kLarge = 512;
  std::vector<float> frames(size_t{kLarge} * kLarge * 9);
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = float(1 + (i * 7919) % 13);
  AcquisitionOptions options = Optics(kWavelength, kPixel);
  options.iterations = 1;
  options.upsample = 1;
  const IlluminationPattern pattern = Pattern_From_Rows(
      {0.3, 1.35, 2.4}, {2.6, 2.6, 2.6}, {1, 1, 1},
      {0, 2.1, 4.2, 0, 2.1, 4.2, 0, 2.1, 4.2});
  options.pattern = pattern;
  {
    // Code, plans and thread pools that stay once touched: touched first on a small stack.
    AcquisitionPipeline<float> warm;
    warm.Reconstruct(frames.data(), 64, 64, 9, options);
  }
  const double before = Resident_MiB();
  {
    AcquisitionPipeline<float> pipeline;
    pipeline.Reconstruct(frames.data(), kLarge, kLarge, 9, options);
    pipeline.Release();
  }
  EXPECT_LE(Resident_MiB(), 1.2 * before) << before;
}

}  // namespace
