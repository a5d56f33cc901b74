// Test entry point for the GoogleTest suites. On a machine with no usable CUDA device (the
// cuda backend built where there is no GPU) every test is skipped with the reason, instead of
// failing or passing silently; the host backend always has its simulated device.
#include <gtest/gtest.h>

#include "gpu.h"

namespace {

class RequireDevice : public ::testing::Environment {
 public:
  void SetUp() override {
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    cudaGetLastError();  // leave no error behind for the tests
    if (status != cudaSuccess || count < 1) {
      GTEST_SKIP() << "no usable CUDA device (" << cudaGetErrorName(status)
                   << "): these tests need a GPU";
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new RequireDevice);
  return RUN_ALL_TESTS();
}
