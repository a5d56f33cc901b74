// For tests that inject platform failures: the status the real platform answers when each
// call fails. Allocations run out of memory, calls that meet an earlier device fault report
// it, launches run out of resources.
#pragma once

#include <map>
#include <string>

#include "gpu.h"

namespace korvex::test {

inline const std::map<std::string, int>& Realistic_Failures() {
  static const std::map<std::string, int> kStatuses = {
      {"cudaRuntimeGetVersion", cudaErrorInvalidValue},
      {"cudaDriverGetVersion", cudaErrorInvalidValue},
      {"cudaGetDeviceCount", cudaErrorNoDevice},
      {"cudaGetDeviceProperties", cudaErrorInvalidDevice},
      {"cudaMemGetInfo", cudaErrorInitializationError},
      {"cudaFuncGetAttributes", cudaErrorInitializationError},
      {"cudaMalloc", cudaErrorMemoryAllocation},
      {"cudaHostAlloc", cudaErrorMemoryAllocation},
      {"cudaStreamCreate", cudaErrorMemoryAllocation},
      {"cudaHostRegister", cudaErrorMemoryAllocation},
      {"cudaMemcpyAsync", cudaErrorIllegalAddress},
      {"cudaMemcpy", cudaErrorIllegalAddress},
      {"cudaMemset", cudaErrorIllegalAddress},
      {"cudaStreamSynchronize", cudaErrorLaunchFailure},
      {"cudaLaunchKernel", cudaErrorLaunchOutOfResources},
      {"cudaHostUnregister", cudaErrorHostMemoryNotRegistered},
      {"cufftEstimate2d", CUFFT_ALLOC_FAILED},
      {"cufftPlan2d", CUFFT_ALLOC_FAILED},
      {"cufftPlanMany", CUFFT_ALLOC_FAILED},
      {"cufftExecC2C", CUFFT_EXEC_FAILED},
      {"cufftExecZ2Z", CUFFT_EXEC_FAILED},
      {"cufftExecR2C", CUFFT_EXEC_FAILED},
      {"cufftExecC2R", CUFFT_EXEC_FAILED},
      {"cufftExecD2Z", CUFFT_EXEC_FAILED},
      {"cufftExecZ2D", CUFFT_EXEC_FAILED},
      {"cublasCreate_v2", CUBLAS_STATUS_NOT_INITIALIZED},
      {"cublasSasum_v2", CUBLAS_STATUS_EXECUTION_FAILED},
      {"cublasDasum_v2", CUBLAS_STATUS_EXECUTION_FAILED},
      {"cublasSdot_v2", CUBLAS_STATUS_EXECUTION_FAILED},
      {"cublasDdot_v2", CUBLAS_STATUS_EXECUTION_FAILED},
  };
  return kStatuses;
}

}  // namespace korvex::test
