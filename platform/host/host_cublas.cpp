// cuBLAS handles, asum and dot, computed on the CPU with results in host memory.
//
// Sums are accumulated in double and compensated, so a reduction over a large image is at
// least as accurate as the vendor's tree reduction. The calls are checked under the state
// lock and computed after it. Unit strides, the engine's case, run as fixed chunks spread
// over the OpenMP team, each chunk in vectorisable lanes; the chunks are combined in order,
// so the result does not depend on the number of threads.
#include "host_cublas.h"

#include <algorithm>
#include <array>
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

// Knuth's two-sum in independent lanes: branch-free, so the lanes vectorise.
class LaneSum {
 public:
  static constexpr int kLanes = 8;
  template <class Term>
  void add_block(int64_t first, Term term) {
    for (int l = 0; l < kLanes; ++l) add(l, term(first + l));
  }
  void add(int l, double value) {
    const double t = sum_[l] + value;
    const double v = t - sum_[l];
    compensation_[l] += (sum_[l] - (t - v)) + (value - v);
    sum_[l] = t;
  }
  void add_to(Sum& total) const {
    for (int l = 0; l < kLanes; ++l) {
      total.add(sum_[l]);
      total.add(compensation_[l]);
    }
  }

 private:
  double sum_[kLanes] = {};
  double compensation_[kLanes] = {};
};

// Below this many elements a reduction is not worth waking the team.
constexpr int64_t kParallelElements = 32768;
constexpr int64_t kMinChunk = 4096;
constexpr int kMaxChunks = 256;

// The compensated sum of term(0) ... term(n - 1).
template <class Term>
double reduce(int64_t n, Term term) {
  const int64_t chunk = std::max(kMinChunk, (n + kMaxChunks - 1) / kMaxChunks);
  const int chunks = static_cast<int>((n + chunk - 1) / chunk);
  std::array<Sum, kMaxChunks> partial;
#pragma omp parallel for schedule(static) if (n >= kParallelElements)
  for (int c = 0; c < chunks; ++c) {
    const int64_t first = c * chunk;
    const int64_t last = std::min(n, first + chunk);
    LaneSum lanes;
    int64_t i = first;
    for (; i + LaneSum::kLanes <= last; i += LaneSum::kLanes) lanes.add_block(i, term);
    for (; i < last; ++i) lanes.add(0, term(i));
    lanes.add_to(partial[c]);
  }
  Sum total;
  for (int c = 0; c < chunks; ++c) total.add(partial[c].value());
  return total.value();
}

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
cublasStatus_t admit(const char* operation, cublasHandle_t handle, int n, T* result, bool empty,
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
cublasStatus_t asum(const char* operation, cublasHandle_t handle, int n, const T* x, int incx,
                    T* result) {
  const bool empty = n <= 0 || incx <= 0;
  const cublasStatus_t status = admit<T>(operation, handle, n, result, empty, {{x, incx}});
  if (status != CUBLAS_STATUS_SUCCESS) return status;
  if (empty) {
    *result = T(0);
    return CUBLAS_STATUS_SUCCESS;
  }
  const int64_t stride = incx;
  const double sum =
      stride == 1 ? reduce(n, [x](int64_t i) { return std::fabs(static_cast<double>(x[i])); })
                  : reduce(n, [x, stride](int64_t i) {
                      return std::fabs(static_cast<double>(x[i * stride]));
                    });
  *result = static_cast<T>(sum);
  return CUBLAS_STATUS_SUCCESS;
}

// Each product is rounded to double (exact for float data) before it is summed.
template <class T>
cublasStatus_t dot(const char* operation, cublasHandle_t handle, int n, const T* x, int incx,
                   const T* y, int incy, T* result) {
  const cublasStatus_t status =
      admit<T>(operation, handle, n, result, false, {{x, incx}, {y, incy}});
  if (status != CUBLAS_STATUS_SUCCESS) return status;
  if (n <= 0) {
    *result = T(0);
    return CUBLAS_STATUS_SUCCESS;
  }
  const T* x0 = x + first_index(n, incx);
  const T* y0 = y + first_index(n, incy);
  const int64_t sx = incx;
  const int64_t sy = incy;
  const double sum =
      sx == 1 && sy == 1
          ? reduce(n,
                   [x0, y0](int64_t i) {
                     return static_cast<double>(x0[i]) * static_cast<double>(y0[i]);
                   })
          : reduce(n, [x0, y0, sx, sy](int64_t i) {
              return static_cast<double>(x0[i * sx]) * static_cast<double>(y0[i * sy]);
            });
  *result = static_cast<T>(sum);
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
