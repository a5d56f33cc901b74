#include <cmath>
#include <complex>
#include <random>
#include <type_traits>
#include <vector>

#include "platform_fixture.h"

namespace {

using korvex::host::ledger;

// One precision's cuFFT names.
template <class Real>
struct Fft;
template <>
struct Fft<float> {
  using Complex = cufftComplex;
  static constexpr cufftType kType = CUFFT_C2C;
  static constexpr double kTolerance = 2e-5;
  static cufftResult exec(cufftHandle p, Complex* in, Complex* out, int dir) {
    return cufftExecC2C(p, in, out, dir);
  }
};
template <>
struct Fft<double> {
  using Complex = cufftDoubleComplex;
  static constexpr cufftType kType = CUFFT_Z2Z;
  static constexpr double kTolerance = 1e-12;
  static cufftResult exec(cufftHandle p, Complex* in, Complex* out, int dir) {
    return cufftExecZ2Z(p, in, out, dir);
  }
};

// The definition, summed in long double: rows are the slower dimension.
std::vector<std::complex<double>> Naive_Dft(const std::vector<std::complex<double>>& x, int rows,
                                            int cols, int sign) {
  const long double pi = 3.141592653589793238462643383279502884L;
  std::vector<std::complex<double>> result(x.size());
  for (int k1 = 0; k1 < rows; ++k1) {
    for (int k2 = 0; k2 < cols; ++k2) {
      std::complex<long double> sum = 0;
      for (int n1 = 0; n1 < rows; ++n1) {
        for (int n2 = 0; n2 < cols; ++n2) {
          const long double phase = sign * 2 * pi *
                                    (static_cast<long double>(k1 * n1 % rows) / rows +
                                     static_cast<long double>(k2 * n2 % cols) / cols);
          const std::complex<double>& v = x[n1 * cols + n2];
          sum += std::complex<long double>(v.real(), v.imag()) *
                 std::complex<long double>(std::cos(phase), std::sin(phase));
        }
      }
      result[k1 * cols + k2] = {static_cast<double>(sum.real()), static_cast<double>(sum.imag())};
    }
  }
  return result;
}

template <class Real>
class CufftTest : public PlatformTest {
 protected:
  using Lib = Fft<Real>;
  using Element = typename Lib::Complex;

  static std::vector<std::complex<double>> Random_Image(size_t n) {
    std::mt19937 rng(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<std::complex<double>> v(n);
    // Values exact in single precision, so both precisions transform the same data.
    for (auto& c : v) c = {static_cast<Real>(dist(rng)), static_cast<Real>(dist(rng))};
    return v;
  }
  static void upload(Element* d, const std::vector<std::complex<double>>& v) {
    std::vector<Element> h(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
      h[i] = {static_cast<Real>(v[i].real()), static_cast<Real>(v[i].imag())};
    }
    ASSERT_EQ(cudaMemcpy(d, h.data(), v.size() * sizeof(Element), cudaMemcpyHostToDevice),
              cudaSuccess);
  }
  static std::vector<std::complex<double>> download(const Element* d, size_t n) {
    std::vector<Element> h(n);
    EXPECT_EQ(cudaMemcpy(h.data(), d, n * sizeof(Element), cudaMemcpyDeviceToHost), cudaSuccess);
    std::vector<std::complex<double>> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = {h[i].x, h[i].y};
    return v;
  }
  static void Expect_Near(const std::vector<std::complex<double>>& got,
                          const std::vector<std::complex<double>>& want, double scale) {
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_LE(std::abs(got[i] - want[i]), Lib::kTolerance * scale) << "element " << i;
    }
  }
};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(CufftTest, Precisions);

TYPED_TEST(CufftTest, MatchesTheDefinitionInBothDirectionsInAndOutOfPlace) {
  using F = Fft<TypeParam>;
  using Complex = typename F::Complex;
  for (const auto& size : {std::pair<int, int>{5, 7}, {6, 4}, {1, 9}, {8, 1}, {16, 12}}) {
    const int rows = size.first, cols = size.second;
    const size_t n = size_t(rows) * cols;
    cufftHandle plan = 0;
    ASSERT_EQ(cufftPlan2d(&plan, rows, cols, F::kType), CUFFT_SUCCESS);
    EXPECT_GT(plan, 0);
    // One spare element so that a buffer can also start off its allocation's alignment.
    Complex *a = nullptr, *b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, (n + 1) * sizeof(Complex)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&b, (n + 1) * sizeof(Complex)), cudaSuccess);
    const auto x = TestFixture::Random_Image(n);
    for (int direction : {CUFFT_FORWARD, CUFFT_INVERSE}) {
      const auto want = Naive_Dft(x, rows, cols, direction);
      for (int layout = 0; layout < 3; ++layout) {  // out of place, in place, unaligned
        SCOPED_TRACE(::testing::Message()
                     << rows << "x" << cols << " direction " << direction << " layout " << layout);
        Complex* in = layout == 2 ? a + 1 : a;
        Complex* out = layout == 1 ? in : (layout == 2 ? b + 1 : b);
        TestFixture::upload(in, x);
        ASSERT_EQ(F::exec(plan, in, out, direction), CUFFT_SUCCESS);
        TestFixture::Expect_Near(TestFixture::download(out, n), want, std::sqrt(double(n)) * 4);
      }
    }
    ASSERT_EQ(cudaFree(a), cudaSuccess);
    ASSERT_EQ(cudaFree(b), cudaSuccess);
    ASSERT_EQ(cufftDestroy(plan), CUFFT_SUCCESS);
  }
  EXPECT_TRUE(ledger().empty());
}

