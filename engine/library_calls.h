// The cuFFT and cuBLAS calls of the engine in both precisions: one name each, whichever T
// the member that calls them was instantiated with.
#pragma once

#include <type_traits>

#include "Korvex.h"

namespace korvex::detail {

template <typename T>
inline cufftResult Execute_FFT(cufftHandle plan, CudaComplex<T>* in, CudaComplex<T>* out,
                               int direction) {
  if constexpr (std::is_same_v<T, float>) {
    return cufftExecC2C(plan, reinterpret_cast<cufftComplex*>(in),
                        reinterpret_cast<cufftComplex*>(out), direction);
  } else {
    return cufftExecZ2Z(plan, reinterpret_cast<cufftDoubleComplex*>(in),
                        reinterpret_cast<cufftDoubleComplex*>(out), direction);
  }
}

// The real transforms: a real image to its half spectrum, and back (overwriting the spectrum).
inline cufftResult Execute_Real_Forward(cufftHandle plan, float* in, CudaComplex<float>* out) {
  return cufftExecR2C(plan, in, reinterpret_cast<cufftComplex*>(out));
}
inline cufftResult Execute_Real_Forward(cufftHandle plan, double* in, CudaComplex<double>* out) {
  return cufftExecD2Z(plan, in, reinterpret_cast<cufftDoubleComplex*>(out));
}
inline cufftResult Execute_Real_Inverse(cufftHandle plan, CudaComplex<float>* in, float* out) {
  return cufftExecC2R(plan, reinterpret_cast<cufftComplex*>(in), out);
}
inline cufftResult Execute_Real_Inverse(cufftHandle plan, CudaComplex<double>* in, double* out) {
  return cufftExecZ2D(plan, reinterpret_cast<cufftDoubleComplex*>(in), out);
}

inline cublasStatus_t Sum_Abs(cublasHandle_t handle, int n, const float* x, float* result) {
  return cublasSasum_v2(handle, n, x, 1, result);
}
inline cublasStatus_t Sum_Abs(cublasHandle_t handle, int n, const double* x, double* result) {
  return cublasDasum_v2(handle, n, x, 1, result);
}

inline cublasStatus_t Dot(cublasHandle_t handle, int n, const float* x, const float* y,
                          float* result) {
  return cublasSdot_v2(handle, n, x, 1, y, 1, result);
}
inline cublasStatus_t Dot(cublasHandle_t handle, int n, const double* x, const double* y,
                          double* result) {
  return cublasDdot_v2(handle, n, x, 1, y, 1, result);
}

}  // namespace korvex::detail
