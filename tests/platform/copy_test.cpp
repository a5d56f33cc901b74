#include <cstring>
#include <vector>

#include "platform_fixture.h"

namespace {

class CopyTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_EQ(cudaMalloc(&dev_a, kBytes), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&dev_b, kBytes), cudaSuccess);
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  }
  static constexpr size_t kBytes = 64;
  char* dev_a = nullptr;
  char* dev_b = nullptr;
  cudaStream_t stream = nullptr;
  char host[2 * kBytes] = {};
};

// Both copy calls obey the same ledger; the asynchronous one also checks its stream.
enum class Call { kSync, kAsync };
cudaError_t copy(Call call, void* dst, const void* src, size_t n, cudaMemcpyKind kind,
                 cudaStream_t stream) {
  return call == Call::kSync ? cudaMemcpy(dst, src, n, kind)
                             : cudaMemcpyAsync(dst, src, n, kind, stream);
}

TEST_F(CopyTest, DataMakesTheRoundTripThroughDeviceMemory) {
  for (Call call : {Call::kSync, Call::kAsync}) {
    for (size_t i = 0; i < kBytes; ++i) host[i] = static_cast<char>(i * 7 + (call == Call::kSync));
    ASSERT_EQ(copy(call, dev_a, host, kBytes, cudaMemcpyHostToDevice, stream), cudaSuccess);
    ASSERT_EQ(copy(call, dev_b + 16, dev_a, 48, cudaMemcpyDeviceToDevice, stream), cudaSuccess);
    ASSERT_EQ(copy(call, host + kBytes, dev_b + 16, 48, cudaMemcpyDeviceToHost, stream),
              cudaSuccess);
    EXPECT_EQ(std::memcmp(host, host + kBytes, 48), 0);
  }
  // The legacy default stream is always there.
  EXPECT_EQ(cudaMemcpyAsync(dev_a, host, 8, cudaMemcpyHostToDevice, nullptr), cudaSuccess);
}

TEST_F(CopyTest, KindMustMatchWhereThePointersLive) {
  for (Call call : {Call::kSync, Call::kAsync}) {
    SCOPED_TRACE(call == Call::kSync ? "cudaMemcpy" : "cudaMemcpyAsync");
    const struct {
      void* dst;
      const void* src;
      cudaMemcpyKind kind;
    } wrong[] = {
        {host, dev_a, cudaMemcpyHostToDevice},    {dev_a, dev_b, cudaMemcpyHostToDevice},
        {dev_a, host, cudaMemcpyDeviceToHost},    {host, host + 8, cudaMemcpyDeviceToHost},
        {host, dev_a, cudaMemcpyDeviceToDevice},  {dev_a, host, cudaMemcpyDeviceToDevice},
        {host, dev_a, cudaMemcpyHostToHost},      {dev_a, host, cudaMemcpyHostToHost},
        {dev_a, nullptr, cudaMemcpyHostToDevice}, {nullptr, dev_a, cudaMemcpyDeviceToHost},
    };
    for (const auto& w : wrong) {
      EXPECT_CUDA_FAILS(copy(call, w.dst, w.src, 8, w.kind, stream), cudaErrorInvalidValue);
    }
    EXPECT_CUDA_FAILS(copy(call, dev_a, host, 8, static_cast<cudaMemcpyKind>(5), stream),
                      cudaErrorInvalidMemcpyDirection);
  }
}

TEST_F(CopyTest, CopiesStayInsideOneLiveAllocation) {
  for (Call call : {Call::kSync, Call::kAsync}) {
    EXPECT_CUDA_FAILS(copy(call, dev_a + 1, host, kBytes, cudaMemcpyHostToDevice, stream),
                      cudaErrorInvalidValue);
    EXPECT_CUDA_FAILS(copy(call, host, dev_b + kBytes - 4, 5, cudaMemcpyDeviceToHost, stream),
                      cudaErrorInvalidValue);
    EXPECT_CUDA_FAILS(copy(call, dev_a, dev_b + 1, kBytes, cudaMemcpyDeviceToDevice, stream),
                      cudaErrorInvalidValue);
  }
  // A host buffer that runs into device memory is not host memory.
  EXPECT_CUDA_FAILS(cudaMemcpy(dev_b, dev_a - 8, 16, cudaMemcpyHostToDevice),
                    cudaErrorInvalidValue);
  ASSERT_EQ(cudaFree(dev_a), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaMemcpy(dev_a, host, 8, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_CUDA_FAILS(cudaMemcpy(host, dev_a, 8, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  dev_a = nullptr;
}

TEST_F(CopyTest, ZeroBytesIsANoOpAndDefaultKindFollowsThePointers) {
  EXPECT_EQ(cudaMemcpy(nullptr, nullptr, 0, cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpyAsync(host, dev_a, 0, cudaMemcpyHostToDevice, stream), cudaSuccess);
  std::memset(host, 3, 8);
  EXPECT_EQ(cudaMemcpy(dev_a, host, 8, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(dev_b, dev_a, 8, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(host + 8, dev_b, 8, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(host + 16, host + 8, 8, cudaMemcpyDefault), cudaSuccess);
  EXPECT_EQ(std::memcmp(host, host + 16, 8), 0);
  EXPECT_CUDA_FAILS(cudaMemcpy(dev_a + 60, host, 8, cudaMemcpyDefault), cudaErrorInvalidValue);
}

TEST_F(CopyTest, AsyncCopyOnAnUnknownStreamDoesNothing) {
  std::memset(host, 1, 8);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaMemcpyAsync(dev_a, host, 8, cudaMemcpyHostToDevice, stream),
                    cudaErrorInvalidResourceHandle);
  EXPECT_EQ(static_cast<unsigned char>(dev_a[0]), 0xFF);
  stream = nullptr;
}

}  // namespace
