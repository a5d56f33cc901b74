// Device memory, pinned and registered host memory, copies and fills of the host platform.
//
// Device memory is host memory in a ledger. Every copy and fill is checked against the
// ledger as strictly as a real device would fault, so that a wrong kind, a stale pointer
// or an overrun shows here rather than first on a GPU. The checks hold the state lock; the
// bytes move after it is released, large blocks spread over the worker team.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "host_runtime.h"
#include "host_state.h"
#include "host_team.h"

using korvex::host::detail::Operation;
using korvex::host::detail::record;
using korvex::host::detail::runtime_injected;
using korvex::host::detail::State;
using korvex::host::detail::state;

namespace {

using korvex::host::detail::parallel_for;
using korvex::host::detail::team_size;

constexpr size_t kDeviceAlignment = 256;       // what cudaMalloc guarantees
constexpr size_t kPinnedAlignment = 4096;      // page-locked memory comes in pages
constexpr unsigned char kNanByte = 0xFF;       // 0xFFFF... reads as NaN in float and double
constexpr unsigned kHostAllocFlags = 0x0F;     // portable, mapped, write-combined, managed
constexpr unsigned kHostRegisterFlags = 0x0F;  // portable, mapped, I/O memory, read-only

// Memory that reads as NaN until written, or null when the machine has none to give.
void* allocate_filled(size_t bytes, size_t alignment) {
  if (bytes > SIZE_MAX - alignment) return nullptr;
  const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
  void* p = std::aligned_alloc(alignment, rounded);
  if (p) std::memset(p, kNanByte, rounded);
  return p;
}

// Page-locked memory must be resident, so more than the machine's free memory cannot be had.
// (Filling a larger buffer would instead get the process killed for memory.)
bool fits_in_free_memory(size_t bytes) {
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return true;
  return bytes / static_cast<size_t>(page_size) < static_cast<size_t>(pages);
}

bool is_device(const State& s, const void* p, size_t count) { return s.device.contains(p, count); }
bool is_host(const State& s, const void* p, size_t count) {
  return p != nullptr && !s.device.overlaps(p, count);
}

// The ledger's verdict on a copy of `count` > 0 bytes.
cudaError_t check_copy(const State& s, void* dst, const void* src, size_t count,
                       cudaMemcpyKind kind) {
  if (kind == cudaMemcpyDefault) {
    // Unified addressing: the pointers say where they live.
    const bool dst_device = s.device.overlaps(dst, count);
    const bool src_device = s.device.overlaps(src, count);
    kind = dst_device ? (src_device ? cudaMemcpyDeviceToDevice : cudaMemcpyHostToDevice)
                      : (src_device ? cudaMemcpyDeviceToHost : cudaMemcpyHostToHost);
  }
  bool valid = false;
  switch (kind) {
    case cudaMemcpyHostToHost:
      valid = is_host(s, dst, count) && is_host(s, src, count);
      break;
    case cudaMemcpyHostToDevice:
      valid = is_device(s, dst, count) && is_host(s, src, count);
      break;
    case cudaMemcpyDeviceToHost:
      valid = is_host(s, dst, count) && is_device(s, src, count);
      break;
    case cudaMemcpyDeviceToDevice:
      valid = is_device(s, dst, count) && is_device(s, src, count);
      break;
    default:
      return cudaErrorInvalidMemcpyDirection;
  }
  return valid ? cudaSuccess : cudaErrorInvalidValue;
}

bool known_kind(cudaMemcpyKind kind) {
  return kind >= cudaMemcpyHostToHost && kind <= cudaMemcpyDefault;
}

// Shared by both copies: the stream (if any) has been checked, the lock is held.
cudaError_t admit_copy(const State& s, void* dst, const void* src, size_t count,
                       cudaMemcpyKind kind) {
  if (!known_kind(kind)) return record(cudaErrorInvalidMemcpyDirection);
  if (count == 0) return cudaSuccess;
  const cudaError_t status = check_copy(s, dst, src, count, kind);
  return status == cudaSuccess ? status : record(status);
}

// Blocks from this size on are split over the team, in pieces of kPiece bytes.
constexpr size_t kParallelBytes = size_t{1} << 20;
constexpr size_t kPiece = size_t{64} << 10;

bool overlap(const void* a, const void* b, size_t count) {
  const auto x = reinterpret_cast<uintptr_t>(a);
  const auto y = reinterpret_cast<uintptr_t>(b);
  return (x < y ? y - x : x - y) < count;
}

// Work runs at once, which honours every stream ordering; a device-to-device copy inside one
// buffer may overlap, and then moves as memmove does.
void move_bytes(void* dst, const void* src, size_t count) {
  if (count < kParallelBytes || overlap(dst, src, count)) {
    std::memmove(dst, src, count);
    return;
  }
  const auto pieces = static_cast<int64_t>((count + kPiece - 1) / kPiece);
  parallel_for(pieces, team_size(), [&](int64_t p) {
    const size_t first = static_cast<size_t>(p) * kPiece;
    std::memcpy(static_cast<char*>(dst) + first, static_cast<const char*>(src) + first,
                std::min(kPiece, count - first));
  });
}

void fill_bytes(void* dst, int value, size_t count) {
  if (count < kParallelBytes) {
    std::memset(dst, value, count);
    return;
  }
  const auto pieces = static_cast<int64_t>((count + kPiece - 1) / kPiece);
  parallel_for(pieces, team_size(), [&](int64_t p) {
    const size_t first = static_cast<size_t>(p) * kPiece;
    std::memset(static_cast<char*>(dst) + first, value, std::min(kPiece, count - first));
  });
}

}  // namespace

