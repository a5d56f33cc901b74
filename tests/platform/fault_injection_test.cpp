#include <cstring>
#include <string>

#include "gpu_launch.h"
#include "platform_fixture.h"

namespace {

using korvex::host::call_count;
using korvex::host::fail_call;
using korvex::host::ledger;
using korvex::host::total_call_count;

using FaultInjectionTest = PlatformTest;

TEST_F(FaultInjectionTest, TheNthCallFailsWithoutDoingItsWorkAndOthersProceed) {
  fail_call("cudaMalloc", 2, cudaErrorMemoryAllocation);
  void *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(cudaMalloc(&a, 16), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaMalloc(&b, 16), cudaErrorMemoryAllocation);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(ledger().device_allocations, 1u);
  ASSERT_EQ(cudaMalloc(&c, 16), cudaSuccess);  // an injection fires once

  // An injected failure of a release keeps the resource; calls of other operations do not
  // advance the count.
  fail_call("cudaFree", 1, cudaErrorUnknown);
  void* h = nullptr;
  ASSERT_EQ(cudaHostAlloc(&h, 8, cudaHostAllocDefault), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaFree(a), cudaErrorUnknown);
  EXPECT_EQ(ledger().device_allocations, 2u);
  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(cudaFree(c), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(h), cudaSuccess);
  EXPECT_TRUE(ledger().empty());
}

TEST_F(FaultInjectionTest, SeveralInjectionsMayBePendingAndClearFailuresDropsThem) {
  fail_call("cudaStreamCreate", 3, cudaErrorUnknown);
  fail_call("cudaStreamCreate", 1, cudaErrorInvalidValue);
  cudaStream_t s[3] = {};
  EXPECT_CUDA_FAILS(cudaStreamCreate(&s[0]), cudaErrorInvalidValue);
  ASSERT_EQ(cudaStreamCreate(&s[1]), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaStreamCreate(&s[2]), cudaErrorUnknown);
  EXPECT_EQ(s[0], nullptr);
  EXPECT_EQ(s[2], nullptr);
  EXPECT_EQ(ledger().streams, 1u);

  fail_call("cudaStreamDestroy", 1, cudaErrorUnknown);
  korvex::host::clear_failures();
  EXPECT_EQ(cudaStreamDestroy(s[1]), cudaSuccess);
}

TEST_F(FaultInjectionTest, EveryLibraryOperationCanBeFailed) {
  fail_call("cufftPlan2d", 1, CUFFT_ALLOC_FAILED);
  cufftHandle plan = 0;
  EXPECT_EQ(cufftPlan2d(&plan, 4, 4, CUFFT_C2C), CUFFT_ALLOC_FAILED);
  EXPECT_EQ(plan, 0);
  ASSERT_EQ(cufftPlan2d(&plan, 4, 4, CUFFT_C2C), CUFFT_SUCCESS);
  cufftComplex* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 16 * sizeof(cufftComplex)), cudaSuccess);
  std::memset(d, 0, 16 * sizeof(cufftComplex));
  d[0].x = 1;
  fail_call("cufftExecC2C", 1, CUFFT_EXEC_FAILED);
  EXPECT_EQ(cufftExecC2C(plan, d, d, CUFFT_FORWARD), CUFFT_EXEC_FAILED);
  EXPECT_EQ(d[1].x, 0);  // an impulse would have spread
  fail_call("cufftDestroy", 1, CUFFT_INTERNAL_ERROR);
  EXPECT_EQ(cufftDestroy(plan), CUFFT_INTERNAL_ERROR);
  EXPECT_EQ(ledger().fft_plans, 1u);

  fail_call("cublasCreate_v2", 1, CUBLAS_STATUS_NOT_INITIALIZED);
  cublasHandle_t handle = nullptr;
  EXPECT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(handle, nullptr);
  ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
  float r = -1;
  fail_call("cublasSasum_v2", 1, CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(cublasSasum_v2(handle, 2, &d[0].x, 1, &r), CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(r, -1);
  // Library failures are not the runtime's last error.
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
  EXPECT_EQ(cufftDestroy(plan), CUFFT_SUCCESS);
  EXPECT_EQ(cublasDestroy_v2(handle), CUBLAS_STATUS_SUCCESS);
}

struct Launch {
  dim3 block;
  dim3 grid;
  cudaStream_t stream;
};

KORVEX_GLOBAL void set_kernel(float* image, float value, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(x, y, W, H) { image[y * W + x] = value; }
}

TEST_F(FaultInjectionTest, AFailedLaunchRecordsItsStatusAndRunsNothing) {
  float* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 4 * sizeof(float)), cudaSuccess);
  const Launch launch{dim3(16, 16), dim3(1, 1), nullptr};
  fail_call("cudaLaunchKernel", 1, cudaErrorLaunchOutOfResources);
  KORVEX_LAUNCH(set_kernel, launch, d, 2.0f, 2u, 2u);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
  EXPECT_NE(d[0], 2.0f);
  KORVEX_LAUNCH(set_kernel, launch, d, 2.0f, 2u, 2u);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(d[3], 2.0f);
  EXPECT_EQ(call_count("cudaLaunchKernel"), 2u);
}

