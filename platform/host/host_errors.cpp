// The per-thread last error and the vendor's names and texts for the runtime's statuses.
#include "host_runtime.h"
#include "host_state.h"

namespace {

thread_local cudaError_t last_error = cudaSuccess;

struct ErrorText {
  cudaError_t status;
  const char* name;
  const char* text;
};

// As the vendor's runtime words them, typos and all.
constexpr ErrorText kErrorTexts[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorCudartUnloading, "cudaErrorCudartUnloading", "driver shutting down"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
     "invalid configuration argument"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
     "invalid copy direction for memcpy"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorInvalidDeviceFunction, "cudaErrorInvalidDeviceFunction", "invalid device function"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorNoKernelImageForDevice, "cudaErrorNoKernelImageForDevice",
     "no kernel image is available for execution on the device"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress",
     "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources",
     "too many resources requested for launch"},
    {cudaErrorHostMemoryAlreadyRegistered, "cudaErrorHostMemoryAlreadyRegistered",
     "part or all of the requested memory range is already mapped"},
    {cudaErrorHostMemoryNotRegistered, "cudaErrorHostMemoryNotRegistered",
     "pointer does not correspond to a registered memory region"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};

constexpr const char* kUnrecognised = "unrecognized error code";

const ErrorText* find_text(cudaError_t status) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.status == status) return &entry;
  }
  return nullptr;
}

}  // namespace

namespace korvex::host::detail {

cudaError_t record(cudaError_t status) {
  if (status != cudaSuccess) last_error = status;
  return status;
}

}  // namespace korvex::host::detail

cudaError_t cudaGetLastError(void) {
  const cudaError_t status = last_error;
  last_error = cudaSuccess;
  return status;
}

cudaError_t cudaPeekAtLastError(void) { return last_error; }

const char* cudaGetErrorName(cudaError_t error) {
  const ErrorText* entry = find_text(error);
  return entry ? entry->name : kUnrecognised;
}

const char* cudaGetErrorString(cudaError_t error) {
  const ErrorText* entry = find_text(error);
  return entry ? entry->text : kUnrecognised;
}
