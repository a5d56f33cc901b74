// Scalar helpers shared by the kernels, one overload per precision.
//
// On the GPU the single-precision overloads compile to the approximate square root and
// reciprocal that this unit's nvcc options select; the host backend uses the exact ones.
// Fused multiply-adds are always written out, because contraction is switched off for this
// unit on both backends.
#pragma once

#include <cmath>
#include <cstddef>

#include "gpu_launch.h"

// On an x86-64 host every kernel is built twice, for x86-64-v3 (AVX2, FMA) and for the
// baseline, and the loader picks the one the processor runs. The baseline has no fused
// multiply-add instruction: there each fma is a library call per pixel, which also stops the
// row loop from being vectorised. Both builds compute the same values.
#if !defined(__CUDACC__) && defined(__x86_64__) && defined(__GNUC__)
#define KORVEX_HOST_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define KORVEX_HOST_CLONES
#endif

// Marks a kernel's pointer parameter as the only way the kernel reaches that buffer. A
// kernel with many buffers needs it on the host: without it the compiler must check each pair
// of a load and a store for overlap before it vectorises the row, and gives up past ten pairs.
#define KORVEX_RESTRICT __restrict__

namespace korvex::kernels {

// Position of an element in its buffer. Every buffer a launch touches holds fewer than 2^32
// elements, so the unsigned 32-bit index never wraps and a wider type gives the same
// positions: the host build widens it so that the compiler can see consecutive columns at
// consecutive addresses and vectorise the row loop; the GPU keeps 32-bit arithmetic.
#if defined(__CUDACC__)
using Index = unsigned;
#else
using Index = std::size_t;
#endif

// outer * stride + inner: a row-major pixel is at(col, row, W), a column-major one
// at(row, col, H).
KORVEX_DEVICE Index at(unsigned inner, unsigned outer, unsigned stride) {
  return static_cast<Index>(outer) * stride + inner;
}

KORVEX_DEVICE float fused_multiply_add(float p, float q, float r) { return fmaf(p, q, r); }
KORVEX_DEVICE double fused_multiply_add(double p, double q, double r) { return fma(p, q, r); }

KORVEX_DEVICE float square_root(float v) { return sqrtf(v); }
KORVEX_DEVICE double square_root(double v) { return sqrt(v); }

// Magnitude of (re, im): the square root of fma(re, re, im * im), im * im rounded first.
template <typename T>
KORVEX_DEVICE T magnitude(T re, T im) {
  return square_root(fused_multiply_add(re, re, im * im));
}

// The product H * W that scales an unnormalised inverse FFT, in the kernel's precision.
template <typename T>
KORVEX_DEVICE T pixel_count(unsigned W, unsigned H) {
  return static_cast<T>(H) * static_cast<T>(W);
}

// Scaling of an unnormalised inverse FFT by 1 / (H * W): single precision multiplies by the
// reciprocal n, double precision divides by H * W (correctly rounded).
template <typename T>
struct InverseFftScale;

template <>
struct InverseFftScale<float> {
  float n;
  KORVEX_DEVICE InverseFftScale(unsigned W, unsigned H) : n(1.0f / pixel_count<float>(W, H)) {}
  KORVEX_DEVICE float apply(float v) const { return v * n; }
  KORVEX_DEVICE float residual(float v, float y) const { return fused_multiply_add(v, n, -y); }
};

template <>
struct InverseFftScale<double> {
  double count;
  KORVEX_DEVICE InverseFftScale(unsigned W, unsigned H) : count(pixel_count<double>(W, H)) {}
  KORVEX_DEVICE double apply(double v) const { return v / count; }
  KORVEX_DEVICE double residual(double v, double y) const { return v / count - y; }
};

}  // namespace korvex::kernels
