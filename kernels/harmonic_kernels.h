// The kernels of the harmonic data term: masks given as sums of plane-wave harmonics,
//   m(col, row) = 1 + 2 Re( c1 E1 + c2 E2 ),   E_l = e^{i l (kx col + ky row)},
// with E_l held separably as a column table (W values e^{i l kx col}) and a row table (H values
// e^{i l ky row}). An orientation's `phases` hold, one after the other, the column and row
// tables of E1, then those of E2: 2 (W + H) values.
//
// Included only by Korvex_Kernels.cu, which launches them.
#pragma once

#include "gpu_launch.h"
#include "kernel_math.h"
#include "kernel_types.h"

namespace korvex::kernels {

template <typename T>
struct Complex_Value {
  T re;
  T im;
};

template <typename T>
KORVEX_DEVICE Complex_Value<T> multiply(Complex_Value<T> a, Complex_Value<T> b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

template <typename T>
KORVEX_DEVICE Complex_Value<T> value(const CudaComplex<T>& z) {
  return {z.re, z.im};
}

// Re(a b).
template <typename T>
KORVEX_DEVICE T real_product(Complex_Value<T> a, Complex_Value<T> b) {
  return a.re * b.re - a.im * b.im;
}

// E_l at (col, row): order 1 or 2 of the orientation's tables.
template <typename T>
KORVEX_DEVICE Complex_Value<T> harmonic(const CudaComplex<T>* phases, unsigned order, unsigned col,
                                        unsigned row, unsigned W, unsigned H) {
  const CudaComplex<T>* columns = phases + (order - 1) * (W + H);
  return multiply(value(columns[col]), value(columns[W + row]));
}

}  // namespace korvex::kernels

using korvex::kernels::Complex_Value;

// out = the mask with harmonic coefficients c1 = coefficients[0], c2 = coefficients[1].
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Harmonic_Mask(CudaComplex<T>* phases,
                                                         CudaComplex<T>* coefficients, T* out,
                                                         unsigned W, unsigned H) {
  const Complex_Value<T> c1 = korvex::kernels::value(coefficients[0]);
  const Complex_Value<T> c2 = korvex::kernels::value(coefficients[1]);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const T s = real_product(c1, harmonic(phases, 1, col, row, W, H)) +
                real_product(c2, harmonic(phases, 2, col, row, W, H));
    out[at(col, row, W)] = T(1) + (s + s);
  }
}

// out = x E_l, with E_l given by its column table `columns` and row table `rows`.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Modulate(T* x, CudaComplex<T>* columns,
                                                    CudaComplex<T>* rows, CudaComplex<T>* out,
                                                    unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    const Complex_Value<T> e = multiply(value(columns[col]), value(rows[row]));
    const T v = x[i];
    out[i].re = v * e.re;
    out[i].im = v * e.im;
  }
}

// out = the real part of an unnormalised inverse transform, scaled by 1 / (W H).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Scaled_Real(CudaComplex<T>* z, T* out, unsigned W,
                                                       unsigned H) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    out[i] = scale.apply(z[i].re);
  }
}

