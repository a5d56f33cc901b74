// Whole reconstructions against the independent reference, on odd and non-square sizes.
#include <gtest/gtest.h>

#include <cmath>

#include "engine_run.h"
#include "reference_model.h"
#include "synthetic_sim.h"

namespace {

using namespace korvex::test;

struct Geometry {
  unsigned W, H, F;
};

class ReferenceTest : public ::testing::TestWithParam<Geometry> {};

constexpr double kLambda = 0.01;
constexpr double kAlpha = 0.1;

double Relative(double actual, double reference) {
  return std::abs(actual - reference) / std::abs(reference);
}

TEST_P(ReferenceTest, DoubleEngineFollowsTheReference) {
  const Geometry g = GetParam();
  const Problem p = Random_Problem(g.W, g.H, g.F, 11 * g.W + g.H);
  const ReferenceResult expected = Reference_Reconstruct(p, 20, 0.0, kLambda, kAlpha);
  const EngineResult<double> actual = Run_Engine<double>(p, 20, 0.0, kLambda, kAlpha);
  ASSERT_EQ(expected.iteration, 19u) << "the reference should run to the limit";
  EXPECT_EQ(actual.iteration, expected.iteration);
  EXPECT_LT(Relative_Difference(actual.output, expected.output), 1e-9);
  EXPECT_LT(Relative(actual.alpha, expected.alpha), 1e-9);
  EXPECT_LT(Relative(actual.ratio, expected.ratio), 1e-9);
}

TEST_P(ReferenceTest, FloatEngineFollowsTheReferenceOverTheFirstIterations) {
  const Geometry g = GetParam();
  const Problem p = Random_Problem(g.W, g.H, g.F, 7 * g.W + g.H);
  const ReferenceResult expected = Reference_Reconstruct(p, 5, 0.0, kLambda, kAlpha);
  const EngineResult<float> actual = Run_Engine<float>(p, 5, 0.0, kLambda, kAlpha);
  EXPECT_EQ(actual.iteration, expected.iteration);
  EXPECT_LT(Relative_Difference(To_Double(actual.output), expected.output), 1e-3);
  EXPECT_LT(Relative(actual.alpha, expected.alpha), 1e-3);
  EXPECT_LT(Relative(actual.ratio, expected.ratio), 1e-3);
}

TEST_P(ReferenceTest, ConvergenceStopMatchesTheReference) {
  const Geometry g = GetParam();
  const Problem p = Random_Problem(g.W, g.H, g.F, 3 * g.W + g.H);
  // Run once to pick a threshold between two ratios, so the stop is not a near tie.
  const ReferenceResult free = Reference_Reconstruct(p, 6, 0.0, kLambda, kAlpha);
  const double threshold = 2.0 * free.ratio;
  const ReferenceResult expected = Reference_Reconstruct(p, 20, threshold, kLambda, kAlpha);
  const EngineResult<double> actual = Run_Engine<double>(p, 20, threshold, kLambda, kAlpha);
  ASSERT_LT(expected.iteration, 19u) << "the threshold should stop the reference early";
  EXPECT_EQ(actual.iteration, expected.iteration);
  EXPECT_LT(Relative_Difference(actual.output, expected.output), 1e-9);
  EXPECT_LT(Relative(actual.ratio, expected.ratio), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(OddAndNonSquare, ReferenceTest,
                         ::testing::Values(Geometry{24, 17, 3}, Geometry{32, 48, 9}),
                         [](const ::testing::TestParamInfo<Geometry>& param_info) {
                           return std::to_string(param_info.param.W) + "x" +
                                  std::to_string(param_info.param.H) + "x" +
                                  std::to_string(param_info.param.F);
                         });

}  // namespace
