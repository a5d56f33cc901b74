// AcquisitionPipeline<T>: results on a simulated camera stack, kept engines, and bad input
// refused with a message naming the argument and nothing left on the device.
#include "acquisition_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu.h"
#include "host_fixture.h"
#include "pattern_sim.h"

namespace {

using namespace korvex::acquisition;

constexpr unsigned kH = 32, kW = 40, kF = 9;

// Three orientations `step` apart, of one period and depth; phases given per frame.
IlluminationPattern Pattern(double first, double step, double period, double depth,
                            const std::vector<double>& phases) {
  IlluminationPattern p;
  for (unsigned a = 0; a < 3; ++a) {
    korvex::patterns::OrientationEstimate o;
    o.angle = first + step * a;
    o.period = period;
    o.modulation = depth;
    p.orientations.push_back(o);
  }
  p.phases = phases;
  return p;
}

AcquisitionOptions Options() {
  AcquisitionOptions o;
  o.optics = {1.2, 0.52, 0.1};
  std::vector<double> phases;
  for (unsigned f = 0; f < kF; ++f) phases.push_back(2.0944 * (f % 3));
  o.pattern = Pattern(0.2, 2.0944, 2.4, 1, phases);
  o.iterations = 5;
  return o;
}

// A 64 x 64 stack striped by `truth` over a smooth positive specimen of about 150 counts.
constexpr unsigned kStripedSide = 64;
std::vector<float> Striped_Stack(const IlluminationPattern& truth) {
  std::vector<float> stack(size_t{kStripedSide} * kStripedSide * kF);
  Build_Masks(truth, kStripedSide, kStripedSide, stack.data());
  for (size_t i = 0; i < stack.size(); ++i) {
    const size_t pixel = i % (size_t{kStripedSide} * kStripedSide);
    stack[i] *= float(100.0 * (1.5 + std::sin(0.21 * double(pixel % kStripedSide)) *
                                         std::cos(0.17 * double(pixel / kStripedSide))));
  }
  return stack;
}

IlluminationPattern Striped_Truth() {
  std::vector<double> phases;
  for (unsigned f = 0; f < kF; ++f) phases.push_back(2.0944 * (f % 3) + 0.1 * f);
  return Pattern(0.3, 1.0472, 3.2, 0.8, phases);
}

// Camera frames: the masks of the pattern times a smooth positive object, so that the
// stack is finite and positive; the result's quality is the Octave tests' business.
std::vector<float> Frames() {
  std::vector<float> frames(kH * kW * kF);
  for (size_t i = 0; i < frames.size(); ++i) {
    frames[i] =
        float(1.0 + 0.5 * std::sin(0.3 * double(i % (kH * kW))) + 0.1 * double(i / (kH * kW)));
  }
  return frames;
}

class AcquisitionPipelineTest : public korvex::test::HostDeviceTest {
 protected:
  // The message of the invalid_argument Reconstruct throws for `options`, or "".
  std::string Refusal(const AcquisitionOptions& options, unsigned frames = kF) {
    try {
      pipeline_.Reconstruct(frames_.data(), kH, kW, frames, options);
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(korvex::host::ledger().empty()) << "held after: " << e.what();
      return e.what();
    }
    return "";
  }
  std::vector<float> frames_ = Frames();
  AcquisitionPipeline<float> pipeline_;
};

TEST_F(AcquisitionPipelineTest, ReturnsTheFineGridAndKeepsTheEngine) {
  const AcquisitionResult<float> first =
      pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options());
  EXPECT_EQ(first.height, 2 * kH);
  EXPECT_EQ(first.width, 2 * kW);
  EXPECT_DOUBLE_EQ(first.pixelSize, 0.05);
  EXPECT_EQ(first.iterations, 5u);
  EXPECT_FALSE(first.estimated);
  EXPECT_EQ(first.image.size(), size_t{4} * kH * kW);
  EXPECT_GT(first.seconds.engineSetup, 0.0);
  // With a given pattern there is no estimator to build.
  EXPECT_TRUE(!first.built.estimator && first.built.upsampler && first.built.otf &&
              first.built.engine);
  // The same geometry again: no buffer or plan is made anew.
  korvex::host::clear_call_counts();
  const AcquisitionResult<float> second =
      pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options());
  EXPECT_EQ(korvex::host::call_count("cudaMalloc"), 0u);
  EXPECT_EQ(korvex::host::call_count("cufftPlan2d"), 0u);
  EXPECT_EQ(second.image, first.image);
  EXPECT_TRUE(!second.built.estimator && !second.built.upsampler && !second.built.otf &&
              !second.built.engine);
  EXPECT_GE(second.seconds.total, second.seconds.reconstruction + second.seconds.upsampling);
  pipeline_.Release();
}

