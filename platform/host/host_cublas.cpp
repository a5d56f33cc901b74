// cuBLAS handles, asum and dot, computed on the CPU with results in host memory.
//
// The calls are checked under the state lock and summed after it (host_sums.h).
#include "host_cublas.h"

#include <cstdint>
#include <mutex>

#include "host_state.h"
#include "host_sums.h"

using korvex::host::detail::injected;
using korvex::host::detail::Operation;
using korvex::host::detail::State;
using korvex::host::detail::state;
using korvex::host::detail::sum_of_magnitudes;
using korvex::host::detail::sum_of_products;

namespace {

// Index of the first element BLAS visits: a negative stride walks the vector backwards.
int64_t first_index(int n, int inc) { return inc >= 0 ? 0 : int64_t{1 - n} * inc; }

// Bytes a strided vector of n > 0 elements spans.
size_t span_bytes(int n, int inc, size_t element) {
  const uint64_t stride = static_cast<uint64_t>(inc < 0 ? -int64_t{inc} : int64_t{inc});
  return static_cast<size_t>((uint64_t(n) - 1) * stride + 1) * element;
}

// The common checks; `vectors` device vectors of n > 0 elements with their strides follow.
template <class T>
cublasStatus_t check(State& s, cublasHandle_t handle, int n, const T* result,
                     std::initializer_list<std::pair<const T*, int>> vectors) {
  if (s.blas_handles.count(handle) == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  // Host pointer mode: the result goes to host memory.
  if (!result || s.device.overlaps(result, sizeof(T))) return CUBLAS_STATUS_INVALID_VALUE;
  if (n <= 0) return CUBLAS_STATUS_SUCCESS;
  for (const auto& v : vectors) {
    // A kernel reading outside device memory faults, and the call reports a failed launch.
    if (!s.device.contains(v.first, span_bytes(n, v.second, sizeof(T)))) {
      return CUBLAS_STATUS_EXECUTION_FAILED;
    }
  }
  return CUBLAS_STATUS_SUCCESS;
}

// The checks of both routines, under the state lock; `empty` is the case of nothing to sum.
template <class T>
cublasStatus_t admit(Operation operation, cublasHandle_t handle, int n, T* result, bool empty,
                     std::initializer_list<std::pair<const T*, int>> vectors) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int injected_status = 0;
  if (injected(s, operation, injected_status)) {
    return static_cast<cublasStatus_t>(injected_status);
  }
  return empty ? check<T>(s, handle, 0, result, {}) : check<T>(s, handle, n, result, vectors);
}

template <class T>
cublasStatus_t asum(Operation operation, cublasHandle_t handle, int n, const T* x, int incx,
                    T* result) {
  const bool empty = n <= 0 || incx <= 0;
  const cublasStatus_t status = admit<T>(operation, handle, n, result, empty, {{x, incx}});
  if (status != CUBLAS_STATUS_SUCCESS) return status;
  if (empty) {
    *result = T(0);
    return CUBLAS_STATUS_SUCCESS;
  }
  *result = static_cast<T>(sum_of_magnitudes(x, incx, n));
  return CUBLAS_STATUS_SUCCESS;
}

template <class T>
cublasStatus_t dot(Operation operation, cublasHandle_t handle, int n, const T* x, int incx,
                   const T* y, int incy, T* result) {
  const cublasStatus_t status =
      admit<T>(operation, handle, n, result, false, {{x, incx}, {y, incy}});
  if (status != CUBLAS_STATUS_SUCCESS) return status;
  if (n <= 0) {
    *result = T(0);
    return CUBLAS_STATUS_SUCCESS;
  }
  *result = static_cast<T>(
      sum_of_products(x + first_index(n, incx), incx, y + first_index(n, incy), incy, n));
  return CUBLAS_STATUS_SUCCESS;
}

}  // namespace

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int status = 0;
  if (injected(s, Operation::cublasCreate_v2, status)) return static_cast<cublasStatus_t>(status);
  if (!handle) return CUBLAS_STATUS_INVALID_VALUE;
  // The runtime under the library finds no usable device.
  if (korvex::host::detail::device_gate(s) != cudaSuccess) return CUBLAS_STATUS_NOT_INITIALIZED;
  const auto created = reinterpret_cast<cublasHandle_t>(korvex::host::detail::new_handle(s));
  s.blas_handles.insert(created);
  *handle = created;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int status = 0;
  if (injected(s, Operation::cublasDestroy_v2, status)) return static_cast<cublasStatus_t>(status);
  if (s.blas_handles.erase(handle) == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSasum_v2(cublasHandle_t handle, int n, const float* x, int incx,
                              float* result) {
  return asum(Operation::cublasSasum_v2, handle, n, x, incx, result);
}

cublasStatus_t cublasDasum_v2(cublasHandle_t handle, int n, const double* x, int incx,
                              double* result) {
  return asum(Operation::cublasDasum_v2, handle, n, x, incx, result);
}

cublasStatus_t cublasSdot_v2(cublasHandle_t handle, int n, const float* x, int incx, const float* y,
                             int incy, float* result) {
  return dot(Operation::cublasSdot_v2, handle, n, x, incx, y, incy, result);
}

cublasStatus_t cublasDdot_v2(cublasHandle_t handle, int n, const double* x, int incx,
                             const double* y, int incy, double* result) {
  return dot(Operation::cublasDdot_v2, handle, n, x, incx, y, incy, result);
}
