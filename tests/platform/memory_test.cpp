#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform_fixture.h"

using korvex::host::ledger;

namespace {

using MemoryTest = PlatformTest;

TEST_F(MemoryTest, AllocationsAreAlignedNanFilledAndLedgered) {
  float* a = nullptr;
  double* b = nullptr;
  ASSERT_EQ(cudaMalloc(&a, 10 * sizeof(float)), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, 3 * sizeof(double)), cudaSuccess);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 256, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 256, 0u);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(std::isnan(a[i]));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(b[i]));
  EXPECT_EQ(ledger().device_allocations, 2u);
  EXPECT_EQ(ledger().device_bytes, 40u + 24u);

  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(ledger().device_allocations, 1u);
  EXPECT_EQ(ledger().device_bytes, 24u);
  EXPECT_EQ(cudaFree(b), cudaSuccess);
  EXPECT_TRUE(ledger().empty());
}

TEST_F(MemoryTest, ZeroBytesGiveNullWithoutLedgerEntry) {
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
  EXPECT_EQ(p, nullptr);
  void* h = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaHostAlloc(&h, 0, cudaHostAllocDefault), cudaSuccess);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(ledger().empty());
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(nullptr), cudaSuccess);
}

TEST_F(MemoryTest, FreeMemoryIsTotalLessLiveAllocationsAndBoundsAllocation) {
  korvex::host::set_total_memory(1000);
  size_t free = 0, total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(total, 1000u);
  EXPECT_EQ(free, 1000u);

  void* a = nullptr;
  ASSERT_EQ(cudaMalloc(&a, 600), cudaSuccess);
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, 400u);

  void* b = nullptr;
  EXPECT_CUDA_FAILS(cudaMalloc(&b, 401), cudaErrorMemoryAllocation);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(ledger().device_allocations, 1u);
  ASSERT_EQ(cudaMalloc(&b, 400), cudaSuccess);  // an exact fit passes
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, 0u);
  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(cudaFree(b), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaMalloc(&b, SIZE_MAX), cudaErrorMemoryAllocation);
}

TEST_F(MemoryTest, FreeingWhatIsNotALiveAllocationFails) {
  char* p = nullptr;
  ASSERT_EQ(cudaMalloc(&p, 64), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaFree(p + 1), cudaErrorInvalidValue);  // inside, not the start
  int on_stack = 0;
  EXPECT_CUDA_FAILS(cudaFree(&on_stack), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaFree(p), cudaErrorInvalidValue);  // twice
  EXPECT_CUDA_FAILS(cudaMalloc(static_cast<void**>(nullptr), 8), cudaErrorInvalidValue);
  EXPECT_TRUE(ledger().empty());
}

TEST_F(MemoryTest, PinnedBuffersAreTrackedApartFromDeviceMemory) {
  float* h = nullptr;
  ASSERT_EQ(cudaHostAlloc(&h, 5 * sizeof(float), cudaHostAllocDefault), cudaSuccess);
  EXPECT_TRUE(std::isnan(h[4]));
  EXPECT_EQ(ledger().pinned_buffers, 1u);
  EXPECT_EQ(ledger().device_bytes, 0u);
  EXPECT_CUDA_FAILS(cudaFree(h), cudaErrorInvalidValue);  // not device memory
  EXPECT_EQ(cudaFreeHost(h), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaFreeHost(h), cudaErrorInvalidValue);
  EXPECT_TRUE(ledger().empty());
}

// A page-locked buffer must be resident: asking for more than the machine has is refused
// instead of filling memory until the process is killed.
TEST_F(MemoryTest, PinnedBufferBeyondTheMachineIsRefused) {
  void* h = nullptr;
  EXPECT_CUDA_FAILS(cudaHostAlloc(&h, size_t{1} << 50, cudaHostAllocDefault),
                    cudaErrorMemoryAllocation);
  EXPECT_TRUE(ledger().empty());
}

