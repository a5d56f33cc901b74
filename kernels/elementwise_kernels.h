// The per-pixel kernels: one thread per pixel of a row-major W x H image, i = row * W + col.
//
// Included only by Korvex_Kernels.cu, which launches them. The order of stores is part of
// each kernel's contract where an output may share memory with an input.
#pragma once

#include "gpu_launch.h"
#include "kernel_math.h"
#include "kernel_types.h"

using korvex::kernels::at;
using korvex::kernels::fused_multiply_add;
using korvex::kernels::Index;
using korvex::kernels::InverseFftScale;
using korvex::kernels::magnitude;

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Addition(T* a, T* b, T* c, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    c[i] = a[i] + b[i];
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Subtraction(T* a, T* b, T* c, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    c[i] = a[i] - b[i];
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_MM_Mult_RR(T* a, T* b, T* c, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    c[i] = a[i] * b[i];
  }
}

// out may be z: the real part is stored before the imaginary part is read.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_MM_Mult_CR(CudaComplex<T>* z, T* r, CudaComplex<T>* out,
                                                      unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    out[i].re = r[i] * z[i].re;
    out[i].im = r[i] * z[i].im;
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_R2C(T* in, CudaComplex<T>* out, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    out[i].im = T(0);
    out[i].re = in[i];
  }
}

// Same behaviour as Cuda_R2C; the driver launches this one.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Real2Complex(T* in, CudaComplex<T>* out, unsigned W,
                                                        unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    out[i].im = T(0);
    out[i].re = in[i];
  }
}

// Single precision rounds the squared magnitude to float and takes the approximate root;
// double precision keeps every step in double.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Abs(CudaComplex<T>* z, T* out, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    out[i] = magnitude(z[i].re, z[i].im);
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Ifft_Normalize(CudaComplex<T>* z, unsigned W,
                                                          unsigned H) {
  const T n = T(1) / korvex::kernels::pixel_count<T>(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    z[i].re = z[i].re * n;
    z[i].im = z[i].im * n;
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Threshold(T* a, T s, T* out, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    out[i] = a[i] * (a[i] * s);
  }
}

// No clamping: the estimate may go negative.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_UpdateMapping(T* x, T* g, T s, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    x[i] = fused_multiply_add(-g[i], s, x[i]);
  }
}

// The update followed by the projection onto x >= 0. A NaN stays NaN, so that a failed step
// is not hidden as a zero.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_UpdateNonNegative(T* x, T* g, T s, unsigned W,
                                                             unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T moved = fused_multiply_add(-g[i], s, x[i]);
    x[i] = moved < T(0) ? T(0) : moved;
  }
}

// The sum of the frames, not their mean; starting from +0 turns a lone -0 into +0.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_EstimateWidefield(T* stack, T* out, unsigned W,
                                                             unsigned H, unsigned F) {
  const Index frame = W * H;
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    T sum = T(0);
    for (unsigned k = 0; k < F; ++k) sum = sum + stack[i + k * frame];
    out[i] = sum;
  }
}

namespace korvex::kernels {

// d plus lambda times twice the negative five-point Laplacian of x at pixel i = (col, row);
// the border keeps d. W - 1 and H - 1 wrap for an empty axis, which the element rule has
// already excluded.
template <typename T>
KORVEX_DEVICE T gradient_at(const T* d, const T* x, T lambda, Index i, unsigned col,
                            unsigned row, unsigned W, unsigned H) {
  if (row == 0 || col == 0 || col >= W - 1 || row >= H - 1) return d[i];
  T t = fused_multiply_add(x[i], T(4), -x[i - 1]);
  t = t - x[i + 1];
  t = t - x[i - W];
  t = t - x[i + W];
  t = t + t;
  return fused_multiply_add(t, lambda, d[i]);
}

}  // namespace korvex::kernels

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_ComputeGrad(T* grad, T* d, T* x, T lambda, unsigned W,
                                                       unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    grad[i] = korvex::kernels::gradient_at(d, x, lambda, i, col, row, W, H);
  }
}

