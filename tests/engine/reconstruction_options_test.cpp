// The opt-in options of Mapsim_Compute: each combination against the independent reference,
// the folded evaluation against the plain one, and the plain options against the seven-
// argument call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "engine_run.h"
#include "reference_model.h"
#include "synthetic_sim.h"

namespace {

using namespace korvex::test;

struct Case {
  unsigned W, H, F;
  bool nonNegative, frameData, folded;
  double sparsity = 0.0;
};

std::string Name(const ::testing::TestParamInfo<Case>& info) {
  const Case& c = info.param;
  return std::to_string(c.W) + "x" + std::to_string(c.H) + "x" + std::to_string(c.F) +
         (c.nonNegative ? "_nonNegative" : "") + (c.frameData ? "_frameData" : "") +
         (c.folded ? "_folded" : "") + (c.sparsity != 0.0 ? "_sparse" : "");
}

class OptionsReferenceTest : public ::testing::TestWithParam<Case> {};

// Random problems give a widefield start far from the data, so the unconstrained run goes
// negative and the projection has work to do.
TEST_P(OptionsReferenceTest, DoubleEngineFollowsTheReference) {
  const Case c = GetParam();
  const Problem p = Random_Problem(c.W, c.H, c.F, 5 * c.W + c.H);
  const ReferenceResult expected =
      Reference_Reconstruct(p, 20, 0.0, 0.01, 0.1, {c.nonNegative, c.frameData, c.sparsity});
  KorvexOptions options;
  options.nonNegative = c.nonNegative;
  options.frameData = c.frameData;
  options.foldedData = c.folded;
  options.sparsity = c.sparsity;
  const EngineResult<double> actual = Run_Engine<double>(p, 20, 0.0, 0.01, 0.1, options);
  EXPECT_EQ(actual.iteration, expected.iteration);
  EXPECT_LT(Relative_Difference(actual.output, expected.output), 1e-9);
  EXPECT_NEAR(actual.alpha, expected.alpha, 1e-9 * std::abs(expected.alpha));
  if (c.nonNegative) {
    EXPECT_GE(*std::min_element(actual.output.begin(), actual.output.end()), 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryCombination, OptionsReferenceTest,
    ::testing::Values(Case{24, 17, 3, true, false, false}, Case{24, 17, 3, false, true, false},
                      Case{24, 17, 3, true, true, false}, Case{24, 17, 3, false, false, true},
                      Case{24, 17, 3, true, true, true}, Case{32, 48, 9, true, true, true},
                      Case{32, 48, 9, false, true, true}, Case{24, 17, 3, true, true, false, 0.3},
                      Case{24, 17, 3, true, false, true, 0.3}, Case{32, 48, 9, true, true, true, 0.3}),
    Name);

template <typename T>
class OptionsTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(OptionsTest, Precisions);

TYPED_TEST(OptionsTest, PlainOptionsGiveTheSevenArgumentResultBitForBit) {
  using T = TypeParam;
  const Problem p = Random_Problem(24, 17, 3, 99);
  const EngineResult<T> seven = Run_Engine<T>(p, 12, 0.0, 0.01, 0.1);
  const EngineResult<T> plain = Run_Engine<T>(p, 12, 0.0, 0.01, 0.1, KorvexOptions{});
  ASSERT_EQ(seven.output.size(), plain.output.size());
  EXPECT_EQ(std::memcmp(seven.output.data(), plain.output.data(), seven.output.size() * sizeof(T)),
            0);
  EXPECT_EQ(seven.iteration, plain.iteration);
  EXPECT_EQ(std::memcmp(&seven.alpha, &plain.alpha, sizeof(T)), 0);
  EXPECT_EQ(std::memcmp(&seven.ratio, &plain.ratio, sizeof(T)), 0);
}

// A simulated acquisition run long in single precision: the projection holds at every pixel,
// and the constrained image is no farther from the object than the unconstrained one.
TYPED_TEST(OptionsTest, NonNegativeRunStaysNonNegativeAndNoWorse) {
  using T = TypeParam;
  const SimScene scene = Simulated_Scene(48, 40);
  KorvexOptions constrained;
  constrained.nonNegative = true;
  constrained.foldedData = true;
  const EngineResult<T> free = Run_Engine<T>(scene.problem, 60, 0.0, 0.001, 0.05);
  const EngineResult<T> kept = Run_Engine<T>(scene.problem, 60, 0.0, 0.001, 0.05, constrained);
  EXPECT_GE(*std::min_element(kept.output.begin(), kept.output.end()), T(0));
  EXPECT_LE(Scaled_Error(To_Double(kept.output), scene.object),
            Scaled_Error(To_Double(free.output), scene.object) + 1e-3);
}

}  // namespace