TEST_F(MemoryTest, RegistrationRefusesOverlapAndUnknownRanges) {
  std::vector<char> buffer(4096);
  char* p = buffer.data();
  EXPECT_CUDA_FAILS(cudaHostRegister(nullptr, 16, cudaHostRegisterDefault), cudaErrorInvalidValue);
  EXPECT_CUDA_FAILS(cudaHostRegister(p, 0, cudaHostRegisterDefault), cudaErrorInvalidValue);

  ASSERT_EQ(cudaHostRegister(p + 1024, 1024, cudaHostRegisterDefault), cudaSuccess);
  EXPECT_EQ(ledger().registered_ranges, 1u);
  // Any shared byte is an overlap: same range, inside, straddling either end.
  for (const auto& range : {std::pair<int, int>{1024, 1024}, {1500, 10}, {1000, 25}, {2047, 2}}) {
    EXPECT_CUDA_FAILS(cudaHostRegister(p + range.first, range.second, cudaHostRegisterDefault),
                      cudaErrorHostMemoryAlreadyRegistered);
  }
  // Touching is not overlapping.
  ASSERT_EQ(cudaHostRegister(p, 1024, cudaHostRegisterDefault), cudaSuccess);
  ASSERT_EQ(cudaHostRegister(p + 2048, 1024, cudaHostRegisterDefault), cudaSuccess);
  EXPECT_EQ(ledger().registered_ranges, 3u);

  EXPECT_CUDA_FAILS(cudaHostUnregister(p + 1025), cudaErrorHostMemoryNotRegistered);
  EXPECT_CUDA_FAILS(cudaHostUnregister(p + 3072), cudaErrorHostMemoryNotRegistered);
  for (int offset : {0, 1024, 2048}) EXPECT_EQ(cudaHostUnregister(p + offset), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaHostUnregister(p), cudaErrorHostMemoryNotRegistered);
  EXPECT_TRUE(ledger().empty());
}

TEST_F(MemoryTest, MemsetFillsBytesInsideOneAllocationOnly) {
  unsigned char* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 32), cudaSuccess);
  ASSERT_EQ(cudaMemset(d + 8, 0, 16), cudaSuccess);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(d[i], (i >= 8 && i < 24) ? 0 : 0xFF) << i;
  ASSERT_EQ(cudaMemset(d, 0x1234, 1), cudaSuccess);  // only the low byte counts
  EXPECT_EQ(d[0], 0x34);
  EXPECT_CUDA_FAILS(cudaMemset(d + 8, 0, 25), cudaErrorInvalidValue);
  unsigned char host[4];
  EXPECT_CUDA_FAILS(cudaMemset(host, 0, 4), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(host, 0, 0), cudaSuccess);  // nothing to fill
  ASSERT_EQ(cudaFree(d), cudaSuccess);
  EXPECT_CUDA_FAILS(cudaMemset(d, 0, 4), cudaErrorInvalidValue);
}

TEST_F(MemoryTest, ResetReleasesEverythingTheLedgerHolds) {
  void* d = nullptr;
  void* h = nullptr;
  cudaStream_t stream = nullptr;
  char registered[64];
  ASSERT_EQ(cudaMalloc(&d, 100), cudaSuccess);
  ASSERT_EQ(cudaHostAlloc(&h, 100, cudaHostAllocDefault), cudaSuccess);
  ASSERT_EQ(cudaHostRegister(registered, sizeof(registered), cudaHostRegisterDefault), cudaSuccess);
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  korvex::host::set_total_memory(12345);
  EXPECT_FALSE(ledger().empty());
  korvex::host::reset();
  EXPECT_TRUE(ledger().empty());
  size_t free = 0, total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_GT(total, 12345u);
  // What reset released is no longer known.
  EXPECT_CUDA_FAILS(cudaFree(d), cudaErrorInvalidValue);
  EXPECT_CUDA_FAILS(cudaStreamSynchronize(stream), cudaErrorInvalidResourceHandle);
}

}  // namespace
