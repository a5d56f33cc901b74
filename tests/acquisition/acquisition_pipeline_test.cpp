// AcquisitionPipeline<T>: results on a simulated camera stack, kept engines, and bad input
// refused with a message naming the argument and nothing left on the device.
#include "acquisition_pipeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu.h"
#include "host_fixture.h"

namespace {

using namespace korvex::acquisition;

constexpr unsigned kH = 32, kW = 40, kF = 9;

AcquisitionOptions Options() {
  AcquisitionOptions o;
  o.optics = {1.2, 0.52, 0.1};
  IlluminationPattern p;
  p.angle = {0.2, 0.2 + 2.0944, 0.2 + 4.1888};
  p.period = {2.4, 2.4, 2.4};
  p.modulation = {1, 1, 1};
  for (unsigned f = 0; f < kF; ++f) p.phase.push_back(2.0944 * (f % 3));
  o.pattern = p;
  o.iterations = 5;
  return o;
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
  // The same geometry again: no buffer or plan is made anew.
  korvex::host::clear_call_counts();
  const AcquisitionResult<float> second =
      pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options());
  EXPECT_EQ(korvex::host::call_count("cudaMalloc"), 0u);
  EXPECT_EQ(korvex::host::call_count("cufftPlan2d"), 0u);
  EXPECT_EQ(second.image, first.image);
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
  o.pattern->period[2] = 1.0;
  EXPECT_TRUE(contains(Refusal(o), "pattern.period must be at least 2 pixels"));
  o = Options();
  o.sparsity = -0.1;
  EXPECT_TRUE(contains(Refusal(o), "sparsity must be a non-negative finite number"));
  o.sparsity = 0.5;
  o.nonNegative = false;
  EXPECT_TRUE(contains(Refusal(o), "sparsity needs nonnegative"));
  frames_[77] = NAN;
  EXPECT_TRUE(contains(Refusal(Options()), "frames hold NaN or Inf (at element 78)"));
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
  constexpr unsigned h = 64, w = 64;
  IlluminationPattern truth;
  truth.angle = {0.3, 0.3 + 1.0472, 0.3 + 2.0944};
  truth.period = {3.2, 3.2, 3.2};
  truth.modulation = {0.8, 0.8, 0.8};
  for (unsigned f = 0; f < kF; ++f) truth.phase.push_back(2.0944 * (f % 3) + 0.1 * f);
  std::vector<float> stack(size_t{h} * w * kF);
  Build_Masks(truth, h, w, stack.data());
  for (size_t i = 0; i < stack.size(); ++i) {
    const size_t pixel = i % (size_t{h} * w);
    stack[i] *= float(100.0 * (1.5 + std::sin(0.21 * double(pixel % h)) *
                                         std::cos(0.17 * double(pixel / h))));
  }
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
    std::vector<double> values = r.pattern.angle;
    values.insert(values.end(), r.pattern.period.begin(), r.pattern.period.end());
    values.insert(values.end(), r.pattern.modulation.begin(), r.pattern.modulation.end());
    values.insert(values.end(), r.pattern.phase.begin(), r.pattern.phase.end());
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

TEST_F(AcquisitionPipelineTest, PlatformFailureLeavesNothingHeld) {
  korvex::host::fail_call("cufftExecC2C", 1, CUFFT_EXEC_FAILED);
  EXPECT_THROW(pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options()), std::runtime_error);
  EXPECT_TRUE(korvex::host::ledger().empty());
  korvex::host::clear_failures();
  EXPECT_NO_THROW(pipeline_.Reconstruct(frames_.data(), kH, kW, kF, Options()));
  pipeline_.Release();
}

}  // namespace
