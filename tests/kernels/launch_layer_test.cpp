// The launch layer: a launch the runtime refuses surfaces from the launch operation as the
// handler's message, naming the status, the kernel unit and the line of that operation's
// check; and launches are ordered by their streams alone.
#include <set>
#include <stdexcept>

#include "kernel_test_support.h"
#include "launch_operations.h"

namespace korvex::test {
namespace {

template <typename T>
class LaunchLayer : public EngineTest<T> {};
TYPED_TEST_SUITE(LaunchLayer, Precisions);

TYPED_TEST(LaunchLayer, ZeroGridExtentNamesStatusUnitAndLine) {
  std::set<int> lines;
  for (const auto& operation : Launch_Operations<TypeParam>()) {
    SCOPED_TRACE(operation.name);
    const int line = Check_Line(operation.name);
    ASSERT_GT(line, 0) << "no launch check found in " << KORVEX_LAUNCH_OPERATIONS_LIST;
    lines.insert(line);
    for (const dim3 grid : {dim3(0, 1, 1), dim3(1, 0, 1)}) {
      KernelLaunch_t launch = Launch_For(4, 4);
      launch.grid = grid;
      try {
        operation.call(this->engine(), launch);
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), Launch_Error_Message(cudaErrorInvalidConfiguration, line));
      }
      EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the check must consume the error";
    }
  }
  EXPECT_EQ(lines.size(), Launch_Operations<TypeParam>().size())
      << "every operation reports its own line";
}

// The legacy default stream waits for the work stream: the second kernel reads the first's
// result without any wait between them.
TYPED_TEST(LaunchLayer, DefaultStreamLaunchFollowsWorkStreamLaunch) {
  using T = TypeParam;
  const unsigned W = 64, H = 48, n = W * H;
  const DeviceBuffer<T> host_order(Random_Values<T>(n, 40)), b(Random_Values<T>(n, 41));
  DeviceBuffer<T> device_order(Canaries<T>(n)), sum(Canaries<T>(n));
  this->engine().CuCall_Col2Row(Launch_For(W, H, this->engine().m_stream1), host_order.get(),
                                device_order.get(), W, H);
  this->engine().CuCall_Addition(Launch_For(W, H), device_order.get(), b.get(), sum.get(), W, H);
  Expect_Image(sum, n, [&](size_t i) { return host_order[(i % W) * H + i / W] + b[i]; });
}

}  // namespace
}  // namespace korvex::test
