// The two engine slots across calls: build, reuse, rebuild, precision switch, clear memory,
// and release of both on engine failures and on exceptions of any type.
#include <new>
#include <stdexcept>

#include "gateway_harness.h"

namespace korvex::test {
namespace {

using mex_substitute::Intercept_Create;
using mex_substitute::Make_Array;
using mex_substitute::Make_Scalar;
using mex_substitute::Make_Unbacked;

// Written into a kept engine where neither the constructor's result nor a reconstruction
// touches it after construction: it survives only if the engine is reused.
constexpr int kReuseMarker = -4711;

template <typename T>
struct Slots;
template <>
struct Slots<float> {
  static constexpr mxClassID kClass = mxSINGLE_CLASS;
  static Korvex<float>*& Slot() { return Computing_S; }
  static Korvex<double>*& Other() { return Computing_D; }
};
template <>
struct Slots<double> {
  static constexpr mxClassID kClass = mxDOUBLE_CLASS;
  static Korvex<double>*& Slot() { return Computing_D; }
  static Korvex<float>*& Other() { return Computing_S; }
};

template <typename T>
class GatewayLifecycle : public GatewayTest {
 protected:
  using OtherT = std::conditional_t<std::is_same_v<T, float>, double, float>;
  static constexpr mxClassID kOtherClass = Slots<OtherT>::kClass;

