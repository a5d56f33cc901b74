// What a reconstruction call hands back and what it hands the engine: output shapes and
// classes, the statistics, the conversion of the settings and the order of the data arrays.
#include <cmath>
#include <vector>

#include "gateway_harness.h"

namespace korvex::test {
namespace {

using mex_substitute::Element;
using mex_substitute::Make_Filled;
using mex_substitute::Make_Scalar;

constexpr float kStartRatio = 3.4028235e38f;

template <typename T>
struct Traits;
template <>
struct Traits<float> {
  static constexpr mxClassID kClass = mxSINGLE_CLASS;
  static Korvex<float>* Engine() { return Computing_S; }
  static constexpr double kTolerance = 1e-5;
};
template <>
struct Traits<double> {
  static constexpr mxClassID kClass = mxDOUBLE_CLASS;
  static Korvex<double>* Engine() { return Computing_D; }
  // Magnitudes carry single precision in the double engine too.
  static constexpr double kTolerance = 1e-6;
};

template <typename T>
class GatewayOutputs : public GatewayTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(GatewayOutputs, Precisions);

void Expect_Matrix(const ArrayPtr& array, mxClassID classId, mwSize rows, mwSize columns) {
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(mxGetClassID(array.get()), classId);
  EXPECT_FALSE(mxIsComplex(array.get()));
  ASSERT_EQ(mxGetNumberOfDimensions(array.get()), 2u);
  EXPECT_EQ(mxGetDimensions(array.get())[0], rows);
  EXPECT_EQ(mxGetDimensions(array.get())[1], columns);
}

TYPED_TEST(GatewayOutputs, ZeroToFourOutputsOfTheRunsClassAndShape) {
  using Tr = Traits<TypeParam>;
  const ReconstructionInputs inputs = Valid_Inputs(Tr::kClass, {3, 5, 2}, 4);
  for (int nlhs = 0; nlhs <= 4; ++nlhs) {
    SCOPED_TRACE(nlhs);
    const CallResult result = Reconstruct(inputs, nlhs);
    // The image comes back even when no output is requested: it is MATLAB's `ans`.
    Expect_Matrix(result.outputs[0], Tr::kClass, 3, 5);
    for (int i = 1; i < static_cast<int>(result.outputs.size()); ++i) {
      Expect_Matrix(result.outputs[static_cast<size_t>(i)], Tr::kClass, 1, 1);
    }
    const Korvex<TypeParam>* engine = Tr::Engine();
    ASSERT_NE(engine, nullptr);
    if (nlhs > 1) {
      EXPECT_EQ(Element(result.outputs[1].get(), 0), engine->m_iteration);
    }
    if (nlhs > 2) {
      EXPECT_EQ(Element(result.outputs[2].get(), 0), engine->m_alpha);
    }
    if (nlhs > 3) {
      EXPECT_EQ(Element(result.outputs[3].get(), 0), engine->m_ratio);
    }
  }
}

// Without iterations the result is the first estimate: the per-pixel sum of the raw frames.
TYPED_TEST(GatewayOutputs, IterationLimitZeroGivesTheFrameSum) {
  using Tr = Traits<TypeParam>;
  const Geometry geometry{3, 5, 3};
  const ReconstructionInputs inputs = Valid_Inputs(Tr::kClass, geometry, 0);
  const CallResult result = Reconstruct(inputs, 4);
  const size_t pixels = geometry.height * geometry.width;
  for (size_t i = 0; i < pixels; ++i) {
    double sum = 0;
    for (size_t f = 0; f < geometry.frames; ++f)
      sum += Element(inputs.sequence.get(), f * pixels + i);
    EXPECT_NEAR(Element(result.outputs[0].get(), i), sum, 1e-6 * sum) << "pixel " << i;
  }
  EXPECT_EQ(Element(result.outputs[1].get(), 0), 0.0);
  EXPECT_EQ(Element(result.outputs[2].get(), 0), static_cast<TypeParam>(0.05));
  EXPECT_EQ(Element(result.outputs[3].get(), 0), static_cast<TypeParam>(kStartRatio));
}

// With a flat OTF and no regulariser one iteration is a per-pixel formula, so the OTF and the
// mask must reach the engine in their places and the image must come back in MATLAB order:
//   x0 = sum_j y_j,  g = sum_j m_j (m_j x0 - m_j y_j),  x1 = x0 - alpha g.
TYPED_TEST(GatewayOutputs, OneIterationWithAFlatOtfMatchesThePixelFormula) {
  using Tr = Traits<TypeParam>;
  const mwSize height = 3, width = 4, frames = 2, pixels = height * width;
  std::vector<double> data(pixels * frames), masks(pixels * frames);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = 1.0 + static_cast<double>((i * 5) % 7);
    masks[i] = 0.2 + 0.1 * static_cast<double>((i * 3) % 8);
  }
  ReconstructionInputs inputs = Valid_Inputs(Tr::kClass, {height, width, frames}, 1);
  inputs.sequence = Make_Filled(Tr::kClass, {height, width, frames}, data);
  inputs.mask = Make_Filled(Tr::kClass, {height, width, frames}, masks);
  inputs.otf = Make_Filled(Tr::kClass, {height, width}, std::vector<double>(pixels, 1.0));
  inputs.lambda = Make_Scalar(0);
  inputs.alpha = Make_Scalar(0.125);
  const CallResult result = Reconstruct(inputs, 1);
  for (size_t i = 0; i < pixels; ++i) {
    const double x0 = data[i] + data[pixels + i];
    double g = 0;
    for (size_t f = 0; f < frames; ++f) {
      const double m = masks[f * pixels + i], y = data[f * pixels + i];
      g += m * (m * x0 - m * y);
    }
    const double expected = x0 - 0.125 * g;
    EXPECT_NEAR(Element(result.outputs[0].get(), i), expected, Tr::kTolerance * 10 * std::fabs(x0))
        << "pixel " << i;
  }
}

TYPED_TEST(GatewayOutputs, SettingsAreConvertedToThePrecisionOfTheRun) {
  using Tr = Traits<TypeParam>;
  ReconstructionInputs inputs = Valid_Inputs(Tr::kClass, {}, 0);
  inputs.threshold = Make_Scalar(0.1);               // double setting
  inputs.lambda = Make_Scalar(0.3, mxSINGLE_CLASS);  // single setting
  inputs.alpha = Make_Scalar(0.7);
  Reconstruct(inputs);
  const Korvex<TypeParam>* engine = Tr::Engine();
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->m_threshold, static_cast<TypeParam>(0.1));
  EXPECT_EQ(engine->m_lambda, static_cast<TypeParam>(0.3f));
  EXPECT_EQ(engine->m_alpha, static_cast<TypeParam>(0.7));
}