// One orientation's share of sum_{l,l'} M_{l,l'} E_l' u_l added to `from` into acc (which may
// be `from`), with u_0 (real,
// normalised) and u_1, u_2 (unnormalised inverse transforms, scaled here) the normal
// operator applied to E_l x. weights, 13 values of M (M_{-l,-l'} = conj M_{l,l'}):
//   0: M00 (real part)  1: M10  2: M20
//   3: M01  4: M11  5: M-1,1  6: M21  7: M-2,1
//   8: M02  9: M12 10: M-1,2 11: M22 12: M-2,2
// so that v0 = M00 u0 + 2 Re(M10 u1 + M20 u2), v1 and v2 likewise, and the share is
// v0 + 2 Re(E1 v1 + E2 v2).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Harmonic_Combine(T* u0, CudaComplex<T>* u1,
                                                            CudaComplex<T>* u2,
                                                            CudaComplex<T>* phases,
                                                            CudaComplex<T>* weights, T* from,
                                                            T* acc, unsigned W, unsigned H) {
  using korvex::kernels::value;
  Complex_Value<T> w[13];
  for (unsigned n = 0; n < 13; ++n) w[n] = value(weights[n]);
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    const T base = u0[i];
    const Complex_Value<T> a = {scale.apply(u1[i].re), scale.apply(u1[i].im)};
    const Complex_Value<T> b = {scale.apply(u2[i].re), scale.apply(u2[i].im)};
    const Complex_Value<T> ac = {a.re, -a.im};
    const Complex_Value<T> bc = {b.re, -b.im};
    const T cross0 = real_product(w[1], a) + real_product(w[2], b);
    const T v0 = w[0].re * base + (cross0 + cross0);
    Complex_Value<T> v1 = multiply(w[4], a);
    const Complex_Value<T> v1b = multiply(w[5], ac);
    const Complex_Value<T> v1c = multiply(w[6], b);
    const Complex_Value<T> v1d = multiply(w[7], bc);
    v1.re = w[3].re * base + v1.re + v1b.re + v1c.re + v1d.re;
    v1.im = w[3].im * base + v1.im + v1b.im + v1c.im + v1d.im;
    Complex_Value<T> v2 = multiply(w[9], a);
    const Complex_Value<T> v2b = multiply(w[10], ac);
    const Complex_Value<T> v2c = multiply(w[11], b);
    const Complex_Value<T> v2d = multiply(w[12], bc);
    v2.re = w[8].re * base + v2.re + v2b.re + v2c.re + v2d.re;
    v2.im = w[8].im * base + v2.im + v2b.im + v2c.im + v2d.im;
    const T harmonics = real_product(harmonic(phases, 1, col, row, W, H), v1) +
                        real_product(harmonic(phases, 2, col, row, W, H), v2);
    acc[i] = from[i] + v0 + (harmonics + harmonics);
  }
}

namespace korvex::kernels {

// The weights 0, 1, 3, 4 and 5 of an orientation without second harmonic.
template <typename T>
struct First_Weights {
  Complex_Value<T> w0, w1, w3, w4, w5;
  KORVEX_DEVICE explicit First_Weights(const CudaComplex<T>* weights)
      : w0(value(weights[0])),
        w1(value(weights[1])),
        w3(value(weights[3])),
        w4(value(weights[4])),
        w5(value(weights[5])) {}
};

// Such an orientation's share added to `sum` at pixel (col, row): sum + v0 + 2 Re(E1 v1), with
// u_0 = base and u_1 the unnormalised inverse transform `u1` (scaled here).
template <typename T>
KORVEX_DEVICE T add_first_share(T sum, const First_Weights<T>& w, T base, CudaComplex<T> u1,
                                const InverseFftScale<T>& scale, const CudaComplex<T>* phases,
                                unsigned col, unsigned row, unsigned W, unsigned H) {
  const Complex_Value<T> a = {scale.apply(u1.re), scale.apply(u1.im)};
  const T cross0 = real_product(w.w1, a);
  const T v0 = w.w0.re * base + (cross0 + cross0);
  const Complex_Value<T> v1a = multiply(w.w4, a);
  const Complex_Value<T> v1b = multiply(w.w5, Complex_Value<T>{a.re, -a.im});
  const Complex_Value<T> v1 = {w.w3.re * base + v1a.re + v1b.re,
                               w.w3.im * base + v1a.im + v1b.im};
  const T first = real_product(harmonic(phases, 1, col, row, W, H), v1);
  return sum + v0 + (first + first);
}

}  // namespace korvex::kernels

