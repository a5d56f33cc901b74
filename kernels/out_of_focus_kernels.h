// The kernels of the out-of-focus term: one image b, shared by every frame and unpatterned,
// seen through a real even low-pass G. The b-gradient's spectrum is gathered from the half
// spectra of x and b (the transform of x the data term takes anyway, and b's) and from the
// spectra of the modulated images E_l x; only the real parts of the inverse transforms are
// kept. The real part of the inverse transform of a spectrum A is the inverse transform of its
// Hermitian part (A(q) + conj A(-q)) / 2, so the kernel that gathers from a whole complex
// spectrum writes that part's half spectrum (W / 2 + 1 columns of H rows), which the inverse
// real transform takes: half the work of the complex one.
//
// b may live on a grid of its own, Wb x Hb, coarser than x's W x H: G passes nothing beyond
// the frequencies that grid holds, so b's images there are the samples, at its points, of
// images with no finer detail. Its spectra are indexed on its own half spectrum (Wb / 2 + 1
// columns of Hb rows) and hold the fine spectra's values: the kept transform of b is its own
// grid's, which the fine spectrum holds `ratio` = W H / (Wb Hb) times. With Wb = W and Hb = H
// every index below is the fine one.
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

// Where the frequency opposite device position (col, row) lies: ((W - col) mod W, (H - row) mod H).
KORVEX_DEVICE korvex::kernels::Index Opposite(unsigned col, unsigned row, unsigned W, unsigned H) {
  return korvex::kernels::at(col == 0u ? 0u : W - col, row == 0u ? 0u : H - row, W);
}

// The row of b's grid (Hb rows) holding the frequency of row `row` of x's grid (H rows), or Hb
// where b's grid does not hold it: rows 0 .. Hb / 2 hold the frequencies 0 .. Hb / 2, the rest
// the negative ones, as on x's grid.
KORVEX_DEVICE unsigned Haze_Row(unsigned row, unsigned H, unsigned Hb) {
  const unsigned positive = Hb / 2 + 1;
  if (row < positive) return row;
  if (row >= H - (Hb - positive)) return row - (H - Hb);
  return Hb;
}

// Where position (col, row) of x's half spectrum lies in b's (Wb / 2 + 1 columns of Hb rows):
// false where b's grid does not hold that frequency.
KORVEX_DEVICE bool Haze_Index(unsigned col, unsigned row, unsigned H, unsigned Wb, unsigned Hb,
                              korvex::kernels::Index& k) {
  const unsigned rowB = col < Wb / 2 + 1 ? Haze_Row(row, H, Hb) : Hb;
  if (rowB >= Hb) return false;
  k = korvex::kernels::at(col, rowB, Wb / 2 + 1);
  return true;
}

// The row of x's grid holding the frequency of row `row` of b's grid.
KORVEX_DEVICE unsigned Fine_Row(unsigned row, unsigned H, unsigned Hb) {
  return row < Hb / 2 + 1 ? row : row + (H - Hb);
}

// a += s.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Add_Scalar(T* a, T s, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    a[i] = a[i] + s;
  }
}

// x and z, the half spectra of x and of b (unshifted; z on b's grid), with t the transfer
// function of H'H, g = G and ge = G E (E the OTF's even part), all real and even and in device
// order. x becomes
//   u0  = (t x + s ge z) / (W H)   that of H'H x + s H'G b, normalised,
// and acc (on b's grid) gets
//   frames (ge x + g^2 z)          that of G'H(F x) + F G'G b (the b-gradient's start),
// z taken as the fine spectrum, `ratio` times b's own. A nonzero `band` keeps G'G to the
// columns 0 .. band - 1 and W - band .. W - 1 (In_Band), where t and ge are nonzero too: the
// spectra outside them hold only their rows' transforms, and both products are 0 there.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Split(CudaComplex<T>* x, CudaComplex<T>* z, T* t,
                                                      T* g, T* ge, T s, T frames,
                                                      CudaComplex<T>* acc, unsigned band, T ratio,
                                                      unsigned W, unsigned H, unsigned Wb,
                                                      unsigned Hb) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  const unsigned half = W / 2 + 1;
  KORVEX_FOR_EACH_PIXEL(col, row, half, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const korvex::kernels::Index h = korvex::kernels::at(col, row, half);
    const T xr = x[h].re, xi = x[h].im;
    korvex::kernels::Index k = 0;
    if (!Haze_Index(col, row, H, Wb, Hb, k)) {  // beyond b's grid, where G passes nothing
      x[h].re = scale.apply(t[i] * xr);
      x[h].im = scale.apply(t[i] * xi);
      continue;
    }
    const T blur = ge[i];
    const T haze = s * blur;
    const T br = ratio * z[k].re, bi = ratio * z[k].im;
    const T gain = In_Band(col, band, W) ? g[i] * g[i] : T(0);
    acc[k].re = frames * (blur * xr + gain * br);
    acc[k].im = frames * (blur * xi + gain * bi);
    x[h].re = scale.apply(t[i] * xr + haze * br);
    x[h].im = scale.apply(t[i] * xi + haze * bi);
  }
}