cudaError_t cudaMalloc(void** devPtr, size_t size) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaMalloc, status)) return status;
  if (!devPtr) return record(cudaErrorInvalidValue);
  if ((status = korvex::host::detail::device_gate(s)) != cudaSuccess) return record(status);
  if (size == 0) {
    *devPtr = nullptr;
    return cudaSuccess;
  }
  const size_t total = s.config.total_memory;
  const size_t free = total > s.device_bytes ? total - s.device_bytes : 0;
  void* p = size <= free ? allocate_filled(size, kDeviceAlignment) : nullptr;
  if (!p) return record(cudaErrorMemoryAllocation);
  s.device.add(p, size);
  s.device_bytes += size;
  *devPtr = p;
  return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaFree, status)) return status;
  if (!devPtr) return cudaSuccess;
  if (!s.device.starts_range(devPtr)) return record(cudaErrorInvalidValue);
  s.device_bytes -= s.device.size_of(devPtr);
  s.device.remove(devPtr);
  std::free(devPtr);
  return cudaSuccess;
}

cudaError_t cudaHostAlloc(void** pHost, size_t size, unsigned int flags) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaHostAlloc, status)) return status;
  if (!pHost || (flags & ~kHostAllocFlags) != 0) return record(cudaErrorInvalidValue);
  if ((status = korvex::host::detail::device_gate(s)) != cudaSuccess) return record(status);
  if (size == 0) {
    *pHost = nullptr;
    return cudaSuccess;
  }
  if (!fits_in_free_memory(size)) return record(cudaErrorMemoryAllocation);
  void* p = allocate_filled(size, kPinnedAlignment);
  if (!p) return record(cudaErrorMemoryAllocation);
  s.pinned.add(p, size);
  *pHost = p;
  return cudaSuccess;
}

cudaError_t cudaFreeHost(void* ptr) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaFreeHost, status)) return status;
  if (!ptr) return cudaSuccess;
  if (!s.pinned.remove(ptr)) return record(cudaErrorInvalidValue);
  std::free(ptr);
  return cudaSuccess;
}

cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int flags) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaHostRegister, status)) return status;
  if (!ptr || size == 0 || (flags & ~kHostRegisterFlags) != 0) {
    return record(cudaErrorInvalidValue);
  }
  if ((status = korvex::host::detail::device_gate(s)) != cudaSuccess) return record(status);
  // Pinned buffers are page-locked already; device memory is no host memory at all.
  if (s.registered.overlaps(ptr, size) || s.pinned.overlaps(ptr, size)) {
    return record(cudaErrorHostMemoryAlreadyRegistered);
  }
  if (s.device.overlaps(ptr, size)) return record(cudaErrorInvalidValue);
  s.registered.add(ptr, size);
  return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaHostUnregister, status)) return status;
  if (!s.registered.remove(ptr)) return record(cudaErrorHostMemoryNotRegistered);
  return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status;
    if (runtime_injected(s, Operation::cudaMemcpy, status)) return status;
    if ((status = admit_copy(s, dst, src, count, kind)) != cudaSuccess) return status;
  }
  if (count != 0) move_bytes(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status;
    if (runtime_injected(s, Operation::cudaMemcpyAsync, status)) return status;
    if (stream && s.streams.count(stream) == 0) return record(cudaErrorInvalidResourceHandle);
    if ((status = admit_copy(s, dst, src, count, kind)) != cudaSuccess) return status;
  }
  if (count != 0) move_bytes(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    cudaError_t status;
    if (runtime_injected(s, Operation::cudaMemset, status)) return status;
    if (count == 0) return cudaSuccess;
    if (!is_device(s, devPtr, count)) return record(cudaErrorInvalidValue);
  }
  fill_bytes(devPtr, value, count);
  return cudaSuccess;
}
