// How each way of ending the loop leaves the results, the argument checks, orientation and
// repeatability of Mapsim_Compute.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine_run.h"

namespace {

using namespace korvex::test;

template <typename T>
class ReconstructionStateTest : public ::testing::Test {
 protected:
  // Non-square and odd, so that a swapped W and H or a transposed layout shows.
  const Problem problem_ = Random_Problem(7, 4, 3, 5);
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ReconstructionStateTest, Precisions);

constexpr double kLambda = 0.01;
constexpr double kAlpha = 0.1;

TYPED_TEST(ReconstructionStateTest, NoIterationGivesTheFrameSumInCallerOrder) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, 0);
  HostArrays<T> arrays(this->problem_);
  const EngineResult<T> r = Run_Engine(engine, arrays, 0.5, kLambda, 0.25);
  EXPECT_EQ(r.output, Frame_Sum(arrays, this->problem_.F));
  EXPECT_EQ(r.iteration, 0u);
  EXPECT_EQ(r.alpha, T(0.25));
  EXPECT_EQ(r.ratio, Ratio_Start<T>());
  EXPECT_EQ(engine.m_threshold, T(0.5));
  EXPECT_EQ(engine.m_lambda, T(kLambda));
}

TYPED_TEST(ReconstructionStateTest, LimitEndsTheLoopWithTheUpdateApplied) {
  using T = TypeParam;
  HostArrays<T> arrays(this->problem_);
  const std::vector<T> widefield = Frame_Sum(arrays, this->problem_.F);

  const EngineResult<T> one = Run_Engine<T>(this->problem_, 1, 0.0, kLambda, kAlpha);
  EXPECT_EQ(one.iteration, 0u);
  EXPECT_EQ(one.alpha, T(kAlpha));
  EXPECT_EQ(one.ratio, Ratio_Start<T>());
  EXPECT_NE(one.output, widefield);

  const EngineResult<T> four = Run_Engine<T>(this->problem_, 4, 0.0, kLambda, kAlpha);
  EXPECT_EQ(four.iteration, 3u);
  EXPECT_GT(four.alpha, T(0));
  EXPECT_NE(four.alpha, T(kAlpha));
  EXPECT_LT(four.ratio, Ratio_Start<T>());
}

TYPED_TEST(ReconstructionStateTest, NonPositiveStepStopsBeforeAnyUpdate) {
  using T = TypeParam;
  for (const double alpha : {0.0, -0.5}) {
    Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, 5);
    for (unsigned k = 0; k < 5; ++k) engine.h_history[k] = T(123);
    HostArrays<T> arrays(this->problem_);
    const EngineResult<T> r = Run_Engine(engine, arrays, 0.0, kLambda, alpha);
    EXPECT_EQ(r.output, Frame_Sum(arrays, this->problem_.F)) << "alpha " << alpha;
    EXPECT_EQ(r.iteration, 0u);
    EXPECT_EQ(r.alpha, T(alpha));
    EXPECT_EQ(r.ratio, Ratio_Start<T>());
    for (unsigned k = 0; k < 5; ++k) EXPECT_EQ(engine.h_history[k], T(123));
  }
}

TYPED_TEST(ReconstructionStateTest, ConvergenceIsNeverTestedInTheFirstIteration) {
  using T = TypeParam;
  const double infinity = std::numeric_limits<double>::infinity();
  const EngineResult<T> stopped = Run_Engine<T>(this->problem_, 10, infinity, kLambda, kAlpha);
  EXPECT_EQ(stopped.iteration, 1u);
  // The stop keeps the update of its iteration: the same as running two iterations.
  const EngineResult<T> two = Run_Engine<T>(this->problem_, 2, 0.0, kLambda, kAlpha);
  EXPECT_EQ(stopped.output, two.output);
  EXPECT_EQ(stopped.alpha, two.alpha);
  EXPECT_EQ(stopped.ratio, two.ratio);
}

TYPED_TEST(ReconstructionStateTest, RatioEqualToTheThresholdDoesNotStop) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, 3);
  HostArrays<T> arrays(this->problem_);
  Run_Engine(engine, arrays, 0.0, kLambda, kAlpha);
  const T first = engine.h_history[1] / engine.h_history[0];

  const EngineResult<T> equal = Run_Engine(engine, arrays, first, kLambda, kAlpha);
  EXPECT_EQ(equal.iteration, 2u);

  const T above = std::nextafter(first, std::numeric_limits<T>::infinity());
  engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                        arrays.output.data(), above, T(kLambda), T(kAlpha));
  EXPECT_EQ(engine.m_iteration, 1u);
  EXPECT_EQ(engine.m_ratio, first);
}

TYPED_TEST(ReconstructionStateTest, ThresholdAtOrBelowZeroNeverStopsEarly) {
  using T = TypeParam;
  for (const double threshold : {0.0, -1.0, -std::numeric_limits<double>::infinity()}) {
    const EngineResult<T> r = Run_Engine<T>(this->problem_, 6, threshold, kLambda, kAlpha);
    EXPECT_EQ(r.iteration, 5u) << "threshold " << threshold;
  }
}

