// Test-only control of the host platform: configure the simulated device, inject
// failures into named operations and read the resource ledger. Production code never
// includes this header.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvex::host {

// Forget every injection and configuration and release everything the ledger holds,
// back to the default healthy device: compute capability 9.0, equal runtime and driver
// versions, one device, total memory = the machine's physical memory.
void reset();

void set_versions(int runtime, int driver);
void set_device_count(int count);  // 0 makes cudaGetDeviceCount report cudaErrorNoDevice
void set_compute_capability(int major, int minor);
void set_total_memory(size_t bytes);
// false imitates a GPU whose architecture the library was not built for: kernel launches and
// cudaFuncGetAttributes fail with cudaErrorNoKernelImageForDevice.
void set_kernel_images(bool available);

// Operation names are the API names ("cudaMalloc", "cudaMemcpyAsync", "cufftExecC2C",
// "cublasSasum_v2", ...); kernel launches count as "cudaLaunchKernel".
// The nth call (1-based) of `operation` from now on returns `status` (a cudaError_t,
// cufftResult or cublasStatus_t value, as fits the operation) without doing its work;
// runtime failures are also recorded as the thread's last error.
void fail_call(const std::string& operation, unsigned nth, int status);
void clear_failures();

// Calls of `operation` since the last reset (or clear_call_counts).
unsigned call_count(const std::string& operation);
// Calls of every operation since the last reset (or clear_call_counts).
unsigned total_call_count();
void clear_call_counts();

// While on, every counted call also appends its operation name to a log, in call order, so
// that a test can tell which operation the i-th call was. Off by default, so that long runs
// keep no history; reset and clear_call_counts empty the log.
void set_call_log(bool on);
std::vector<std::string> call_log();

struct Ledger {
  size_t device_allocations = 0;
  size_t device_bytes = 0;
  size_t pinned_buffers = 0;     // cudaHostAlloc
  size_t registered_ranges = 0;  // cudaHostRegister
  size_t streams = 0;
  size_t fft_plans = 0;
  size_t blas_handles = 0;
  bool empty() const {
    return device_allocations == 0 && device_bytes == 0 && pinned_buffers == 0 &&
           registered_ranges == 0 && streams == 0 && fft_plans == 0 && blas_handles == 0;
  }
};
Ledger ledger();

}  // namespace korvex::host
