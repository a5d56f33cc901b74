// Test entry point for the GoogleTest suites. On a machine with no usable CUDA device (the
// cuda backend built where there is no GPU) the tests are reported as skipped, with the
// reason, instead of failing or passing silently; the host backend always has its simulated
// device. Listing the tests (as CTest's discovery does) works everywhere.
#include <gtest/gtest.h>

#include <cstdio>

#include "gpu.h"

namespace {

bool Device_Usable() {
  int count = 0;
  const cudaError_t status = cudaGetDeviceCount(&count);
  cudaGetLastError();  // leave no error behind for the tests
  if (status == cudaSuccess && count > 0) return true;
  // CTest reads this marker as a skip.
  std::printf("[  SKIPPED ] no usable CUDA device (%s): these tests need a GPU\n",
              cudaGetErrorName(status));
  return false;
}

bool Listing_Only() {
#ifdef GTEST_FLAG_GET
  return GTEST_FLAG_GET(list_tests);
#else
  return ::testing::GTEST_FLAG(list_tests);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!Listing_Only() && !Device_Usable()) return 0;
  return RUN_ALL_TESTS();
}