TYPED_TEST(CufftTest, ForwardThenInverseMultipliesByThePixelCount) {
  using F = Fft<TypeParam>;
  using Complex = typename F::Complex;
  const int rows = 33, cols = 20;
  const size_t n = size_t(rows) * cols;
  cufftHandle plan = 0;
  ASSERT_EQ(cufftPlan2d(&plan, rows, cols, F::kType), CUFFT_SUCCESS);
  Complex* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, n * sizeof(Complex)), cudaSuccess);
  const auto x = TestFixture::Random_Image(n);
  TestFixture::upload(d, x);
  ASSERT_EQ(F::exec(plan, d, d, CUFFT_FORWARD), CUFFT_SUCCESS);
  ASSERT_EQ(F::exec(plan, d, d, CUFFT_INVERSE), CUFFT_SUCCESS);
  auto scaled = x;
  for (auto& v : scaled) v *= double(n);
  TestFixture::Expect_Near(TestFixture::download(d, n), scaled, double(n) * 4);
  ASSERT_EQ(cudaFree(d), cudaSuccess);
  ASSERT_EQ(cufftDestroy(plan), CUFFT_SUCCESS);
}

TYPED_TEST(CufftTest, BuffersMustBeDeviceMemoryLargeEnoughAndNotPartlyOverlapping) {
  using F = Fft<TypeParam>;
  using Complex = typename F::Complex;
  cufftHandle plan = 0;
  ASSERT_EQ(cufftPlan2d(&plan, 4, 3, F::kType), CUFFT_SUCCESS);
  Complex *big = nullptr, *small = nullptr;
  ASSERT_EQ(cudaMalloc(&big, 24 * sizeof(Complex)), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&small, 11 * sizeof(Complex)), cudaSuccess);
  std::vector<Complex> host(12);
  const struct {
    Complex* in;
    Complex* out;
  } refused[] = {
      {small, big},   {big, small},    {host.data(), big}, {big, host.data()},
      {nullptr, big}, {big + 13, big}, {big, big + 5},  // past the end; partly overlapping
  };
  for (const auto& r : refused) {
    EXPECT_EQ(F::exec(plan, r.in, r.out, CUFFT_FORWARD), CUFFT_INVALID_VALUE);
  }
  EXPECT_EQ(F::exec(plan, big, big + 12, CUFFT_FORWARD), CUFFT_SUCCESS);  // just apart
  ASSERT_EQ(cufftDestroy(plan), CUFFT_SUCCESS);
}

using CufftErrorTest = PlatformTest;