  void Mark_Kept_Engine() {
    ASSERT_NE(Slots<T>::Slot(), nullptr);
    Slots<T>::Slot()->m_deviceCount = kReuseMarker;
  }
  bool Kept_Engine_Reused() const { return Slots<T>::Slot()->m_deviceCount == kReuseMarker; }
};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(GatewayLifecycle, Precisions);

TYPED_TEST(GatewayLifecycle, BuildsEngineForTheCallAndReleasesTheOther) {
  using R = Slots<TypeParam>;
  Reconstruct(Valid_Inputs(TestFixture::kOtherClass));
  ASSERT_NE(R::Other(), nullptr);

  Reconstruct(Valid_Inputs(R::kClass, {3, 5, 4}, 2));
  EXPECT_EQ(R::Other(), nullptr);
  ASSERT_NE(R::Slot(), nullptr);
  EXPECT_EQ(R::Slot()->m_height, 3u);
  EXPECT_EQ(R::Slot()->m_width, 5u);
  EXPECT_EQ(R::Slot()->m_frames, 4u);
  EXPECT_EQ(R::Slot()->m_maxIter, 2u);
}

TYPED_TEST(GatewayLifecycle, ReusesEngineWhenOnlyThresholdLambdaOrAlphaChange) {
  using R = Slots<TypeParam>;
  Reconstruct(Valid_Inputs(R::kClass));
  this->Mark_Kept_Engine();

  ReconstructionInputs inputs = Valid_Inputs(R::kClass);
  inputs.threshold = Make_Scalar(0.5, mxSINGLE_CLASS);
  inputs.lambda = Make_Scalar(0.2);
  inputs.alpha = Make_Scalar(0.01);
  Reconstruct(inputs);
  EXPECT_TRUE(this->Kept_Engine_Reused());
  EXPECT_EQ(R::Slot()->m_lambda, static_cast<TypeParam>(0.2));
  EXPECT_EQ(R::Slot()->m_threshold, static_cast<TypeParam>(0.5f));
}

TYPED_TEST(GatewayLifecycle, RebuildsWhenAnyOfTheFourValuesChanges) {
  using R = Slots<TypeParam>;
  const Geometry base{4, 6, 2};
  struct Change {
    const char* name;
    Geometry geometry;
    double maxIterations;
  } changes[] = {{"iteration limit only", base, 5},
                 {"height", {5, 6, 2}, 3},
                 {"width", {4, 7, 2}, 3},
                 {"frames", {4, 6, 3}, 3}};
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    Reconstruct(Valid_Inputs(R::kClass, base, 3));
    this->Mark_Kept_Engine();
    Reconstruct(Valid_Inputs(R::kClass, change.geometry, change.maxIterations));
    ASSERT_NE(R::Slot(), nullptr);
    EXPECT_FALSE(this->Kept_Engine_Reused());
    EXPECT_EQ(R::Slot()->m_height, change.geometry.height);
    EXPECT_EQ(R::Slot()->m_width, change.geometry.width);
    EXPECT_EQ(R::Slot()->m_frames, change.geometry.frames);
    EXPECT_EQ(R::Slot()->m_maxIter, static_cast<unsigned>(change.maxIterations));
    EXPECT_EQ(R::Other(), nullptr);
  }
}

TYPED_TEST(GatewayLifecycle, ClearMemoryReleasesBothEnginesAndReturnsNothing) {
  using R = Slots<TypeParam>;
  Reconstruct(Valid_Inputs(R::kClass));
  ArrayPtr anything = Make_Array(mxCELL_CLASS, {0, 0});
  const CallResult result = Call(0, {anything.get()});
  EXPECT_FALSE(result.error.has_value());
  EXPECT_EQ(result.outputs[0], nullptr);
  EXPECT_EQ(Computing_S, nullptr);
  EXPECT_EQ(Computing_D, nullptr);
  // With nothing kept the request is harmless.
  EXPECT_FALSE(Call(0, {anything.get()}).error.has_value());
}

// An engine that cannot be built: 16 x 16 x 2^24 values overflow the engine's 32-bit counts.
// The arrays claim that size without storage; nothing reads them.
TYPED_TEST(GatewayLifecycle, ConstructorFailureReleasesEverythingAndNextCallRebuilds) {
  using R = Slots<TypeParam>;
  Reconstruct(Valid_Inputs(R::kClass));
  ReconstructionInputs huge = Valid_Inputs(R::kClass);
  huge.sequence = Make_Unbacked(R::kClass, {16, 16, mwSize{1} << 24});
  huge.mask = Make_Unbacked(R::kClass, {16, 16, mwSize{1} << 24});
  huge.otf = Make_Array(R::kClass, {16, 16});
  const CallResult result = Call(1, huge.Inputs());
  ASSERT_TRUE(result.error.has_value());
  EXPECT_EQ(result.error->rfind("KorvexCUDA", 0), 0u) << *result.error;
  EXPECT_EQ(Computing_S, nullptr);
  EXPECT_EQ(Computing_D, nullptr);

  Reconstruct(Valid_Inputs(R::kClass));
  EXPECT_NE(R::Slot(), nullptr);
}

TYPED_TEST(GatewayLifecycle, ReconstructionFailureReleasesTheEngineAndLeavesOutputZero) {
  using R = Slots<TypeParam>;
  Reconstruct(Valid_Inputs(R::kClass));
  this->Mark_Kept_Engine();
  ReconstructionInputs inputs = Valid_Inputs(R::kClass);
  inputs.sequence = Make_Unbacked(R::kClass, {4, 6, 2});
  const CallResult result = Call(2, inputs.Inputs());
  EXPECT_EQ(result.error, "KorvexCUDA Error: Input Image NULL!\n");
  EXPECT_EQ(Computing_S, nullptr);
  EXPECT_EQ(Computing_D, nullptr);
  EXPECT_NE(result.outputs[0], nullptr);  // created before the failure; MATLAB's to free
  EXPECT_EQ(result.outputs[1], nullptr);

  Reconstruct(Valid_Inputs(R::kClass));
  ASSERT_NE(R::Slot(), nullptr);
  EXPECT_FALSE(this->Kept_Engine_Reused());
}

// Exceptions that are no std::runtime_error take the same path: nothing escapes into MATLAB.
TYPED_TEST(GatewayLifecycle, ExceptionsOfAnyTypeReleaseBothEngines) {
  using R = Slots<TypeParam>;
  struct Case {
    const char* name;
    unsigned nthCreate;  // 1: output 0, before the engine is built; 2: output 1, after the run
    std::function<void()> raise;
    std::string message;
  } cases[] = {
      {"bad_alloc before the run", 1, [] { throw std::bad_alloc(); }, std::bad_alloc().what()},
      {"logic_error after the run", 2, [] { throw std::logic_error("broken\n"); }, "broken\n"},
      {"unknown type after the run", 2, [] { throw 42; },
       "KorvexCUDA Internal Error: unknown exception\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reconstruct(Valid_Inputs(R::kClass));
    ASSERT_NE(R::Slot(), nullptr);
    const ReconstructionInputs inputs = Valid_Inputs(R::kClass);
    Intercept_Create(c.nthCreate, c.raise);
    const CallResult result = Call(2, inputs.Inputs());
    EXPECT_EQ(result.error, c.message);
    EXPECT_EQ(Computing_S, nullptr);
    EXPECT_EQ(Computing_D, nullptr);
  }
}

TYPED_TEST(GatewayLifecycle, ClearMexReleasesTheKeptEngine) {
  using R = Slots<TypeParam>;
  Reconstruct(Valid_Inputs(R::kClass));
  ASSERT_NE(R::Slot(), nullptr);
  EXPECT_EQ(mex_substitute::Clear_Mex(), 1u);
  EXPECT_EQ(Computing_S, nullptr);
  EXPECT_EQ(Computing_D, nullptr);
  // A reloaded gateway registers again.
  Reconstruct(Valid_Inputs(R::kClass));
  EXPECT_EQ(mex_substitute::Clear_Mex(), 1u);
  EXPECT_EQ(R::Slot(), nullptr);
}

}  // namespace
}  // namespace korvex::test