TEST_F(FaultInjectionTest, CallsAreCountedByOperationInjectedOnesIncluded) {
  EXPECT_EQ(total_call_count(), 0u);
  void* p = nullptr;
  int version = 0;
  fail_call("cudaMalloc", 1, cudaErrorMemoryAllocation);
  EXPECT_CUDA_FAILS(cudaMalloc(&p, 8), cudaErrorMemoryAllocation);
  ASSERT_EQ(cudaMalloc(&p, 8), cudaSuccess);
  ASSERT_EQ(cudaRuntimeGetVersion(&version), cudaSuccess);
  EXPECT_EQ(cudaFree(reinterpret_cast<char*>(p) + 1), cudaErrorInvalidValue);  // failed calls count
  // Reading errors and their texts is not counted.
  cudaGetLastError();
  cudaPeekAtLastError();
  cudaGetErrorName(cudaSuccess);
  cudaGetErrorString(cudaSuccess);
  EXPECT_EQ(call_count("cudaMalloc"), 2u);
  EXPECT_EQ(call_count("cudaRuntimeGetVersion"), 1u);
  EXPECT_EQ(call_count("cudaFree"), 1u);
  EXPECT_EQ(call_count("cudaMemcpy"), 0u);
  EXPECT_EQ(total_call_count(), 4u);
  korvex::host::clear_call_counts();
  EXPECT_EQ(total_call_count(), 0u);
  EXPECT_EQ(call_count("cudaMalloc"), 0u);
  EXPECT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(total_call_count(), 1u);
}

// A fault sweep: count the calls of a sequence, then fail each one in turn; every failure
// must leave the sequence's own clean-up able to release everything.
TEST_F(FaultInjectionTest, SweepFailsEachCallOfASequenceInTurn) {
  auto sequence = [] {
    void* d = nullptr;
    cudaStream_t stream = nullptr;
    cufftHandle plan = 0;
    cublasHandle_t handle = nullptr;
    char host[64] = {};
    bool ok = cudaMalloc(&d, 64) == cudaSuccess && cudaStreamCreate(&stream) == cudaSuccess &&
              cufftPlan2d(&plan, 2, 2, CUFFT_Z2Z) == CUFFT_SUCCESS &&
              cublasCreate_v2(&handle) == CUBLAS_STATUS_SUCCESS &&
              cudaMemcpyAsync(d, host, 64, cudaMemcpyHostToDevice, stream) == cudaSuccess;
    cublasDestroy_v2(handle);
    cufftDestroy(plan);
    cudaStreamDestroy(stream);
    cudaFree(d);
    return ok;
  };
  ASSERT_TRUE(sequence());
  const unsigned calls = total_call_count();
  EXPECT_EQ(calls, 9u);
  const char* operations[] = {"cudaMalloc", "cudaStreamCreate", "cufftPlan2d", "cublasCreate_v2",
                              "cudaMemcpyAsync"};
  for (const char* op : operations) {
    korvex::host::reset();
    fail_call(op, 1, 999);
    EXPECT_FALSE(sequence()) << op;
    EXPECT_TRUE(ledger().empty()) << op;
    cudaGetLastError();
  }
}

}  // namespace
