// The kernels of the out-of-focus term: one image b, shared by every frame and unpatterned,
// seen through a real even low-pass G. The transform of x that the data term takes anyway
// carries b in its imaginary part. The b-gradient's spectrum is gathered from that transform
// and from those of the modulated images E_l x; only the real parts of the inverse
// transforms are kept, which lets every kernel here work on one frequency at a time.
//
// Included only by Korvex_Kernels.cu, which launches them.
#pragma once

#include "gpu_launch.h"
#include "kernel_math.h"
#include "kernel_types.h"

// Whether device column `col` lies in the band of columns 0 .. band - 1 and W - band .. W - 1;
// band 0 stands for the whole grid.
KORVEX_DEVICE bool In_Band(unsigned col, unsigned band, unsigned W) {
  return band == 0u || col < band || col >= W - band;
}

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

// z, the unshifted spectrum of x + i b, with t the transfer function of H'H, g = G and ge = G E
// (E the OTF's even part), all real and even and in the same order. For such a filter f,
// f z transforms back to f x + i f b, and -i f z to f b - i f x, so that
//   u0  = (t - i s ge) z          comes back with H'H x + s H'G b       as its real part,
//   acc = frames (ge - i g^2) z   comes back with G'H(F x) + F G'G b  as its real part
// (the b-gradient's start). Both may be z. A nonzero `band` keeps G'G to the columns
// 0 .. band - 1 and W - band .. W - 1 (In_Band), where t and ge are nonzero too: the spectrum
// outside them holds only its rows' transforms, and both products are 0 there.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Split(CudaComplex<T>* z, T* t, T* g, T* ge, T s,
                                                      T frames, CudaComplex<T>* u0,
                                                      CudaComplex<T>* acc, unsigned band,
                                                      unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T re = z[i].re, im = z[i].im;
    const T blur = ge[i];
    const T haze = s * blur;
    const T gain = In_Band(col, band, W) ? g[i] * g[i] : T(0);
    u0[i].re = t[i] * re + haze * im;
    u0[i].im = t[i] * im - haze * re;
    acc[i].re = frames * (blur * re + gain * im);
    acc[i].im = frames * (blur * im - gain * re);
  }
}

// z, the unshifted spectrum of E_l x, adds the share of the mean mask's harmonic l to the
// b-gradient's spectrum: acc += 2 P ge mu z, whose real part comes back as
// G'H(2 P Re(mu E_l) x) = G'H(P (mu E_l + conj(mu) E_-l) x), with mu = mean[0] the
// orientation's mean coefficient and P its phase count.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Accumulate(CudaComplex<T>* z, T* ge,
                                                           CudaComplex<T>* mean, T phases,
                                                           CudaComplex<T>* acc, unsigned W,
                                                           unsigned H) {
  const T mr = T(2) * phases * mean[0].re, mi = T(2) * phases * mean[0].im;
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T a = ge[i] * z[i].re, b = ge[i] * z[i].im;
    acc[i].re = acc[i].re + (mr * a - mi * b);
    acc[i].im = acc[i].im + (mr * b + mi * a);
  }
}

// From the unnormalised inverse transform of the b-gradient's spectrum: bGrad = its real part
// less c; with `project`, projected onto what b >= 0 lets move (0 where b is 0 and the
// gradient positive).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Gradient(CudaComplex<T>* z, T* c, T* b, T* bGrad,
                                                         unsigned project, unsigned W,
                                                         unsigned H) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T g = scale.residual(z[i].re, c[i]);
    bGrad[i] = project != 0u && b[i] <= T(0) && g > T(0) ? T(0) : g;
  }
}

// b takes a projected gradient step of length `step`: b = max(0, b - step bGrad); `move` gets
// the move b made, and `moved` the moves so far (this one alone when `first` is 1).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Descend(T* b, T* bGrad, T step, T* move, T* moved,
                                                        unsigned first, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T stepped = b[i] - step * bGrad[i];
    const T next = stepped < T(0) ? T(0) : stepped;  // a NaN stays NaN
    const T m = next - b[i];
    move[i] = m;
    moved[i] = first != 0u ? m : moved[i] + m;
    b[i] = next;
  }
}

// z, the half spectrum (W / 2 + 1 columns of H rows) of a move of b, through b's curvature
// frames G'G, kept to the band as in Cuda_Haze_Split, and scaled by 1 / (W H): the inverse
// real transform then gives the gradient's change normalised.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Curvature(CudaComplex<T>* z, T* g, T frames,
                                                          unsigned band, unsigned W, unsigned H) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  const unsigned half = W / 2 + 1;
  KORVEX_FOR_EACH_PIXEL(col, row, half, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, half);
    const T v = g[korvex::kernels::at(col, row, W)];
    const T gain = In_Band(col, band, W) ? scale.apply(frames * v * v) : T(0);
    z[i].re = z[i].re * gain;
    z[i].im = z[i].im * gain;
  }
}
