// Launch failures injected into the host platform surface through each launch operation,
// the kernel does not run, and an error left behind by an unchecked call is reported by the
// next launch operation under its own line.
#include <stdexcept>

#include "host/host_control.h"
#include "kernel_test_support.h"
#include "launch_operations.h"

namespace korvex::test {
namespace {

template <typename T>
class InjectedLaunchFailure : public EngineTest<T> {
 protected:
  void TearDown() override { korvex::host::clear_failures(); }
};
TYPED_TEST_SUITE(InjectedLaunchFailure, Precisions);

TYPED_TEST(InjectedLaunchFailure, EveryOperationReportsIt) {
  for (const auto& operation : Launch_Operations<TypeParam>()) {
    SCOPED_TRACE(operation.name);
    korvex::host::fail_call("cudaLaunchKernel", 1, cudaErrorLaunchOutOfResources);
    try {
      operation.call(this->engine(), Launch_For(4, 4));
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(),
                Launch_Error_Message(cudaErrorLaunchOutOfResources, Check_Line(operation.name)));
    }
  }
}

TYPED_TEST(InjectedLaunchFailure, KernelDoesNotRunAndNextLaunchDoes) {
  using T = TypeParam;
  const DeviceBuffer<T> a(Random_Values<T>(4, 50)), b(Random_Values<T>(4, 51));
  DeviceBuffer<T> c(Canaries<T>(4));
  korvex::host::fail_call("cudaLaunchKernel", 1, cudaErrorLaunchFailure);
  EXPECT_THROW(this->engine().CuCall_Addition(Launch_For(4, 1), a.get(), b.get(), c.get(), 4, 1),
               std::runtime_error);
  Expect_Image(c, 4, [](size_t) { return Canary<T>(); });
  this->engine().CuCall_Addition(Launch_For(4, 1), a.get(), b.get(), c.get(), 4, 1);
  Expect_Image(c, 4, [&](size_t i) { return a[i] + b[i]; });
}

TYPED_TEST(InjectedLaunchFailure, EarlierUncheckedErrorIsReportedByTheNextLaunch) {
  using T = TypeParam;
  DeviceBuffer<T> c(Canaries<T>(4));
  korvex::host::fail_call("cudaMemset", 1, cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(c.get(), 0, 4 * sizeof(T)), cudaErrorInvalidValue);
  try {
    this->engine().CuCall_R2C(Launch_For(4, 1), c.get(), nullptr, 0, 1);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), Launch_Error_Message(cudaErrorInvalidValue, Check_Line("CuCall_R2C")));
  }
}

}  // namespace
}  // namespace korvex::test