// The same for an orientation without second harmonic: u_1 alone, weights 0, 1, 3, 4 and 5.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Harmonic_Combine_First(T* u0, CudaComplex<T>* u1,
                                                                  CudaComplex<T>* phases,
                                                                  CudaComplex<T>* weights,
                                                                  T* from, T* acc, unsigned W,
                                                                  unsigned H) {
  const korvex::kernels::First_Weights<T> w(weights);
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    acc[i] = add_first_share(from[i], w, u0[i], u1[i], scale, phases, col, row, W, H);
  }
}

// Two such orientations, a and b, in one pass: Cuda_Harmonic_Combine_First for a from `from`,
// then for b from that, without storing the sum between them (which comes out the same).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Harmonic_Combine_Pair(
    T* u0, CudaComplex<T>* u1a, CudaComplex<T>* u1b, CudaComplex<T>* phasesA,
    CudaComplex<T>* phasesB, CudaComplex<T>* weightsA, CudaComplex<T>* weightsB, T* from, T* acc,
    unsigned W, unsigned H) {
  const korvex::kernels::First_Weights<T> wa(weightsA);
  const korvex::kernels::First_Weights<T> wb(weightsB);
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    const T base = u0[i];
    const T sum = add_first_share(from[i], wa, base, u1a[i], scale, phasesA, col, row, W, H);
    acc[i] = add_first_share(sum, wb, base, u1b[i], scale, phasesB, col, row, W, H);
  }
}

// Cuda_Modulate for two orientations' first harmonics, x read once: outA = x E1 of table a,
// outB = x E1 of table b. x, outA and outB must be distinct.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Modulate_Pair(T* KORVEX_RESTRICT x,
                                                         CudaComplex<T>* phasesA,
                                                         CudaComplex<T>* phasesB,
                                                         CudaComplex<T>* KORVEX_RESTRICT outA,
                                                         CudaComplex<T>* KORVEX_RESTRICT outB,
                                                         unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    const Complex_Value<T> a = harmonic(phasesA, 1, col, row, W, H);
    const Complex_Value<T> b = harmonic(phasesB, 1, col, row, W, H);
    const T v = x[i];
    outA[i].re = v * a.re;
    outA[i].im = v * a.im;
    outB[i].re = v * b.re;
    outB[i].im = v * b.im;
  }
}

// One frame's share of the folded data: sum += frame, first += c1 frame and, with `orders` 2,
// second += c2 frame (c1 = coefficients[0], c2 = coefficients[1]).
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Accumulate_Harmonics(T* frame,
                                                                CudaComplex<T>* coefficients,
                                                                CudaComplex<T>* first,
                                                                CudaComplex<T>* second,
                                                                unsigned orders, T* sum,
                                                                unsigned W, unsigned H) {
  const Complex_Value<T> c1 = korvex::kernels::value(coefficients[0]);
  const Complex_Value<T> c2 = korvex::kernels::value(coefficients[1]);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const korvex::kernels::Index i = korvex::kernels::at(col, row, W);
    const T v = frame[i];
    sum[i] += v;
    first[i].re += c1.re * v;
    first[i].im += c1.im * v;
    if (orders == 2) {
      second[i].re += c2.re * v;
      second[i].im += c2.im * v;
    }
  }
}

// acc += 2 Re(E1 u1) and, with `orders` 2, 2 Re(E2 u2), u_l the unnormalised inverse
// transforms `first` and `second` (scaled here): the harmonics of the folded data brought back
// to the image.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Cuda_Harmonic_Spread(CudaComplex<T>* first,
                                                           CudaComplex<T>* second,
                                                           CudaComplex<T>* phases,
                                                           unsigned orders, T* acc, unsigned W,
                                                           unsigned H) {
  const korvex::kernels::InverseFftScale<T> scale(W, H);
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    using namespace korvex::kernels;
    const Index i = at(col, row, W);
    T s = real_product(harmonic(phases, 1, col, row, W, H), value(first[i]));
    if (orders == 2) s += real_product(harmonic(phases, 2, col, row, W, H), value(second[i]));
    acc[i] = acc[i] + scale.apply(s + s);
  }
}