// Cuda_ComputeGrad, and the gradient's free part under x >= 0 (Cuda_Free_Part of the gradient
// itself) into `free`, in one pass.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Gradient_Free(T* grad, T* d, T* x, T lambda, T* free,
                                                         unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T g = korvex::kernels::gradient_at(d, x, lambda, i, col, row, W, H);
    grad[i] = g;
    free[i] = (x[i] > T(0) || g < T(0)) ? g : T(0);
  }
}

// d where pixel i is free to move under x >= 0 (x > 0, or a gradient g that pushes it up),
// 0 where the bound holds it: the free part of a direction, for steps in a non-diagonal metric.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Free_Part(T* d, T* g, T* x, T* out, unsigned W,
                                                     unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    out[i] = (x[i] > T(0) || g[i] < T(0)) ? d[i] : T(0);
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Criterion_L1(T* a, T* b, T* out, unsigned W,
                                                        unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T t = a[i] - b[i];
    out[i] = t * t;
  }
}

// Splits (a - b) * (c - d) into its positive and negative parts; zero and NaN products go
// to neg, negated.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Criterion_L0(T* a, T* b, T* c, T* d, T* pos, T* neg,
                                                        unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T p = (a[i] - b[i]) * (c[i] - d[i]);
    if (p > T(0)) {
      pos[i] = p;
      neg[i] = T(0);
    } else {
      neg[i] = -p;
      pos[i] = T(0);
    }
  }
}

// The inverse FFT of a real blurred image is real up to rounding, so its real part is the
// value; a magnitude would lose the sign of the residual and of a negative estimate.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Iter_Middle(CudaComplex<T>* z, T* y, unsigned W,
                                                       unsigned H) {
  const InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T v = z[i].re;
    z[i].im = T(0);
    z[i].re = scale.residual(v, y[i]);
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Iter_Final(CudaComplex<T>* z, T* m, T* acc, unsigned W,
                                                      unsigned H) {
  const InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T q = scale.apply(z[i].re);
    acc[i] = fused_multiply_add(q, m[i], acc[i]);
  }
}

// A half spectrum (H rows of W / 2 + 1 frequencies, the real transform's layout) times the
// matching columns of `transfer` (row-major W x H, device order), scaled by 1 / (W H): the
// inverse real transform then gives the filtered image normalised.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Filter_Half(CudaComplex<T>* z, T* transfer, unsigned W,
                                                       unsigned H) {
  const InverseFftScale<T> scale(W, H);
  const unsigned half = W / 2 + 1;
  KORVEX_FOR_EACH_PIXEL(col, row, half, H) {
    const Index i = at(col, row, half);
    const T r = scale.apply(transfer[at(col, row, W)]);
    z[i].re = r * z[i].re;
    z[i].im = r * z[i].im;
  }
}

// Two half spectra through their transfer functions, summed into z and scaled by 1 / (W H):
// z = (r z + s y) / (W H), Cuda_Filter_Half of each added; y is left as it was.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Filter_Half_Sum(CudaComplex<T>* z, T* r,
                                                           CudaComplex<T>* y, T* s, unsigned W,
                                                           unsigned H) {
  const InverseFftScale<T> scale(W, H);
  const unsigned half = W / 2 + 1;
  KORVEX_FOR_EACH_PIXEL(col, row, half, H) {
    const Index i = at(col, row, half);
    const Index t = at(col, row, W);
    const T a = scale.apply(r[t]);
    const T b = scale.apply(s[t]);
    z[i].re = a * z[i].re + b * y[i].re;
    z[i].im = a * z[i].im + b * y[i].im;
  }
}

// out = from - s g, projected onto out >= 0 when `nonNegative` is 1 (a NaN stays NaN): the
// update of Cuda_UpdateMapping or Cuda_UpdateNonNegative from one buffer into another.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Update_From(T* from, T* g, T s, T* out,
                                                       unsigned nonNegative, unsigned W,
                                                       unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T moved = fused_multiply_add(-g[i], s, from[i]);
    out[i] = nonNegative != 0u && moved < T(0) ? T(0) : moved;
  }
}

