// Process-wide state of the host platform, shared by the runtime, cuFFT, cuBLAS and launch
// implementations and by the test-control interface. Internal to platform/host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host_runtime.h"

struct cublasContext;

namespace korvex::host::detail {

struct FftPlan;  // defined by the cuFFT implementation

// Every operation that the host platform counts and that a test can make fail, by its API
// name. Calls are counted by index, so a call costs no name lookup.
#define KORVEX_HOST_OPERATIONS(X) \
  X(cudaRuntimeGetVersion)        \
  X(cudaDriverGetVersion)         \
  X(cudaGetDeviceCount)           \
  X(cudaGetDeviceProperties)      \
  X(cudaMemGetInfo)               \
  X(cudaFuncGetAttributes)        \
  X(cudaMalloc)                   \
  X(cudaFree)                     \
  X(cudaHostAlloc)                \
  X(cudaFreeHost)                 \
  X(cudaHostRegister)             \
  X(cudaHostUnregister)           \
  X(cudaMemcpy)                   \
  X(cudaMemcpyAsync)              \
  X(cudaMemset)                   \
  X(cudaStreamCreate)             \
  X(cudaStreamDestroy)            \
  X(cudaStreamSynchronize)        \
  X(cudaDeviceSynchronize)        \
  X(cudaLaunchKernel)             \
  X(cufftEstimate2d)              \
  X(cufftPlan2d)                  \
  X(cufftPlanMany)                \
  X(cufftDestroy)                 \
  X(cufftExecC2C)                 \
  X(cufftExecZ2Z)                 \
  X(cufftExecR2C)                 \
  X(cufftExecC2R)                 \
  X(cufftExecD2Z)                 \
  X(cufftExecZ2D)                 \
  X(cublasCreate_v2)              \
  X(cublasDestroy_v2)             \
  X(cublasSasum_v2)               \
  X(cublasDasum_v2)               \
  X(cublasSdot_v2)                \
  X(cublasDdot_v2)
enum class Operation : unsigned {
#define KORVEX_HOST_OPERATION_ENUMERATOR(name) name,
  KORVEX_HOST_OPERATIONS(KORVEX_HOST_OPERATION_ENUMERATOR)
#undef KORVEX_HOST_OPERATION_ENUMERATOR
};
#define KORVEX_HOST_OPERATION_COUNT(name) +1
constexpr size_t kOperationCount = 0 KORVEX_HOST_OPERATIONS(KORVEX_HOST_OPERATION_COUNT);
#undef KORVEX_HOST_OPERATION_COUNT

const char* operation_name(Operation operation);
// The operation called `name`; throws std::invalid_argument for a name it does not know.
Operation operation_named(const std::string& name);

// Address ranges keyed by their first byte, so that "which range holds this pointer" is one
// ordered lookup.
class RangeMap {
 public:
  void add(const void* start, size_t bytes) { ranges_[address(start)] = bytes; }
  bool remove(const void* start) { return ranges_.erase(address(start)) == 1; }
  bool starts_range(const void* p) const { return ranges_.count(address(p)) == 1; }
  // Bytes of the range that starts at `start`; 0 when none does.
  size_t size_of(const void* start) const {
    const auto it = ranges_.find(address(start));
    return it == ranges_.end() ? 0 : it->second;
  }
  // [p, p + bytes) lies inside a single range (bytes may be 0: p itself must be inside).
  bool contains(const void* p, size_t bytes) const;
  // [p, p + bytes) shares at least one byte with some range.
  bool overlaps(const void* p, size_t bytes) const;
  size_t count() const { return ranges_.size(); }
  size_t total_bytes() const;
  std::vector<void*> starts() const;
  void clear() { ranges_.clear(); }

 private:
  static uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }
  std::map<uintptr_t, size_t> ranges_;
};

struct Injection {
  Operation operation;
  unsigned remaining;  // calls of `operation` still to pass before this one fires
  int status;
};

struct Config {
  int runtime_version = 13000;
  int driver_version = 13000;
  int device_count = 1;
  int major = 9;
  int minor = 0;
  size_t total_memory = 0;    // filled with the machine's physical memory
  bool kernel_images = true;  // false: the device module holds no code for this device
};

struct State {
  std::mutex mutex;
  Config config;
  RangeMap device;
  size_t device_bytes = 0;
  RangeMap pinned;
  RangeMap registered;
  std::set<cudaStream_t> streams;
  std::map<int, std::shared_ptr<FftPlan>> plans;
  std::set<cublasContext*> blas_handles;
  std::vector<Injection> injections;
  std::array<unsigned, kOperationCount> call_counts{};
  unsigned total_calls = 0;
  bool log_calls = false;
  std::vector<std::string> call_log;
  // Handles are never reused, so a destroyed one stays unknown for the life of the process.
  uintptr_t next_handle = 0x10000;
  int next_plan = 1;
};

// The one instance; lock `state().mutex` for every access.
State& state();
Config default_config();

// Counts a call of `operation` and consults the injector: returns true and sets `status`
// when this call must fail without doing its work. Call with the state lock held.
bool injected(State& s, Operation operation, int& status);

// Records `status` as the calling thread's last error when it is a failure; returns it.
cudaError_t record(cudaError_t status);

// The same for runtime calls: an injected failure is also recorded as the last error.
inline bool runtime_injected(State& s, Operation operation, cudaError_t& status) {
  int injected_status = 0;
  if (!injected(s, operation, injected_status)) return false;
  status = record(static_cast<cudaError_t>(injected_status));
  return true;
}

// What a call that needs the device sees before doing anything: an old driver, or none.
cudaError_t device_gate(const State& s);

// A fresh handle value for streams and BLAS handles. Call with the state lock held.
uintptr_t new_handle(State& s);

}  // namespace korvex::host::detail
