#include <cstring>
#include <string>
#include <thread>

#include "platform_fixture.h"

namespace {

using RuntimeTest = PlatformTest;
using korvex::host::ledger;

TEST_F(RuntimeTest, DefaultDeviceIsAHealthyComputeCapability9) {
  int runtime = 0, driver = 0, count = 0;
  ASSERT_EQ(cudaRuntimeGetVersion(&runtime), cudaSuccess);
  ASSERT_EQ(cudaDriverGetVersion(&driver), cudaSuccess);
  EXPECT_EQ(runtime, driver);
  EXPECT_TRUE(runtime / 1000 == 12 || runtime / 1000 == 13) << runtime;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_STREQ(prop.name, "Korvex host device");
  EXPECT_EQ(prop.major, 9);
  EXPECT_EQ(prop.minor, 0);
  EXPECT_EQ(prop.maxThreadsPerBlock, 1024);
  size_t free = 0, total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(prop.totalGlobalMem, total);
  EXPECT_GT(total, size_t{1} << 28);  // the machine's physical memory
}

TEST_F(RuntimeTest, ControlInterfaceConfiguresTheDevice) {
  korvex::host::set_versions(12080, 12040);
  korvex::host::set_compute_capability(5, 2);
  korvex::host::set_total_memory(28u << 20);
  int runtime = 0, driver = 0;
  ASSERT_EQ(cudaRuntimeGetVersion(&runtime), cudaSuccess);
  ASSERT_EQ(cudaDriverGetVersion(&driver), cudaSuccess);
  EXPECT_EQ(runtime, 12080);
  EXPECT_EQ(driver, 12040);
  // A driver older than the runtime leaves no device usable.
  int count = -1;
  EXPECT_CUDA_FAILS(cudaGetDeviceCount(&count), cudaErrorInsufficientDriver);
  korvex::host::set_versions(12040, 12080);
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  EXPECT_EQ(prop.major * 10 + prop.minor, 52);
  EXPECT_EQ(prop.totalGlobalMem, 28u << 20);
  EXPECT_CUDA_FAILS(cudaGetDeviceProperties(&prop, 1), cudaErrorInvalidDevice);
  EXPECT_CUDA_FAILS(cudaGetDeviceProperties(&prop, -1), cudaErrorInvalidDevice);
}

TEST_F(RuntimeTest, WithoutADeviceCountIsZeroAndNothingCanBeAcquired) {
  korvex::host::set_device_count(0);
  int count = -1;
  EXPECT_CUDA_FAILS(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, 0);
  void* p = nullptr;
  cudaStream_t stream = nullptr;
  cudaDeviceProp prop;
  EXPECT_CUDA_FAILS(cudaMalloc(&p, 16), cudaErrorNoDevice);
  EXPECT_CUDA_FAILS(cudaStreamCreate(&stream), cudaErrorNoDevice);
  EXPECT_CUDA_FAILS(cudaGetDeviceProperties(&prop, 0), cudaErrorNoDevice);
  EXPECT_TRUE(ledger().empty());
}

TEST_F(RuntimeTest, StreamsAreTrackedHandles) {
  cudaStream_t a = nullptr, b = nullptr;
  ASSERT_EQ(cudaStreamCreate(&a), cudaSuccess);
  ASSERT_EQ(cudaStreamCreate(&b), cudaSuccess);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(ledger().streams, 2u);
  EXPECT_EQ(cudaStreamSynchronize(a), cudaSuccess);
  EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(a), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaStreamSynchronize(a), cudaErrorInvalidResourceHandle);
  EXPECT_CUDA_FAILS(cudaStreamDestroy(a), cudaErrorInvalidResourceHandle);
  EXPECT_CUDA_FAILS(cudaStreamDestroy(nullptr), cudaErrorInvalidResourceHandle);
  // A handle is never handed out again, so a destroyed one stays unknown.
  cudaStream_t c = nullptr;
  ASSERT_EQ(cudaStreamCreate(&c), cudaSuccess);
  EXPECT_NE(c, a);
  EXPECT_EQ(cudaStreamDestroy(b), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(c), cudaSuccess);
  EXPECT_TRUE(ledger().empty());
}

TEST_F(RuntimeTest, LastErrorIsPerThreadKeptUntilReadAndNotClearedBySuccess) {
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
  EXPECT_EQ(cudaFree(reinterpret_cast<void*>(0x40)), cudaErrorInvalidValue);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);  // success leaves the error in place
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidValue);

  cudaError_t seen_elsewhere = cudaErrorUnknown;
  std::thread other([&] {
    seen_elsewhere = cudaGetLastError();
    cudaStreamSynchronize(reinterpret_cast<cudaStream_t>(0x99));  // fails on that thread only
  });
  other.join();
  EXPECT_EQ(seen_elsewhere, cudaSuccess);

  // The latest failure wins; reading resets.
  EXPECT_EQ(cudaHostUnregister(reinterpret_cast<void*>(0x40)), cudaErrorHostMemoryNotRegistered);
  EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(RuntimeTest, ResetClearsTheCallersLastError) {
  EXPECT_NE(cudaFree(reinterpret_cast<void*>(0x40)), cudaSuccess);
  korvex::host::reset();
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

TEST(ErrorTextTest, NamesAndStringsAreTheVendors) {
  const struct {
    int status;
    const char* name;
    const char* text;
  } table[] = {
      {0, "cudaSuccess", "no error"},
      {1, "cudaErrorInvalidValue", "invalid argument"},
      {2, "cudaErrorMemoryAllocation", "out of memory"},
      {3, "cudaErrorInitializationError", "initialization error"},
      {4, "cudaErrorCudartUnloading", "driver shutting down"},
      {9, "cudaErrorInvalidConfiguration", "invalid configuration argument"},
      {17, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
      {21, "cudaErrorInvalidMemcpyDirection", "invalid copy direction for memcpy"},
      {35, "cudaErrorInsufficientDriver",
       "CUDA driver version is insufficient for CUDA runtime version"},
      {98, "cudaErrorInvalidDeviceFunction", "invalid device function"},
      {100, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
      {101, "cudaErrorInvalidDevice", "invalid device ordinal"},
      {209, "cudaErrorNoKernelImageForDevice",
       "no kernel image is available for execution on the device"},
      {400, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
      {700, "cudaErrorIllegalAddress", "an illegal memory access was encountered"},
      {701, "cudaErrorLaunchOutOfResources", "too many resources requested for launch"},
      {712, "cudaErrorHostMemoryAlreadyRegistered",
       "part or all of the requested memory range is already mapped"},
      {713, "cudaErrorHostMemoryNotRegistered",
       "pointer does not correspond to a registered memory region"},
      {719, "cudaErrorLaunchFailure", "unspecified launch failure"},
      {801, "cudaErrorNotSupported", "operation not supported"},
      {999, "cudaErrorUnknown", "unknown error"},
      {-1, "unrecognized error code", "unrecognized error code"},
      {5, "unrecognized error code", "unrecognized error code"},
      {12345, "unrecognized error code", "unrecognized error code"},
  };
  for (const auto& row : table) {
    const auto status = static_cast<cudaError_t>(row.status);
    EXPECT_STREQ(cudaGetErrorName(status), row.name) << row.status;
    EXPECT_STREQ(cudaGetErrorString(status), row.text) << row.status;
  }
}

}  // namespace
