// The kernels of the out-of-focus term: one image b, shared by every frame and unpatterned,
// seen through a real even low-pass G. One complex transform carries two real images, w x in
// its real part and b in its imaginary part; their spectra are told apart by symmetry, and the
// two real results come back the same way from one inverse transform.
//
// Included only by Korvex_Kernels.cu, which launches them.
#pragma once

#include "gpu_launch.h"
#include "kernel_math.h"
#include "kernel_types.h"

// out = w x + i b.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Pack_Pair(T* w, T* x, T* b, CudaComplex<T>* out,
                                                     unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    out[i].re = w[i] * x[i];
    out[i].im = b[i];
  }
}

// z, the unshifted spectrum of w x + i b, split into X = (Z(q) + conj Z(-q)) / 2 and
// B = (Z(q) - conj Z(-q)) / 2i; out = (ge X + frames g^2 B) + i (ge B), with g = G and
// ge = G E (E the OTF's even part) in the same order: the spectrum of
// G'(H(w x) + F G b) + i H'G b. out must not be z, whose mirrored entries are read.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Spectrum(CudaComplex<T>* z, T* g, T* ge, T frames,
                                                         CudaComplex<T>* out, unsigned W,
                                                         unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    const Index m = at(col == 0 ? 0 : W - col, row == 0 ? 0 : H - row, W);
    const T a = z[i].re, b = z[i].im, c = z[m].re, d = z[m].im;
    const T xRe = T(0.5) * (a + c), xIm = T(0.5) * (b - d);
    const T bRe = T(0.5) * (b + d), bIm = T(0.5) * (c - a);
    const T s = ge[i];
    const T t = frames * (g[i] * g[i]);
    out[i].re = (s * xRe + t * bRe) - s * bIm;
    out[i].im = (s * xIm + t * bIm) + s * bRe;
  }
}

// From the unnormalised inverse transform of Cuda_Haze_Spectrum's output: acc += w times its
// imaginary part (the x-gradient's w H'G b), bGrad = its real part less c = G' sum_j d_j.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Gradients(CudaComplex<T>* z, T* w, T* c, T* acc,
                                                          T* bGrad, unsigned W, unsigned H) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    acc[i] = fused_multiply_add(scale.apply(z[i].im), w[i], acc[i]);
    bGrad[i] = scale.residual(z[i].re, c[i]);
  }
}