TEST_F(AcquisitionPipelineTest, RefusesBadInputNamingTheArgument) {
  // An engine is built first, so that each refusal also has something to release.
  pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options());
  const auto contains = [](const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  };
  AcquisitionOptions o = Options();
  o.optics.na = 0;
  EXPECT_TRUE(contains(Refusal(o), "na must be given"));
  o = Options();
  o.optics.pixelSize = 0;
  EXPECT_TRUE(contains(Refusal(o), "pixelSize must be given"));
  o = Options();
  o.optics.na = 1.4;
  o.optics.immersion = 1.33;
  EXPECT_TRUE(contains(Refusal(o), "na (1.4) must be below the immersion medium"));
  o = Options();
  o.optics.pixelSize = 0.25;  // cut-off 4.6 beyond the fine grid's Nyquist 2 / 0.5 = 4
  EXPECT_TRUE(contains(Refusal(o), "pixelSize (0.25) is too coarse"));
  o = Options();
  o.upsample = 1.5;
  EXPECT_TRUE(contains(Refusal(o), "upsample must be a whole number"));
  o.upsample = 0;
  EXPECT_TRUE(contains(Refusal(o), "upsample must be a whole number"));
  o.upsample = 4096;  // 131072 x 163840 x 9 values
  EXPECT_TRUE(contains(Refusal(o), "too large for the engine"));
  o = Options();
  o.otf = MeasuredOtf{std::vector<double>(31 * 40, 1.0), 31, 40};
  EXPECT_TRUE(contains(Refusal(o), "otf must be 32 x 40 (the camera grid) or 64 x 80"));
  o.otf = MeasuredOtf{std::vector<double>(kH * kW, 0.5), kH, kW};
  EXPECT_TRUE(contains(Refusal(o), "otf must be 1 at zero frequency (row 17, column 21"));
  o = Options();
  EXPECT_TRUE(contains(Refusal(o, 8), "frames must hold angles x phases = 3 x 3 = 9 frames"));
  o.phases = 2;
  EXPECT_TRUE(contains(Refusal(o, 6), "phases must be at least 3"));
  o = Options();
  o.pattern->orientations[2].period = 1.0;
  EXPECT_TRUE(contains(Refusal(o), "pattern.period must be at least 2 pixels"));
  o = Options();
  o.sparsity = -0.1;
  EXPECT_TRUE(contains(Refusal(o), "sparsity must be a non-negative finite number"));
  o.sparsity = 0.5;
  o.nonNegative = false;
  EXPECT_TRUE(contains(Refusal(o), "sparsity needs nonnegative"));
  frames_[77] = NAN;
  EXPECT_TRUE(contains(Refusal(Options()), "frames hold NaN or Inf (at element 78)"));
  // Infinities of both signs (their sum is NaN), and one in the last element.
  frames_[77] = -INFINITY;
  frames_[90] = INFINITY;
  EXPECT_TRUE(contains(Refusal(Options()), "frames hold NaN or Inf (at element 78)"));
  frames_[77] = frames_[90] = 1.0;
  frames_.back() = INFINITY;
  EXPECT_TRUE(contains(Refusal(Options()), "frames hold NaN or Inf (at element " +
                                               std::to_string(frames_.size()) + ")"));
}

// The sparsity share follows nonnegative by default, pulls pixels to zero as it grows, and
// leaves frames whose mean is not positive alone.
TEST_F(AcquisitionPipelineTest, SparsityDefaultsAndPull) {
  AcquisitionOptions o = Options();
  o.iterations = 20;
  EXPECT_EQ(Sparsity_Share(o), ReconstructionDefaults::kSparsity);
  o.nonNegative = false;
  EXPECT_EQ(Sparsity_Share(o), 0.0);
  o.nonNegative = true;
  const auto zeros = [](const std::vector<float>& image) {
    size_t count = 0;
    for (float v : image) count += v == 0.0f;
    return count;
  };
  const auto run = [&](std::optional<double> share, const std::vector<float>& frames) {
    o.sparsity = share;
    return pipeline_.Reconstruct(frames.data(), kH, kW, kF, o).image;
  };
  EXPECT_EQ(run(std::nullopt, frames_), run(ReconstructionDefaults::kSparsity, frames_));
  const size_t none = zeros(run(0.0, frames_));
  EXPECT_GT(zeros(run(1.0, frames_)), none + kH * kW / 10);
  std::vector<float> lowered = frames_;
  for (float& v : lowered) v -= 3.0f;  // the mean is about -1.6
  EXPECT_EQ(run(0.5, lowered), run(0.0, lowered));
  pipeline_.Release();
}

