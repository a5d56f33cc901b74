// cuBLAS handles, asum and dot, computed on the CPU with results in host memory.
//
// Sums are accumulated in double (and compensated for double data), so a reduction over a
// large image is at least as accurate as the vendor's tree reduction.
#include "host_cublas.h"

#include <cmath>
#include <cstdint>
#include <mutex>

#include "host_state.h"

using korvex::host::detail::injected;
using korvex::host::detail::State;
using korvex::host::detail::state;

namespace {

// Neumaier's compensated sum.
class Sum {
 public:
  void add(double value) {
    const double t = sum_ + value;
    compensation_ += std::fabs(sum_) >= std::fabs(value) ? (sum_ - t) + value : (value - t) + sum_;
    sum_ = t;
  }
  double value() const { return sum_ + compensation_; }

 private:
  double sum_ = 0.0;
  double compensation_ = 0.0;
};

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

template <class T>
cublasStatus_t asum(const char* operation, cublasHandle_t handle, int n, const T* x, int incx,
                    T* result) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int injected_status = 0;
  if (injected(s, operation, injected_status)) {
    return static_cast<cublasStatus_t>(injected_status);
  }
  if (n <= 0 || incx <= 0) {
    const cublasStatus_t status = check<T>(s, handle, 0, result, {});
    if (status == CUBLAS_STATUS_SUCCESS) *result = T(0);
    return status;
  }
  const cublasStatus_t status = check<T>(s, handle, n, result, {{x, incx}});
  if (status != CUBLAS_STATUS_SUCCESS) return status;
  Sum sum;
  for (int64_t i = 0; i < n; ++i) sum.add(std::fabs(static_cast<double>(x[i * incx])));
  *result = static_cast<T>(sum.value());
  return CUBLAS_STATUS_SUCCESS;
}

template <class T>
cublasStatus_t dot(const char* operation, cublasHandle_t handle, int n, const T* x, int incx,
                   const T* y, int incy, T* result) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int injected_status = 0;
  if (injected(s, operation, injected_status)) {
    return static_cast<cublasStatus_t>(injected_status);
  }
  const cublasStatus_t status = check<T>(s, handle, n, result, {{x, incx}, {y, incy}});
  if (status != CUBLAS_STATUS_SUCCESS) return status;
  if (n <= 0) {
    *result = T(0);
    return CUBLAS_STATUS_SUCCESS;
  }
  Sum sum;
  int64_t ix = first_index(n, incx);
  int64_t iy = first_index(n, incy);
  for (int i = 0; i < n; ++i, ix += incx, iy += incy) {
    sum.add(static_cast<double>(x[ix]) * static_cast<double>(y[iy]));
  }
  *result = static_cast<T>(sum.value());
  return CUBLAS_STATUS_SUCCESS;
}

}  // namespace

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int status = 0;
  if (injected(s, "cublasCreate_v2", status)) return static_cast<cublasStatus_t>(status);
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
  if (injected(s, "cublasDestroy_v2", status)) return static_cast<cublasStatus_t>(status);
  if (s.blas_handles.erase(handle) == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSasum_v2(cublasHandle_t handle, int n, const float* x, int incx,
                              float* result) {
  return asum("cublasSasum_v2", handle, n, x, incx, result);
}

cublasStatus_t cublasDasum_v2(cublasHandle_t handle, int n, const double* x, int incx,
                              double* result) {
  return asum("cublasDasum_v2", handle, n, x, incx, result);
}

cublasStatus_t cublasSdot_v2(cublasHandle_t handle, int n, const float* x, int incx, const float* y,
                             int incy, float* result) {
  return dot("cublasSdot_v2", handle, n, x, incx, y, incy, result);
}

cublasStatus_t cublasDdot_v2(cublasHandle_t handle, int n, const double* x, int incx,
                             const double* y, int incy, double* result) {
  return dot("cublasDdot_v2", handle, n, x, incx, y, incy, result);
}
