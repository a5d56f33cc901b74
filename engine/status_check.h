// KORVEX_CHECK(status): hands a platform status to the engine's handler for its library
// (runtime, cuFFT or cuBLAS), which returns on success and otherwise throws a message naming
// the failure, the calling source unit (the `kUnit` in scope) and the line of the check.
// It is used inside members of Korvex<T>, where T names the precision.
#pragma once

#include "Korvex.h"

namespace korvex::detail {

template <typename T>
inline void Check_Status(cudaError_t status, const char* unit, int line) {
  Korvex<T>::Handle_Error(status, unit, line);
}
template <typename T>
inline void Check_Status(cufftResult_t result, const char* unit, int line) {
  Korvex<T>::Handle_CuFFT(result, unit, line);
}
template <typename T>
inline void Check_Status(cublasStatus_t status, const char* unit, int line) {
  Korvex<T>::Handle_CuBLAS(status, unit, line);
}

}  // namespace korvex::detail

#define KORVEX_CHECK(status) ::korvex::detail::Check_Status<T>((status), kUnit, __LINE__)
