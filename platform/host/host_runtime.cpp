// Device queries, streams and synchronisation of the host platform.
//
// Streams are handles only: work runs at once in issue order, which honours every
// ordering a blocking stream and the legacy default stream promise.
#include "host_runtime.h"

#include <cstring>
#include <thread>

#include "host_state.h"

using korvex::host::detail::device_gate;
using korvex::host::detail::Operation;
using korvex::host::detail::record;
using korvex::host::detail::runtime_injected;
using korvex::host::detail::State;
using korvex::host::detail::state;

namespace {

constexpr char kDeviceName[] = "Korvex host device";

void fill_properties(const State& s, cudaDeviceProp* prop) {
  std::memset(prop, 0, sizeof(*prop));
  std::strncpy(prop->name, kDeviceName, sizeof(prop->name) - 1);
  prop->totalGlobalMem = s.config.total_memory;
  prop->major = s.config.major;
  prop->minor = s.config.minor;
  const unsigned cores = std::thread::hardware_concurrency();
  prop->multiProcessorCount = cores > 0 ? static_cast<int>(cores) : 1;
  prop->maxThreadsPerBlock = 1024;
  prop->maxThreadsDim[0] = 1024;
  prop->maxThreadsDim[1] = 1024;
  prop->maxThreadsDim[2] = 64;
  prop->maxGridSize[0] = 2147483647;
  prop->maxGridSize[1] = 65535;
  prop->maxGridSize[2] = 65535;
  prop->warpSize = 32;
}

}  // namespace

cudaError_t cudaRuntimeGetVersion(int* runtimeVersion) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaRuntimeGetVersion, status)) return status;
  if (!runtimeVersion) return record(cudaErrorInvalidValue);
  *runtimeVersion = s.config.runtime_version;
  return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* driverVersion) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaDriverGetVersion, status)) return status;
  if (!driverVersion) return record(cudaErrorInvalidValue);
  *driverVersion = s.config.driver_version;
  return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int* count) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaGetDeviceCount, status)) return status;
  if (!count) return record(cudaErrorInvalidValue);
  *count = 0;
  if ((status = device_gate(s)) != cudaSuccess) return record(status);
  *count = s.config.device_count;
  return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaGetDeviceProperties, status)) return status;
  if (!prop) return record(cudaErrorInvalidValue);
  if ((status = device_gate(s)) != cudaSuccess) return record(status);
  if (device < 0 || device >= s.config.device_count) return record(cudaErrorInvalidDevice);
  fill_properties(s, prop);
  return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaMemGetInfo, status)) return status;
  if (!free || !total) return record(cudaErrorInvalidValue);
  if ((status = device_gate(s)) != cudaSuccess) return record(status);
  *total = s.config.total_memory;
  *free = *total > s.device_bytes ? *total - s.device_bytes : 0;
  return cudaSuccess;
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, const void* func) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaFuncGetAttributes, status)) return status;
  if (!attr) return record(cudaErrorInvalidValue);
  if ((status = device_gate(s)) != cudaSuccess) return record(status);
  if (!func) return record(cudaErrorInvalidDeviceFunction);
  if (!s.config.kernel_images) return record(cudaErrorNoKernelImageForDevice);
  *attr = cudaFuncAttributes{};
  attr->maxThreadsPerBlock = 1024;
  attr->ptxVersion = attr->binaryVersion = 10 * s.config.major + s.config.minor;
  return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaStreamCreate, status)) return status;
  if (!pStream) return record(cudaErrorInvalidValue);
  if ((status = device_gate(s)) != cudaSuccess) return record(status);
  const auto stream = reinterpret_cast<cudaStream_t>(korvex::host::detail::new_handle(s));
  s.streams.insert(stream);
  *pStream = stream;
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaStreamDestroy, status)) return status;
  // The legacy default stream is not one of ours to destroy.
  if (s.streams.erase(stream) == 0) return record(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaStreamSynchronize, status)) return status;
  if (stream && s.streams.count(stream) == 0) return record(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaDeviceSynchronize, status)) return status;
  if ((status = device_gate(s)) != cudaSuccess) return record(status);
  return cudaSuccess;
}