// z, the unshifted spectrum of E_l x, adds the share of the mean mask's harmonic l to the
// b-gradient's half spectrum: the Hermitian part of 2 P ge mu z, which comes back as
// G'H(2 P Re(mu E_l) x) = G'H(P (mu E_l + conj(mu) E_-l) x), with mu = mean[0] the
// orientation's mean coefficient and P its phase count. G passes only the lowest frequencies:
// ge is 0 beyond device columns 0 .. columns - 1 and beyond the `rows` rows nearest row 0
// (rows 0 .. (rows - 1) / 2 and the (rows - 1) / 2 last), so only that box is visited. acc is
// on b's grid, which holds the box.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Accumulate(CudaComplex<T>* z, T* ge,
                                                           CudaComplex<T>* mean, T phases,
                                                           CudaComplex<T>* acc, unsigned columns,
                                                           unsigned rows, unsigned W, unsigned H,
                                                           unsigned Wb, unsigned Hb) {
  const T mr = phases * mean[0].re, mi = phases * mean[0].im;
  const unsigned low = (rows + 1) / 2;  // rows 0 .. low - 1; the rest count back from H - 1
  KORVEX_FOR_EACH_PIXEL(col, boxRow, columns, rows) {
    const unsigned row = rows >= H || boxRow < low ? boxRow : H - (rows - boxRow);
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    korvex::kernels::Index h = 0;
    if (ge[i] == T(0) || !Haze_Index(col, row, H, Wb, Hb, h)) continue;
    const korvex::kernels::Index o = Opposite(col, row, W, H);
    // (mu z(q) + conj(mu z(-q))) P ge: twice the Hermitian part, halved by the factor 2.
    const T re = (mr * z[i].re - mi * z[i].im) + (mr * z[o].re - mi * z[o].im);
    const T im = (mr * z[i].im + mi * z[i].re) - (mr * z[o].im + mi * z[o].re);
    acc[h].re = acc[h].re + ge[i] * re;
    acc[h].im = acc[h].im + ge[i] * im;
  }
}

// b's half spectrum z (its own grid's transform) into the fine half spectrum `out`, times
// `factor` and, where `filter` is not null, the fine filter (real, even, device order); 0
// beyond b's grid. Where `kept` is not null, z (a move of b) first joins it (b's kept half
// spectrum). `out` may be z where b's grid is x's.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Spread(CudaComplex<T>* z, T* filter, T factor,
                                                       CudaComplex<T>* kept, CudaComplex<T>* out,
                                                       unsigned W, unsigned H, unsigned Wb,
                                                       unsigned Hb) {
  const unsigned half = W / 2 + 1;
  KORVEX_FOR_EACH_PIXEL(col, row, half, H) {
    const korvex::kernels::Index h = korvex::kernels::at(col, row, half);
    korvex::kernels::Index k = 0;
    if (!Haze_Index(col, row, H, Wb, Hb, k)) {
      out[h] = CudaComplex<T>{T(0), T(0)};
      continue;
    }
    const T f = filter != nullptr ? factor * filter[korvex::kernels::at(col, row, W)] : factor;
    const T zr = z[k].re, zi = z[k].im;
    if (kept != nullptr) {
      kept[k].re = kept[k].re + zr;
      kept[k].im = kept[k].im + zi;
    }
    out[h].re = f * zr;
    out[h].im = f * zi;
  }
}

