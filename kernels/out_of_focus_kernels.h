// The kernels of the out-of-focus term: one image b, shared by every frame and unpatterned,
// seen through a real even low-pass G. The transform of x that the data term takes anyway
// carries b in its imaginary part; their spectra are told apart by symmetry. The b-gradient's
// spectrum is gathered from that transform and from those of the modulated images E_l x.
//
// Included only by Korvex_Kernels.cu, which launches them.
#pragma once

#include "gpu_launch.h"
#include "kernel_math.h"
#include "kernel_types.h"

// a += s.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Add_Scalar(T* a, T s, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    a[i] = a[i] + s;
  }
}

// out = x + i b.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Pack_Pair(T* x, T* b, CudaComplex<T>* out, unsigned W,
                                                     unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    out[i].re = x[i];
    out[i].im = b[i];
  }
}

// z, the unshifted spectrum of x + i b, split into X = (Z(q) + conj Z(-q)) / 2 and
// B = (Z(q) - conj Z(-q)) / 2i, with t the transfer function of H'H, g = G and ge = G E (E the
// OTF's even part), all in the same order:
//   u0  = t X + s ge B           (H'H x + s H'G b),
//   acc = frames (ge X + g^2 B)  (G'H(F x) + F G'G b, the b-gradient's start).
// Neither output may be z, whose mirrored entries are read.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Split(CudaComplex<T>* z, T* t, T* g, T* ge, T s,
                                                      T frames, CudaComplex<T>* u0,
                                                      CudaComplex<T>* acc, unsigned W,
                                                      unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    const Index m = at(col == 0 ? 0 : W - col, row == 0 ? 0 : H - row, W);
    const T a = z[i].re, b = z[i].im, c = z[m].re, d = z[m].im;
    const T xRe = T(0.5) * (a + c), xIm = T(0.5) * (b - d);
    const T bRe = T(0.5) * (b + d), bIm = T(0.5) * (c - a);
    const T blur = ge[i];
    const T haze = s * blur;
    const T gain = g[i] * g[i];
    u0[i].re = t[i] * xRe + haze * bRe;
    u0[i].im = t[i] * xIm + haze * bIm;
    acc[i].re = frames * (blur * xRe + gain * bRe);
    acc[i].im = frames * (blur * xIm + gain * bIm);
  }
}

// z, the unshifted spectrum of E_l x, adds the share of the mean mask's harmonic l to the
// b-gradient's spectrum: acc += ge P (mu Z(q) + conj(mu) conj Z(-q)), the spectrum of
// G'H(P (mu E_l + conj(mu) E_-l) x), with mu = mean[0] the orientation's mean coefficient and
// P its phase count.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Accumulate(CudaComplex<T>* z, T* ge,
                                                           CudaComplex<T>* mean, T phases,
                                                           CudaComplex<T>* acc, unsigned W,
                                                           unsigned H) {
  const T mr = phases * mean[0].re, mi = phases * mean[0].im;
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    const Index m = at(col == 0 ? 0 : W - col, row == 0 ? 0 : H - row, W);
    const T a = z[i].re, b = z[i].im, c = z[m].re, d = z[m].im;
    const T blur = ge[i];
    acc[i].re = acc[i].re + blur * (mr * (a + c) - mi * (b + d));
    acc[i].im = acc[i].im + blur * (mr * (b - d) + mi * (a - c));
  }
}

// From the unnormalised inverse transform of the b-gradient's spectrum: bGrad = its real part
// less c, projected onto what b >= 0 lets move (0 where b is 0 and the gradient positive).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Gradient(CudaComplex<T>* z, T* c, T* b, T* bGrad,
                                                         unsigned W, unsigned H) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T g = scale.residual(z[i].re, c[i]);
    bGrad[i] = b[i] <= T(0) && g > T(0) ? T(0) : g;
  }
}
