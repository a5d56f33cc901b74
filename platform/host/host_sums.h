// The sums behind the host cuBLAS reductions. Internal to platform/host.
//
// Every term is formed in double and the sum is compensated, so a reduction over a large
// image is at least as accurate as the vendor's tree reduction. A vector is cut into chunks
// of a length that depends on n alone; the chunks are spread over the worker team and their
// sums combined in order, so the result does not depend on the number of threads.
#pragma once

#include <cstdint>

namespace korvex::host::detail {

// Sum of |x[i * stride]| for i in [0, n).
template <class T>
double sum_of_magnitudes(const T* x, int64_t stride, int64_t n);

// Sum of x[i * sx] * y[i * sy] for i in [0, n); each product is rounded to double (exact for
// float data). Negative strides index backwards from x and y.
template <class T>
double sum_of_products(const T* x, int64_t sx, const T* y, int64_t sy, int64_t n);

}  // namespace korvex::host::detail