TYPED_TEST(GatewayOutputs, IterationLimitIsTruncatedTowardZero) {
  using Tr = Traits<TypeParam>;
  const struct {
    double value;
    mxClassID classId;
    unsigned expected;
  } limits[] = {{2.9, mxDOUBLE_CLASS, 2},
                {2.9, mxSINGLE_CLASS, 2},
                {0.99, mxDOUBLE_CLASS, 0},
                {-0.0, mxDOUBLE_CLASS, 0},
                {7, mxSINGLE_CLASS, 7}};
  for (const auto& limit : limits) {
    SCOPED_TRACE(limit.value);
    ReconstructionInputs inputs = Valid_Inputs(Tr::kClass);
    inputs.maxIterations = Make_Scalar(limit.value, limit.classId);
    Reconstruct(inputs);
    ASSERT_NE(Tr::Engine(), nullptr);
    EXPECT_EQ(Tr::Engine()->m_maxIter, limit.expected);
  }
}

// MATLAB drops the trailing singleton of an H x W x 1 array: a 2-D sequence is one frame.
TYPED_TEST(GatewayOutputs, TwoDimensionalSequenceAndMaskAreOneFrame) {
  using Tr = Traits<TypeParam>;
  ReconstructionInputs inputs = Valid_Inputs(Tr::kClass, {4, 6, 1}, 0);
  ASSERT_EQ(mxGetNumberOfDimensions(inputs.sequence.get()), 2u);
  const CallResult result = Reconstruct(inputs, 1);
  ASSERT_NE(Tr::Engine(), nullptr);
  EXPECT_EQ(Tr::Engine()->m_frames, 1u);
  for (size_t i = 0; i < 24; ++i) {
    EXPECT_EQ(Element(result.outputs[0].get(), i), Element(inputs.sequence.get(), i));
  }
}

}  // namespace
}  // namespace korvex::test