// The gradient step of the harmonic iteration, in two launches that together visit every
// pixel once: Cuda_Gradient_Inside on the (W - 2) x (H - 2) pixels off the border, whose rows
// have no branch and vectorise on the host, and Cuda_Gradient_Border on the rest. Each forms
// the gradient g of Cuda_ComputeGrad into `grad`, writes its change g - grad (the old gradient
// read first) into `change`, and the free part of g under x >= 0 (Cuda_Gradient_Free) into
// `free`. The five buffers must be distinct.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Gradient_Inside(T* KORVEX_RESTRICT grad,
                                                           T* KORVEX_RESTRICT change,
                                                           T* KORVEX_RESTRICT d,
                                                           T* KORVEX_RESTRICT x, T lambda,
                                                           T* KORVEX_RESTRICT free, unsigned W,
                                                           unsigned H) {
  const unsigned insideW = W > 2 ? W - 2 : 0;
  const unsigned insideH = H > 2 ? H - 2 : 0;
  KORVEX_FOR_EACH_PIXEL(c, r, insideW, insideH) {
    const Index i = at(c + 1, r + 1, W);
    T t = fused_multiply_add(x[i], T(4), -x[i - 1]);
    t = t - x[i + 1];
    t = t - x[i - W];
    t = t - x[i + W];
    t = t + t;
    const T g = fused_multiply_add(t, lambda, d[i]);
    change[i] = g - grad[i];
    grad[i] = g;
    free[i] = (x[i] > T(0) || g < T(0)) ? g : T(0);
  }
}

namespace korvex::kernels {

// The pixels of the border in the order Cuda_Gradient_Border visits them: the first row, the
// last row (when it is another), then the first and the last column (when it is another)
// between them.
KORVEX_DEVICE unsigned border_count(unsigned W, unsigned H) {
  const unsigned rows = H > 1 ? 2 : H;
  const unsigned columns = W > 1 ? 2 : W;
  return rows * W + (H > 2 ? (H - 2) * columns : 0);
}

KORVEX_DEVICE Index border_pixel(unsigned n, unsigned W, unsigned H) {
  if (n < W) return n;
  n -= W;
  if (H > 1 && n < W) return at(n, H - 1, W);
  if (H > 1) n -= W;
  const unsigned between = H - 2;
  return n < between ? at(0, n + 1, W) : at(W - 1, n - between + 1, W);
}

}  // namespace korvex::kernels

// The border's share of the gradient step: there the gradient is d. Launched over
// border_count(W, H) threads along x.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Gradient_Border(T* grad, T* change, T* d, T* x,
                                                           T* free, unsigned W, unsigned H) {
  const unsigned count = korvex::kernels::border_count(W, H);
  KORVEX_FOR_EACH_PIXEL(n, row, count, 1u) {
    (void)row;
    const Index i = korvex::kernels::border_pixel(n, W, H);
    const T g = d[i];
    change[i] = g - grad[i];
    grad[i] = g;
    free[i] = (x[i] > T(0) || g < T(0)) ? g : T(0);
  }
}

// Cuda_Free_Part into `out` (which may be d), and the change of that direction from the one in
// `previous`, out - previous, into `previous`.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Free_Part_Change(T* d, T* g, T* x, T* out, T* previous,
                                                            unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T v = (x[i] > T(0) || g[i] < T(0)) ? d[i] : T(0);
    previous[i] = v - previous[i];
    out[i] = v;
  }
}

// The update of Cuda_Update_From in place on x, with the move it made, new x - old x, into
// `change`.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Update_Change(T* x, T* g, T s, T* change,
                                                         unsigned nonNegative, unsigned W,
                                                         unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const Index i = at(col, row, W);
    const T old = x[i];
    const T moved = fused_multiply_add(-g[i], s, old);
    const T updated = nonNegative != 0u && moved < T(0) ? T(0) : moved;
    change[i] = updated - old;
    x[i] = updated;
  }
}