TYPED_TEST(ReconstructionStateTest, NonFiniteStepEndsTheLoopAndKeepsTheOutputFinite) {
  using T = TypeParam;
  Problem zero = this->problem_;
  std::fill(zero.image.begin(), zero.image.end(), 0.0);
  std::fill(zero.masks.begin(), zero.masks.end(), 0.0);
  // The gradient stays zero, so the second step is 0 / 0.
  const EngineResult<T> r = Run_Engine<T>(zero, 5, 0.0, kLambda, kAlpha);
  EXPECT_EQ(r.iteration, 1u);
  EXPECT_TRUE(std::isnan(r.alpha));
  EXPECT_EQ(r.ratio, Ratio_Start<T>());
  for (const T value : r.output) EXPECT_EQ(value, T(0));
}

TYPED_TEST(ReconstructionStateTest, RepeatedCallsAreBitIdenticalAndLeaveInputsAlone) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, 8);
  HostArrays<T> arrays(this->problem_);
  const HostArrays<T> pristine = arrays;
  const EngineResult<T> first = Run_Engine(engine, arrays, 0.0, kLambda, kAlpha);
  // A call with other settings in between must leave nothing behind for the next one.
  Run_Engine(engine, arrays, 0.5, 0.2, 0.3);
  const EngineResult<T> again = Run_Engine(engine, arrays, 0.0, kLambda, kAlpha);
  EXPECT_EQ(again.output, first.output);
  EXPECT_EQ(again.iteration, first.iteration);
  EXPECT_EQ(again.alpha, first.alpha);
  EXPECT_EQ(again.ratio, first.ratio);
  EXPECT_EQ(arrays.image, pristine.image);
  EXPECT_EQ(arrays.masks, pristine.masks);
  EXPECT_EQ(arrays.otf, pristine.otf);
}

// MATLAB shares one array between variables until one is changed, so the image and the
// masks may well be the same memory; page-locking it twice must not fail the call.
TYPED_TEST(ReconstructionStateTest, InputsSharingMemoryAreAccepted) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, 4);
  HostArrays<T> arrays(this->problem_);
  arrays.masks = arrays.image;
  const EngineResult<T> separate = Run_Engine(engine, arrays, 0.0, kLambda, kAlpha);
  engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.image.data(),
                        arrays.output.data(), T(0), T(kLambda), T(kAlpha));
  EXPECT_EQ(arrays.output, separate.output);
  // Nothing stays locked: the same array can be passed on its own again.
  EXPECT_EQ(Run_Engine(engine, arrays, 0.0, kLambda, kAlpha).output, separate.output);
}

TYPED_TEST(ReconstructionStateTest, NullArgumentsAreReportedInOrder) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, 2);
  HostArrays<T> arrays(this->problem_);
  T* image = arrays.image.data();
  T* otf = arrays.otf.data();
  T* masks = arrays.masks.data();
  T* output = arrays.output.data();
  auto call = [&](T* i, T* o, T* m, T* out) {
    return Message_Of([&] { engine.Mapsim_Compute(i, o, m, out, T(0), T(0), T(1)); });
  };
  EXPECT_EQ(call(nullptr, nullptr, nullptr, nullptr), "KorvexCUDA Error: Input Image NULL!\n");
  EXPECT_EQ(call(image, nullptr, nullptr, nullptr), "KorvexCUDA Error: OTF NULL!\n");
  EXPECT_EQ(call(image, otf, nullptr, nullptr), "KorvexCUDA Error: Masks NULL!\n");
  EXPECT_EQ(call(image, otf, masks, nullptr), "KorvexCUDA Internal Error: Output buffer NULL!\n");
  EXPECT_EQ(call(nullptr, otf, masks, output), "KorvexCUDA Error: Input Image NULL!\n");
  EXPECT_EQ(call(image, otf, nullptr, output), "KorvexCUDA Error: Masks NULL!\n");
  // Nothing was locked or changed: the engine still works with the same arrays.
  EXPECT_EQ(call(image, otf, masks, output), "<no exception>");
}

template <typename T, typename P>
void Expect_Missing_Buffer_Refused(Korvex<T>& engine, HostArrays<T>& arrays, P*& member) {
  P* kept = member;
  member = nullptr;
  EXPECT_EQ(Message_Of([&] { Run_Engine(engine, arrays, 0.0, kLambda, kAlpha); }),
            "KorvexCUDA  Initialization Failure!\n");
  member = kept;
}

TYPED_TEST(ReconstructionStateTest, MissingEngineBufferIsAnInitialisationFailure) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, 2);
  HostArrays<T> arrays(this->problem_);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_grad);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_gradPrev);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_dataGrad);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_estimate);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_estimatePrev);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_masks);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_images);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_otf);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_scratchA);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.d_scratchB);
  Expect_Missing_Buffer_Refused(engine, arrays, engine.h_history);
  // A null argument is reported before a missing buffer.
  T* kept = engine.d_otf;
  engine.d_otf = nullptr;
  EXPECT_EQ(Message_Of([&] {
              engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), arrays.masks.data(),
                                    nullptr, T(0), T(0), T(1));
            }),
            "KorvexCUDA Internal Error: Output buffer NULL!\n");
  engine.d_otf = kept;
  EXPECT_NO_THROW(Run_Engine(engine, arrays, 0.0, kLambda, kAlpha));
}

}  // namespace