// The fine half spectrum z's values at the frequencies b's grid holds into b's half spectrum
// `out`.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Gather(CudaComplex<T>* z, CudaComplex<T>* out,
                                                       unsigned W, unsigned H, unsigned Wb,
                                                       unsigned Hb) {
  const unsigned half = W / 2 + 1;
  const unsigned halfB = Wb / 2 + 1;
  KORVEX_FOR_EACH_PIXEL(col, row, halfB, Hb) {
    const korvex::kernels::Index h = korvex::kernels::at(col, Fine_Row(row, H, Hb), half);
    const korvex::kernels::Index k = korvex::kernels::at(col, row, halfB);
    out[k] = z[h];
  }
}

// From v, the unnormalised inverse transform (on b's grid, Wb x Hb) of the b-gradient's fine
// spectrum: bGrad = v / (W H) less c; with `project`, projected onto what b >= 0 lets move (0
// where b is 0 and the gradient positive). v may be bGrad.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Gradient(T* v, T* c, T* b, T* bGrad,
                                                         unsigned project, unsigned W,
                                                         unsigned H, unsigned Wb, unsigned Hb) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, Wb, Hb) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, Wb);
    const T g = scale.residual(v[i], c[i]);
    bGrad[i] = project != 0u && b[i] <= T(0) && g > T(0) ? T(0) : g;
  }
}

// The start's coupled filter (device order): out = filter F G E, divided by b's curvature
// F G^2 + eps where `divide` is 1 (C / D of the reduced problem, else C).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Couple(T* filter, T* g, T* ge, T frames, T eps,
                                                       unsigned divide, T* out, unsigned W,
                                                       unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T crossing = frames * ge[i];
    const T coupling = divide != 0u ? crossing / (frames * g[i] * g[i] + eps) : crossing;
    out[i] = filter[i] * coupling;
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

// One projected gradient step of b straight from v, the unnormalised inverse transform of the
// b-gradient's spectrum in bGrad: Cuda_Haze_Gradient unprojected, then Cuda_Haze_Descend with
// `moved` this move alone. bGrad is left at 0: the step that follows sees x alone. The images
// are on b's grid, Wb x Hb; W and H scale the transform as in Cuda_Haze_Gradient.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Step(T* KORVEX_RESTRICT bGrad,
                                                     T* KORVEX_RESTRICT c, T* KORVEX_RESTRICT b,
                                                     T step, T* KORVEX_RESTRICT moved,
                                                     unsigned W, unsigned H, unsigned Wb,
                                                     unsigned Hb) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, Wb, Hb) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, Wb);
    const T stepped = b[i] - step * scale.residual(bGrad[i], c[i]);
    const T next = stepped < T(0) ? T(0) : stepped;  // a NaN stays NaN
    moved[i] = next - b[i];
    b[i] = next;
    bGrad[i] = T(0);
  }
}

// x's share of b's move, change = H'G (b_new - b) times w (`weight`), joins x's gradient and its
// change from the last iteration's; `free` gets the new gradient's free part under x >= 0
// (Cuda_Free_Part of it).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Change(
    T* KORVEX_RESTRICT change, T* KORVEX_RESTRICT weight, T* KORVEX_RESTRICT x,
    T* KORVEX_RESTRICT grad, T* KORVEX_RESTRICT gradPrev, T* KORVEX_RESTRICT free, unsigned W,
    unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T share = change[i] * weight[i];
    const T g = grad[i] + share;
    grad[i] = g;
    gradPrev[i] = gradPrev[i] + share;
    free[i] = (x[i] > T(0)) | (g < T(0)) ? g : T(0);
  }
}

// z, the half spectrum of a move of b on b's grid (Wb / 2 + 1 columns of Hb rows), through b's
// curvature frames G'G, kept to the band as in Cuda_Haze_Split, and scaled by
// ratio / (W H) = 1 / (Wb Hb): the inverse real transform on b's grid then gives the gradient's
// change normalised.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Haze_Curvature(CudaComplex<T>* z, T* g, T frames,
                                                          unsigned band, unsigned W, unsigned H,
                                                          unsigned Wb, unsigned Hb) {
  const korvex::kernels::InverseFftScale<T> scale(Wb, Hb);
  const unsigned halfB = Wb / 2 + 1;
  KORVEX_FOR_EACH_PIXEL(col, row, halfB, Hb) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, halfB);
    const T v = g[korvex::kernels::at(col, Fine_Row(row, H, Hb), W)];
    const T gain = In_Band(col, band, W) ? scale.apply(frames * v * v) : T(0);
    z[i].re = z[i].re * gain;
    z[i].im = z[i].im * gain;
  }
}
