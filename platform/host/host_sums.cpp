// Compensated sums in vectorisable lanes. Unit strides, the engine's case, run through
// Knuth's branch-free two-sum in 32 independent lanes, built for x86-64-v3 beside the
// baseline so that the lanes fill AVX2 registers; other strides take Neumaier's sum term by
// term.
#include "host_sums.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "host_team.h"

namespace korvex::host::detail {
namespace {

#if defined(__x86_64__) && defined(__GNUC__)
#define KORVEX_SUM_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define KORVEX_SUM_CLONES
#endif

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

constexpr int kLanes = 32;

template <class T>
double term(const T* x, const T* /*y*/, int64_t i, std::false_type /*products*/) {
  return std::fabs(static_cast<double>(x[i]));
}
template <class T>
double term(const T* x, const T* y, int64_t i, std::true_type /*products*/) {
  return static_cast<double>(x[i]) * static_cast<double>(y[i]);
}

// The sum of the terms first ... last - 1 of unit-stride vectors.
template <class T, class Products>
KORVEX_SUM_CLONES double unit_chunk(const T* x, const T* y, int64_t first, int64_t last) {
  double sums[kLanes] = {};
  double compensations[kLanes] = {};
  int64_t i = first;
  for (; i + kLanes <= last; i += kLanes) {
    for (int l = 0; l < kLanes; ++l) {
      const double v = term(x, y, i + l, Products{});
      const double t = sums[l] + v;
      const double z = t - sums[l];
      compensations[l] += (sums[l] - (t - z)) + (v - z);
      sums[l] = t;
    }
  }
  Sum total;
  for (int l = 0; l < kLanes; ++l) {
    total.add(sums[l]);
    total.add(compensations[l]);
  }
  for (; i < last; ++i) total.add(term(x, y, i, Products{}));
  return total.value();
}

template <class T, class Products>
double strided_chunk(const T* x, int64_t sx, const T* y, int64_t sy, int64_t first, int64_t last) {
  Sum total;
  for (int64_t i = first; i < last; ++i) {
    total.add(Products::value ? static_cast<double>(x[i * sx]) * static_cast<double>(y[i * sy])
                              : std::fabs(static_cast<double>(x[i * sx])));
  }
  return total.value();
}

// Below this many terms a reduction is not worth waking the team.
constexpr int64_t kParallelTerms = 32768;
constexpr int64_t kMinChunk = 4096;
constexpr int kMaxChunks = 256;

template <class T, class Products>
double reduce(const T* x, int64_t sx, const T* y, int64_t sy, int64_t n) {
  if (n <= 0) return 0.0;
  const bool unit = sx == 1 && (!Products::value || sy == 1);
  const int64_t chunk = std::max(kMinChunk, (n + kMaxChunks - 1) / kMaxChunks);
  const int chunks = static_cast<int>((n + chunk - 1) / chunk);
  std::array<double, kMaxChunks> partial;
  parallel_for(chunks, n >= kParallelTerms ? team_size() : 1, [&](int64_t c) {
    const int64_t first = c * chunk;
    const int64_t last = std::min(n, first + chunk);
    partial[c] = unit ? unit_chunk<T, Products>(x, y, first, last)
                      : strided_chunk<T, Products>(x, sx, y, sy, first, last);
  });
  Sum total;
  for (int c = 0; c < chunks; ++c) total.add(partial[c]);
  return total.value();
}

}  // namespace

template <class T>
double sum_of_magnitudes(const T* x, int64_t stride, int64_t n) {
  return reduce<T, std::false_type>(x, stride, x, stride, n);
}

template <class T>
double sum_of_products(const T* x, int64_t sx, const T* y, int64_t sy, int64_t n) {
  return reduce<T, std::true_type>(x, sx, y, sy, n);
}

template double sum_of_magnitudes<float>(const float*, int64_t, int64_t);
template double sum_of_magnitudes<double>(const double*, int64_t, int64_t);
template double sum_of_products<float>(const float*, int64_t, const float*, int64_t, int64_t);
template double sum_of_products<double>(const double*, int64_t, const double*, int64_t, int64_t);

}  // namespace korvex::host::detail