TEST_F(CufftErrorTest, RefusesBadSizesTypesPlansAndDirections) {
  cufftHandle plan = 0;
  for (const auto& size : {std::pair<int, int>{0, 4}, {4, 0}, {-1, 4}, {4, -3}}) {
    EXPECT_EQ(cufftPlan2d(&plan, size.first, size.second, CUFFT_C2C), CUFFT_INVALID_SIZE);
  }
  EXPECT_EQ(cufftPlan2d(&plan, 4, 4, cufftType(0)), CUFFT_INVALID_TYPE);
  EXPECT_EQ(plan, 0);
  EXPECT_TRUE(ledger().empty());

  cufftHandle single = 0, dual = 0;
  ASSERT_EQ(cufftPlan2d(&single, 2, 3, CUFFT_C2C), CUFFT_SUCCESS);
  ASSERT_EQ(cufftPlan2d(&dual, 2, 3, CUFFT_Z2Z), CUFFT_SUCCESS);
  EXPECT_NE(single, dual);
  EXPECT_EQ(ledger().fft_plans, 2u);
  cufftDoubleComplex* z = nullptr;
  ASSERT_EQ(cudaMalloc(&z, 6 * sizeof(cufftDoubleComplex)), cudaSuccess);
  auto* c = reinterpret_cast<cufftComplex*>(z);
  // The other precision's plan, then an unknown one.
  EXPECT_EQ(cufftExecC2C(dual, c, c, CUFFT_FORWARD), CUFFT_INVALID_PLAN);
  EXPECT_EQ(cufftExecZ2Z(single, z, z, CUFFT_FORWARD), CUFFT_INVALID_PLAN);
  EXPECT_EQ(cufftExecC2C(0, c, c, CUFFT_FORWARD), CUFFT_INVALID_PLAN);
  for (int direction : {0, 2, -2}) {
    EXPECT_EQ(cufftExecC2C(single, c, c, direction), CUFFT_INVALID_VALUE);
  }
  ASSERT_EQ(cufftDestroy(single), CUFFT_SUCCESS);
  EXPECT_EQ(cufftDestroy(single), CUFFT_INVALID_PLAN);
  EXPECT_EQ(cufftExecC2C(single, c, c, CUFFT_FORWARD), CUFFT_INVALID_PLAN);
  EXPECT_EQ(cufftDestroy(12345), CUFFT_INVALID_PLAN);
  ASSERT_EQ(cufftDestroy(dual), CUFFT_SUCCESS);
  ASSERT_EQ(cudaFree(z), cudaSuccess);
  EXPECT_TRUE(ledger().empty());
  // cuFFT's failures are its own: the runtime's last error is untouched.
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

// The real transforms give the non-negative frequencies of the complex transform of the same
// real image, on odd and even row lengths, and the inverse brings them back; they run out of
// place only and refuse a buffer too small for their half spectrum or another kind of plan.
template <class Real>
void Check_Real_Transforms(cufftType forwardType, cufftType inverseType, double tolerance) {
  using Complex = typename Fft<Real>::Complex;
  const auto forward = [](cufftHandle p, Real* in, Complex* out) {
    if constexpr (std::is_same_v<Real, float>) return cufftExecR2C(p, in, out);
    else return cufftExecD2Z(p, in, out);
  };
  const auto inverse = [](cufftHandle p, Complex* in, Real* out) {
    if constexpr (std::is_same_v<Real, float>) return cufftExecC2R(p, in, out);
    else return cufftExecZ2D(p, in, out);
  };
  std::mt19937 random(5);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  for (const auto& size : {std::pair<int, int>{6, 7}, {5, 8}}) {
    const int rows = size.first, cols = size.second, half = cols / 2 + 1;
    std::vector<std::complex<double>> x(rows * cols);
    for (auto& v : x) v = value(random);
    const std::vector<std::complex<double>> spectrum = Naive_Dft(x, rows, cols, -1);
    cufftHandle r2c = 0, c2r = 0;
    ASSERT_EQ(cufftPlan2d(&r2c, rows, cols, forwardType), CUFFT_SUCCESS);
    ASSERT_EQ(cufftPlan2d(&c2r, rows, cols, inverseType), CUFFT_SUCCESS);
    Real* image = nullptr;
    Complex* half_spectrum = nullptr;
    ASSERT_EQ(cudaMalloc(&image, rows * cols * sizeof(Real)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&half_spectrum, rows * half * sizeof(Complex)), cudaSuccess);
    for (int i = 0; i < rows * cols; ++i) image[i] = static_cast<Real>(x[i].real());
    ASSERT_EQ(forward(r2c, image, half_spectrum), CUFFT_SUCCESS);
    double worst = 0.0;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < half; ++c) {
        const Complex& z = half_spectrum[r * half + c];
        worst = std::fmax(worst, std::abs(std::complex<double>(z.x, z.y) - spectrum[r * cols + c]));
      }
    }
    EXPECT_LT(worst, tolerance * rows * cols) << rows << " x " << cols;
    for (int i = 0; i < rows * cols; ++i) image[i] = 0;
    ASSERT_EQ(inverse(c2r, half_spectrum, image), CUFFT_SUCCESS);
    worst = 0.0;
    for (int i = 0; i < rows * cols; ++i) {
      worst = std::fmax(worst, std::abs(double(image[i]) / (rows * cols) - x[i].real()));
    }
    EXPECT_LT(worst, tolerance) << rows << " x " << cols;
    // In place, into a buffer one element short, and through the complex entry point.
    EXPECT_EQ(forward(r2c, reinterpret_cast<Real*>(half_spectrum), half_spectrum),
              CUFFT_NOT_SUPPORTED);
    Complex* short_spectrum = nullptr;
    ASSERT_EQ(cudaMalloc(&short_spectrum, (rows * half - 1) * sizeof(Complex)), cudaSuccess);
    EXPECT_EQ(forward(r2c, image, short_spectrum), CUFFT_INVALID_VALUE);
    EXPECT_EQ(forward(c2r, image, half_spectrum), CUFFT_INVALID_PLAN);
    EXPECT_EQ(Fft<Real>::exec(r2c, half_spectrum, half_spectrum, CUFFT_FORWARD),
              CUFFT_INVALID_PLAN);
    ASSERT_EQ(cudaFree(short_spectrum), cudaSuccess);
    ASSERT_EQ(cudaFree(half_spectrum), cudaSuccess);
    ASSERT_EQ(cudaFree(image), cudaSuccess);
    ASSERT_EQ(cufftDestroy(r2c), CUFFT_SUCCESS);
    ASSERT_EQ(cufftDestroy(c2r), CUFFT_SUCCESS);
  }
  EXPECT_TRUE(ledger().empty());
}

using CufftRealTest = PlatformTest;

TEST_F(CufftRealTest, HalfSpectraMatchTheComplexTransformAndComeBack) {
  Check_Real_Transforms<float>(CUFFT_R2C, CUFFT_C2R, 2e-5);
  Check_Real_Transforms<double>(CUFFT_D2Z, CUFFT_Z2D, 1e-12);
}

}  // namespace
