// The per-pixel kernels against plain loops written from their formulas, on every test size
// and in both precisions; the padding past each image must keep its canary.
#include <cmath>
#include <limits>

#include "kernel_test_support.h"

namespace korvex::test {
namespace {

template <typename T>
class ElementwiseKernels : public EngineTest<T> {};
TYPED_TEST_SUITE(ElementwiseKernels, Precisions);

template <typename T>
using Complex = CudaComplex<T>;

TYPED_TEST(ElementwiseKernels, RealKernelsMatchPlainLoops) {
  using T = TypeParam;
  auto& engine = this->engine();
  for (const ImageSize size : kSizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const KernelLaunch_t launch = Launch_For(W, H);
    const DeviceBuffer<T> a(Random_Values<T>(n, 1)), b(Random_Values<T>(n, 2)),
        c(Random_Values<T>(n, 3)), d(Random_Values<T>(n, 4));
    const T s = T(-1.75);

    DeviceBuffer<T> out(Canaries<T>(n)), out2(Canaries<T>(n));
    engine.CuCall_Addition(launch, a.get(), b.get(), out.get(), W, H);
    Expect_Image(out, n, [&](size_t i) { return a[i] + b[i]; });
    engine.CuCall_Subtract(launch, a.get(), b.get(), out.get(), W, H);
    Expect_Image(out, n, [&](size_t i) { return a[i] - b[i]; });
    engine.CuCall_MM_Mult_RR(launch, a.get(), b.get(), out.get(), W, H);
    Expect_Image(out, n, [&](size_t i) { return a[i] * b[i]; });
    engine.CuCall_Threshold(launch, a.get(), s, out.get(), W, H);
    Expect_Image(out, n, [&](size_t i) { return a[i] * (a[i] * s); });
    engine.CuCall_Criterion_L1(launch, a.get(), b.get(), out.get(), W, H);
    Expect_Image(out, n, [&](size_t i) { return (a[i] - b[i]) * (a[i] - b[i]); });

    engine.CuCall_Criterion_L0(launch, a.get(), b.get(), c.get(), d.get(), out.get(), out2.get(), W,
                               H);
    auto p = [&](size_t i) { return (a[i] - b[i]) * (c[i] - d[i]); };
    Expect_Image(out, n, [&](size_t i) { return p(i) > 0 ? p(i) : T(0); });
    Expect_Image(out2, n, [&](size_t i) { return p(i) > 0 ? T(0) : -p(i); });

    const unsigned F = 3;
    const DeviceBuffer<T> stack(Random_Values<T>(n * F, 5));
    engine.CuCall_EstimateWidefield(launch, stack.get(), out.get(), W, H, F);
    Expect_Image(out, n,
                 [&](size_t i) { return T(0) + stack[i] + stack[i + n] + stack[i + 2 * n]; });

    // No clamping: about half of the results are negative.
    DeviceBuffer<T> x(Random_Values<T>(n, 6));
    engine.CuCall_UpdateMapping(launch, x.get(), s, a.get(), W, H);
    Expect_Image(x, n, [&](size_t i) { return std::fma(-a[i], s, x[i]); });

    // The projected update: the same move, negative results set to +0.
    DeviceBuffer<T> y(Random_Values<T>(n, 6));
    engine.CuCall_UpdateNonNegative(launch, y.get(), s, a.get(), W, H);
    Expect_Image(y, n, [&](size_t i) {
      const T moved = std::fma(-a[i], s, y[i]);
      return moved < 0 ? T(0) : moved;
    });

    // Both updates from one buffer into another, leaving the source alone.
    const DeviceBuffer<T> from(Random_Values<T>(n, 7));
    for (unsigned nonNegative : {0u, 1u}) {
      engine.CuCall_Update_From(launch, from.get(), s, a.get(), out.get(), nonNegative, W, H);
      Expect_Image(out, n, [&](size_t i) {
        const T moved = std::fma(-a[i], s, from[i]);
        return nonNegative && moved < 0 ? T(0) : moved;
      });
      Expect_Image(from, n, [&](size_t i) { return from[i]; });
    }
  }
}

TYPED_TEST(ElementwiseKernels, NonNegativeUpdateKeepsNaNAndClampsInfinity) {
  using T = TypeParam;
  const T inf = std::numeric_limits<T>::infinity();
  const T nan = std::numeric_limits<T>::quiet_NaN();
  const DeviceBuffer<T> g(std::vector<T>{T(0), T(1), inf, -inf, T(-2)});
  DeviceBuffer<T> x(std::vector<T>{nan, T(0.5), T(1), T(1), T(-3)});
  this->engine().CuCall_UpdateNonNegative(Launch_For(5, 1), x.get(), T(1), g.get(), 5, 1);
  const std::vector<T> r = x.read();
  EXPECT_TRUE(std::isnan(r[0]));
  EXPECT_EQ(r[1], T(0));
  EXPECT_FALSE(std::signbit(r[1]));
  EXPECT_EQ(r[2], T(0));
  EXPECT_EQ(r[3], inf);
  EXPECT_EQ(r[4], T(0));  // -3 + 2 = -1, projected
}

TYPED_TEST(ElementwiseKernels, ComplexKernelsMatchPlainLoops) {
  using T = TypeParam;
  using C = Complex<T>;
  auto& engine = this->engine();
  const double approximate = Approximate_Tolerance<T>();
  for (const ImageSize size : kSizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const KernelLaunch_t launch = Launch_For(W, H);
    const DeviceBuffer<C> z(Random_Values<C>(n, 7));
    const DeviceBuffer<T> r(Random_Values<T>(n, 8));
    DeviceBuffer<C> out(Canaries<C>(n));
    DeviceBuffer<T> real_out(Canaries<T>(n));

    engine.CuCall_MM_Mult_CR(launch, z.get(), r.get(), out.get(), W, H);
    Expect_Image(out, n, [&](size_t i) { return C{r[i] * z[i].re, r[i] * z[i].im}; });
    engine.CuCall_R2C(launch, r.get(), out.get(), W, H);
    Expect_Image(out, n, [&](size_t i) { return C{r[i], T(0)}; });
    DeviceBuffer<C> out2(Canaries<C>(n));
    engine.CuCall_Real2Complex(launch, r.get(), out2.get(), W, H);
    Expect_Image(out2, n, [&](size_t i) { return C{r[i], T(0)}; });

    engine.CuCall_Abs(launch, z.get(), real_out.get(), W, H);
    Expect_Image(
        real_out, n,
        [&](size_t i) { return std::sqrt(std::fma(z[i].re, z[i].re, z[i].im * z[i].im)); },
        approximate);

    DeviceBuffer<C> normalised(Random_Values<C>(n, 9));
    engine.CuCall_Normalize(launch, normalised.get(), W, H);
    const T reciprocal = T(1) / (T(H) * T(W));
    Expect_Image(
        normalised, n,
        [&](size_t i) {
          return C{normalised[i].re * reciprocal, normalised[i].im * reciprocal};
        },
        approximate);
  }
}

// An unnormalised inverse-FFT value scaled by 1 / (H W), and less y: single precision
// multiplies by the reciprocal (fused with the subtraction), double precision divides.
template <typename T>
T Scaled(T v, unsigned W, unsigned H) {
  if constexpr (std::is_same_v<T, float>) {
    return v * (1.0f / (float(H) * float(W)));
  } else {
    return v / (double(H) * double(W));
  }
}
template <typename T>
T Residual(T v, T y, unsigned W, unsigned H) {
  if constexpr (std::is_same_v<T, float>) {
    return std::fma(v, 1.0f / (float(H) * float(W)), -y);
  } else {
    return v / (double(H) * double(W)) - y;
  }
}

// The real part of the inverse transform is the value: a negative one keeps its sign and the
// imaginary part plays no role.
TYPED_TEST(ElementwiseKernels, IterationKernelsUseTheRealPart) {
  using T = TypeParam;
  using C = Complex<T>;
  auto& engine = this->engine();
  const double approximate = Approximate_Tolerance<T>();
  for (const ImageSize size : kSizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const KernelLaunch_t launch = Launch_For(W, H);
    const DeviceBuffer<T> y(Random_Values<T>(n, 10)), m(Random_Values<T>(n, 11));

    DeviceBuffer<C> z(Random_Values<C>(n, 12));
    engine.CuCall_Iter_Middle(launch, z.get(), y.get(), W, H);
    Expect_Image(
        z, n,
        [&](size_t i) {
          return C{Residual(z[i].re, y[i], W, H), T(0)};
        },
        approximate);

    const DeviceBuffer<C> back(Random_Values<C>(n, 13));
    DeviceBuffer<T> acc(Random_Values<T>(n, 14));
    engine.CuCall_Iter_Final(launch, back.get(), m.get(), acc.get(), W, H);
    Expect_Image(
        acc, n, [&](size_t i) { return std::fma(Scaled(back[i].re, W, H), m[i], acc[i]); },
        approximate);
  }

  // On 2 x 1 pixels: (-6, 10) and (4, -14) scale to -3 and 2 whatever their imaginary parts.
  const DeviceBuffer<T> y({T(1), T(1)}), m({T(2), T(2)});
  DeviceBuffer<C> z({C{T(-6), T(10)}, C{T(4), T(-14)}});
  DeviceBuffer<T> acc({T(1), T(1)});
  engine.CuCall_Iter_Final(Launch_For(2, 1), z.get(), m.get(), acc.get(), 2, 1);
  Expect_Image(acc, 2, [](size_t i) { return i == 0 ? T(-5) : T(5); });
  engine.CuCall_Iter_Middle(Launch_For(2, 1), z.get(), y.get(), 2, 1);
  Expect_Image(z, 2, [](size_t i) { return i == 0 ? C{T(-4), T(0)} : C{T(1), T(0)}; });
}

// d + lambda * 2 * (4 x - left - right - up - down) inside, d on the border rows and columns.
TYPED_TEST(ElementwiseKernels, ComputeGradKeepsTheBorder) {
  using T = TypeParam;
  std::vector<ImageSize> sizes = kSizes;
  sizes.insert(sizes.end(), {{2, 9}, {9, 2}, {3, 3}});
  for (const ImageSize size : sizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const DeviceBuffer<T> d(Random_Values<T>(n, 15)), x(Random_Values<T>(n, 16));
    DeviceBuffer<T> grad(Canaries<T>(n));
    const T lambda = T(0.375);
    this->engine().CuCall_ComputeGradian(Launch_For(W, H), grad.get(), d.get(), x.get(), lambda, W,
                                         H);
    const auto want = [&](size_t i) {
      const size_t col = i % W, row = i / W;
      if (row == 0 || col == 0 || col + 1 >= W || row + 1 >= H) return d[i];
      T t = std::fma(x[i], T(4), -x[i - 1]);
      t = t - x[i + 1];
      t = t - x[i - W];
      t = t - x[i + W];
      return std::fma(t + t, lambda, d[i]);
    };
    Expect_Image(grad, n, want);

    // The same gradient with its free part under x >= 0 beside it: x is about half negative
    // and the gradient about half positive, so every case of the rule occurs.
    DeviceBuffer<T> grad2(Canaries<T>(n)), free(Canaries<T>(n));
    this->engine().CuCall_Gradient_Free(Launch_For(W, H), grad2.get(), d.get(), x.get(), lambda,
                                        free.get(), W, H);
    Expect_Image(grad2, n, want);
    Expect_Image(free, n, [&](size_t i) { return x[i] > 0 || want(i) < 0 ? want(i) : T(0); });
  }
}

// The gradient step in its two launches, as the harmonic iteration makes them, against the
// formulas of Cuda_ComputeGrad and Cuda_Gradient_Free: every pixel gets the gradient, its
// change from the old gradient and its free part exactly once (a pixel visited twice would show
// a change of 0), on odd, non-square, single-row, single-column and empty images.
TYPED_TEST(ElementwiseKernels, GradientStepVisitsEveryPixelOnce) {
  using T = TypeParam;
  std::vector<ImageSize> sizes = kSizes;
  sizes.insert(sizes.end(), {{2, 9}, {9, 2}, {3, 3}, {1, 1}, {2, 2}, {1, 3}, {3, 1}, {31, 19}});
  for (const ImageSize size : sizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const DeviceBuffer<T> d(Random_Values<T>(n, 25)), x(Random_Values<T>(n, 26));
    DeviceBuffer<T> grad(Random_Values<T>(n, 27)), change(Canaries<T>(n)), free(Canaries<T>(n));
    DeviceBuffer<T> plain(Canaries<T>(n));
    const T lambda = T(0.375);
    unsigned border = 0;
    for (unsigned row = 0; row < H; ++row) {
      for (unsigned col = 0; col < W; ++col) {
        border += row == 0 || col == 0 || row + 1 == H || col + 1 == W ? 1 : 0;
      }
    }
    auto& engine = this->engine();
    engine.CuCall_Gradient_Inside(Launch_For(W, H), grad.get(), change.get(), d.get(), x.get(),
                                  lambda, free.get(), W, H);
    engine.CuCall_Gradient_Border(Launch_For(border, 1), grad.get(), change.get(), d.get(),
                                  x.get(), free.get(), W, H);
    engine.CuCall_ComputeGradian(Launch_For(W, H), plain.get(), d.get(), x.get(), lambda, W, H);
    const std::vector<T> want = plain.read();
    Expect_Image(grad, n, [&](size_t i) { return want[i]; });
    Expect_Image(change, n, [&](size_t i) { return want[i] - grad[i]; });
    Expect_Image(free, n, [&](size_t i) { return x[i] > 0 || want[i] < 0 ? want[i] : T(0); });
  }
}

// The free part of a direction with its change from the previous one, out of place and in
// place as the preconditioned iteration runs it; and the update in place with its move, the
// projection's NaN rule kept.
TYPED_TEST(ElementwiseKernels, ChangesBesideTheirKernels) {
  using T = TypeParam;
  auto& engine = this->engine();
  for (const ImageSize size : kSizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const KernelLaunch_t launch = Launch_For(W, H);
    const DeviceBuffer<T> g(Random_Values<T>(n, 28)), x(Random_Values<T>(n, 29));
    DeviceBuffer<T> d(Random_Values<T>(n, 30)), out(Canaries<T>(n));
    DeviceBuffer<T> previous(Random_Values<T>(n, 31)), previous2(Random_Values<T>(n, 31));
    const auto direction = [&](size_t i) { return x[i] > 0 || g[i] < 0 ? d[i] : T(0); };
    const auto change = [&](size_t i) { return direction(i) - previous[i]; };
    engine.CuCall_Free_Part_Change(launch, d.get(), g.get(), x.get(), out.get(), previous.get(),
                                   W, H);
    Expect_Image(out, n, direction);
    Expect_Image(previous, n, change);
    engine.CuCall_Free_Part_Change(launch, d.get(), g.get(), x.get(), d.get(), previous2.get(), W,
                                   H);
    Expect_Image(d, n, direction);
    Expect_Image(previous2, n, change);

    for (unsigned nonNegative : {0u, 1u}) {
      std::vector<T> start = Random_Values<T>(n, 32);
      if (n > 2) start[1] = std::numeric_limits<T>::quiet_NaN();
      DeviceBuffer<T> estimate(start), moved(Canaries<T>(n)), reference(start);
      const T s = T(0.625);
      engine.CuCall_Update_Change(launch, estimate.get(), s, g.get(), moved.get(), nonNegative, W,
                                  H);
      engine.CuCall_Update_From(launch, reference.get(), s, g.get(), out.get(), nonNegative, W, H);
      const std::vector<T> want = out.read();
      Expect_Image(estimate, n, [&](size_t i) { return want[i]; });
      Expect_Image(moved, n, [&](size_t i) { return want[i] - start[i]; });
    }
  }
}

// Two half spectra through their own transfer functions and summed, against Cuda_Filter_Half
// of each and their sum, to rounding; the second spectrum left as it was.
TYPED_TEST(ElementwiseKernels, FilterHalfSumAddsTheTwoFilterings) {
  using T = TypeParam;
  using C = CudaComplex<T>;
  auto& engine = this->engine();
  for (const ImageSize size : kSizes) {
    if (size.W == 0) continue;  // no image to scale by
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const size_t halfCount = size_t{W / 2 + 1} * H;
    const KernelLaunch_t launch = Launch_For(W, H);
    const DeviceBuffer<T> r(Random_Values<T>(n, 50)), s(Random_Values<T>(n, 51));
    const std::vector<C> z0 = Random_Values<C>(halfCount, 52), y0 = Random_Values<C>(halfCount, 53);
    DeviceBuffer<C> z(z0), y(y0), first(z0), second(y0);
    engine.CuCall_Filter_Half_Sum(launch, z.get(), r.get(), y.get(), s.get(), W, H);
    engine.CuCall_Filter_Half(launch, first.get(), r.get(), W, H);
    engine.CuCall_Filter_Half(launch, second.get(), s.get(), W, H);
    const std::vector<C> a = first.read(), b = second.read();
    const double tolerance = 4 * std::numeric_limits<T>::epsilon();
    Expect_Image(
        z, halfCount, [&](size_t i) { return C{a[i].re + b[i].re, a[i].im + b[i].im}; },
        tolerance);
    Expect_Image(y, halfCount, [&](size_t i) { return y0[i]; });
  }
}

// Zero products go to neg negated (so their sign flips), NaN products to neg.
TYPED_TEST(ElementwiseKernels, CriterionL0SplitsZeroAndNaN) {
  using T = TypeParam;
  const T nan = std::numeric_limits<T>::quiet_NaN();
  // Products (a - b) * (c - d): 0 * 2, 0 * -2, 3 * 0, NaN * 1, -2 * 1, 1 * 2.
  const DeviceBuffer<T> a({T(1), T(1), T(5), nan, T(2), T(2)});
  const DeviceBuffer<T> b({T(1), T(1), T(2), T(0), T(4), T(1)});
  const DeviceBuffer<T> c({T(3), T(1), T(0), T(1), T(2), T(3)});
  const DeviceBuffer<T> d({T(1), T(3), T(0), T(0), T(1), T(1)});
  DeviceBuffer<T> pos(Canaries<T>(6)), neg(Canaries<T>(6));
  this->engine().CuCall_Criterion_L0(Launch_For(6, 1), a.get(), b.get(), c.get(), d.get(),
                                     pos.get(), neg.get(), 6, 1);
  const std::vector<T> want_neg = {T(-0.0), T(0), T(-0.0), nan, T(2), T(0)};
  const std::vector<T> want_pos = {T(0), T(0), T(0), T(0), T(0), T(2)};
  Expect_Image(pos, 6, [&](size_t i) { return want_pos[i]; });
  Expect_Image(neg, 6, [&](size_t i) { return want_neg[i]; });
}

// The frames are summed from +0: no frame gives +0, one frame gives itself with -0 as +0.
TYPED_TEST(ElementwiseKernels, EstimateWidefieldWithNoneOrOneFrame) {
  using T = TypeParam;
  const DeviceBuffer<T> frame({T(-0.0), T(2.5), T(-3)});
  DeviceBuffer<T> out(Canaries<T>(3));
  this->engine().CuCall_EstimateWidefield(Launch_For(3, 1), frame.get(), out.get(), 3, 1, 0);
  Expect_Image(out, 3, [](size_t) { return T(0); });
  this->engine().CuCall_EstimateWidefield(Launch_For(3, 1), frame.get(), out.get(), 3, 1, 1);
  Expect_Image(out, 3, [&](size_t i) { return i == 0 ? T(0) : frame[i]; });
}

// Where an output may be one of the inputs, the result is that of a separate output.
TYPED_TEST(ElementwiseKernels, InPlaceMatchesOutOfPlace) {
  using T = TypeParam;
  using C = Complex<T>;
  auto& engine = this->engine();
  const unsigned W = 17, H = 5, n = W * H;
  const KernelLaunch_t launch = Launch_For(W, H);
  using Binary = void (Korvex<T>::*)(KernelLaunch_t, T*, T*, T*, unsigned, unsigned);
  for (Binary op : {&Korvex<T>::CuCall_Addition, &Korvex<T>::CuCall_Subtract,
                    &Korvex<T>::CuCall_MM_Mult_RR, &Korvex<T>::CuCall_Criterion_L1}) {
    const DeviceBuffer<T> a(Random_Values<T>(n, 17)), b(Random_Values<T>(n, 18));
    DeviceBuffer<T> separate(Canaries<T>(n)), into_a(Random_Values<T>(n, 17)),
        into_b(Random_Values<T>(n, 18));
    (engine.*op)(launch, a.get(), b.get(), separate.get(), W, H);
    (engine.*op)(launch, into_a.get(), b.get(), into_a.get(), W, H);
    (engine.*op)(launch, a.get(), into_b.get(), into_b.get(), W, H);
    const std::vector<T> want = separate.read();
    Expect_Image(into_a, n, [&](size_t i) { return want[i]; });
    Expect_Image(into_b, n, [&](size_t i) { return want[i]; });
  }

  const DeviceBuffer<T> a(Random_Values<T>(n, 19));
  DeviceBuffer<T> separate(Canaries<T>(n)), in_place(Random_Values<T>(n, 19));
  engine.CuCall_Threshold(launch, a.get(), T(0.5), separate.get(), W, H);
  engine.CuCall_Threshold(launch, in_place.get(), T(0.5), in_place.get(), W, H);
  const std::vector<T> want = separate.read();
  Expect_Image(in_place, n, [&](size_t i) { return want[i]; });

  const DeviceBuffer<C> z(Random_Values<C>(n, 20));
  const DeviceBuffer<T> r(Random_Values<T>(n, 21));
  DeviceBuffer<C> separate_c(Canaries<C>(n)), in_place_c(Random_Values<C>(n, 20));
  engine.CuCall_MM_Mult_CR(launch, z.get(), r.get(), separate_c.get(), W, H);
  engine.CuCall_MM_Mult_CR(launch, in_place_c.get(), r.get(), in_place_c.get(), W, H);
  const std::vector<C> want_c = separate_c.read();
  Expect_Image(in_place_c, n, [&](size_t i) { return want_c[i]; });
}

}  // namespace
}  // namespace korvex::test