TEST_F(AcquisitionPipelineTest, StripelessFramesAreReportedNotRefused) {
  // The same image in every frame: each orientation is flagged, and the call still returns a
  // finite image from the estimator's best guess.
  AcquisitionOptions o = Options();
  o.pattern.reset();
  std::vector<float> blank(frames_.size());
  unsigned state = 12345;
  for (size_t i = 0; i < blank.size(); ++i) {
    state = state * 1664525u + 1013904223u;  // a little noise, different in every frame
    blank[i] = 100.0f * frames_[i % (kH * kW)] + float(state >> 8) / float(1u << 24);
  }
  const AcquisitionResult<float> result = pipeline_.Reconstruct(blank.data(), kH, kW, kF, o);
  EXPECT_TRUE(result.estimated);
  EXPECT_EQ(result.lowModulation, (std::vector<unsigned>{0, 1, 2}));
  for (float v : result.image) ASSERT_TRUE(std::isfinite(v));
  pipeline_.Release();
}

TEST_F(AcquisitionPipelineTest, KeptCameraOtfFollowsTheOptics) {
  // A striped stack; the camera grid's OTF is kept between calls, so a pipeline that saw
  // other optics before must estimate exactly what a fresh one estimates.
  constexpr unsigned h = kStripedSide, w = kStripedSide;
  const std::vector<float> stack = Striped_Stack(Striped_Truth());
  AcquisitionOptions wide = Options();
  wide.pattern.reset();
  wide.upsample = 1;
  wide.iterations = 0;
  AcquisitionOptions narrow = wide;
  narrow.optics.na = 1.0;
  const auto estimate = [&](AcquisitionPipeline<float>& pipeline,
                            const AcquisitionOptions& options) {
    const AcquisitionResult<float> r = pipeline.Reconstruct(stack.data(), h, w, kF, options);
    EXPECT_TRUE(r.estimated);
    std::vector<double> values;
    for (const auto& o : r.pattern.orientations) values.push_back(o.angle);
    for (const auto& o : r.pattern.orientations) values.push_back(o.period);
    for (const auto& o : r.pattern.orientations) values.push_back(o.modulation);
    values.insert(values.end(), r.pattern.phases.begin(), r.pattern.phases.end());
    return values;
  };
  const std::vector<double> wideFirst = estimate(pipeline_, wide);
  const std::vector<double> narrowAfterWide = estimate(pipeline_, narrow);
  const std::vector<double> wideAgain = estimate(pipeline_, wide);
  pipeline_.Release();
  AcquisitionPipeline<float> fresh;
  const std::vector<double> narrowFresh = estimate(fresh, narrow);
  fresh.Release();
  EXPECT_EQ(narrowAfterWide, narrowFresh);
  EXPECT_EQ(wideAgain, wideFirst);
  // The two optics do lead to different estimates, so a stale OTF would show above.
  EXPECT_NE(wideFirst, narrowFresh);
  // And the stripes are found.
  ASSERT_EQ(wideFirst.size(), 9u + kF);
  for (unsigned a = 0; a < 3; ++a) EXPECT_NEAR(wideFirst[3 + a], 3.2, 0.05);
}

// The camera's offset, given as a scalar or an image, is taken out before the estimate: the
// depth found is the one of the stack without offset, where the offset left in lowers it. The
// gain only rescales, so the depth stays.
TEST_F(AcquisitionPipelineTest, BackgroundRestoresTheDepthOfTheStackWithoutOffset) {
  // Noise-free filaments through the pipeline's own OTF (cut-off 2 NA / wavelength x pixel).
  constexpr unsigned side = 64;
  const double cutoff = 2 * 1.2 / 0.52 * 0.1;
  const auto truth = korvex_test::Random_Truth(3, 3, 1.0 / (0.8 * cutoff), 0.4, 0.1, 3);
  const auto sim = korvex_test::Simulate_Stack(side, side, cutoff, truth, 0, 0, 3);
  const std::vector<float> clean(sim.frames.begin(), sim.frames.end());
  double peak = 0;
  for (float v : clean) peak = std::max(peak, double(v));
  std::vector<float> offset = clean;
  for (float& v : offset) v += float(peak);
  AcquisitionOptions o = Options();
  o.pattern.reset();
  o.upsample = 1;
  o.iterations = 0;
  // The out-of-focus model measures the depth above a haze, and an offset left in the frames is
  // one: without the model the depth shows what the offset does.
  o.outOfFocus.enabled = false;
  const auto depths = [&](const std::vector<float>& stack, const CameraUnits& camera) {
    o.camera = camera;
    const AcquisitionResult<float> r = pipeline_.Reconstruct(stack.data(), side, side, kF, o);
    std::vector<double> values;
    for (const auto& p : r.pattern.orientations) values.push_back(p.modulation);
    return values;
  };
  const std::vector<double> plain = depths(clean, {});
  const std::vector<double> left = depths(offset, {});
  const std::vector<double> scalar = depths(offset, {{peak}, 1.0});
  const std::vector<double> image =
      depths(offset, {std::vector<double>(size_t{side} * side, peak), 1.0});
  std::vector<float> counts = offset;
  for (float& v : counts) v *= 2.5f;
  const std::vector<double> gained = depths(counts, {{2.5 * peak}, 2.5});
  for (unsigned a = 0; a < 3; ++a) {
    EXPECT_NEAR(plain[a], truth.modulations[a], 0.05) << a;
    EXPECT_LT(left[a], 0.8 * plain[a]) << a;
    EXPECT_NEAR(scalar[a], plain[a], 1e-3) << a;
    EXPECT_NEAR(image[a], plain[a], 1e-3) << a;
    EXPECT_NEAR(gained[a], plain[a], 1e-3) << a;
  }
  pipeline_.Release();
}

// The reconstruction too sees the frames less their offset: its sparsity share refers to the
// signal above the background, so an offset given as such changes nothing.
TEST_F(AcquisitionPipelineTest, OffsetGivenAsBackgroundLeavesTheReconstructionAlone) {
  AcquisitionOptions o = Options();
  o.iterations = 10;
  const std::vector<float> plain = pipeline_.Reconstruct(frames_.data(), kH, kW, kF, o).image;
  std::vector<float> offset = frames_;
  for (float& v : offset) v += 40.0f;
  o.camera.background = {40.0};
  const std::vector<float> given = pipeline_.Reconstruct(offset.data(), kH, kW, kF, o).image;
  double difference = 0, norm = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    difference += std::pow(double(given[i]) - plain[i], 2);
    norm += std::pow(double(plain[i]), 2);
  }
  EXPECT_LT(std::sqrt(difference / norm), 1e-4);
  pipeline_.Release();
}

TEST_F(AcquisitionPipelineTest, RefusesCameraUnitsAndFramesTooSmallToEstimate) {
  AcquisitionOptions o = Options();
  o.camera.background = std::vector<double>(kH * kW - 1, 1.0);
  EXPECT_EQ(Refusal(o), "background must be a scalar or 32 x 40 like one frame, got 1279 values");
  o.camera = {{NAN}, 1.0};
  EXPECT_EQ(Refusal(o), "background holds NaN or Inf");
  o.camera = {{}, 0.0};
  EXPECT_EQ(Refusal(o), "gain must be a positive finite number of counts per photon, got 0");
  // 12 x 12 frames reconstruct with a given pattern but cannot be estimated from.
  frames_.resize(12 * 12 * kF);
  o = Options();
  EXPECT_NO_THROW(pipeline_.Reconstruct(frames_.data(), 12, 12, kF, o));
  o.pattern.reset();
  try {
    pipeline_.Reconstruct(frames_.data(), 12, 12, kF, o);
    ADD_FAILURE() << "12 x 12 frames estimated";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()),
              "frames of 12 x 12 pixels are too small to estimate the pattern from (at least "
              "16 x 16); give the pattern instead");
  }
  EXPECT_TRUE(korvex::host::ledger().empty());
}

// A camera pixel coarser than wavelength / (4 NA) aliases the frames: reported with the
// largest pixel that would not, and the remedy.
TEST_F(AcquisitionPipelineTest, CoarsePixelIsReportedUndersampled) {
  AcquisitionOptions o = Options();
  o.iterations = 0;
  EXPECT_EQ(pipeline_.Reconstruct(frames_.data(), kH, kW, kF, o).undersampled, "");
  o.optics.pixelSize = 0.11;  // wavelength / (4 NA) = 0.108333
  const std::string text = pipeline_.Reconstruct(frames_.data(), kH, kW, kF, o).undersampled;
  EXPECT_NE(text.find("the camera pixel (0.11) is coarser than wavelength / (4 NA) = 0.108333"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("finer camera pixel, at most 0.108333"), std::string::npos) << text;
  EXPECT_NE(text.find("raising upsample does not help"), std::string::npos) << text;
  pipeline_.Release();
}

TEST_F(AcquisitionPipelineTest, PlatformFailureLeavesNothingHeld) {
  korvex::host::fail_call("cufftExecC2C", 1, CUFFT_EXEC_FAILED);
  EXPECT_THROW(pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options()), std::runtime_error);
  EXPECT_TRUE(korvex::host::ledger().empty());
  korvex::host::clear_failures();
  EXPECT_NO_THROW(pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options()));
  pipeline_.Release();
}

}  // namespace
