#include <algorithm>
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

// Batched plans: the rows' transforms, then the column transforms of a band of columns at
// each end of the image (the second band starting off the allocation's alignment), give those
// columns of the 2-D transform and leave the others as the rows' transforms. Without
// embeddings the strides given are ignored: transforms one after the other.
TYPED_TEST(CufftTest, BatchedPlansComposeTheTwoDimensionalTransform) {
  using F = Fft<TypeParam>;
  using Complex = typename F::Complex;
  for (const auto& size : {std::pair<int, int>{7, 10}, {6, 9}}) {
    const int rows = size.first, cols = size.second, band = 3;
    const size_t n = size_t(rows) * cols;
    SCOPED_TRACE(::testing::Message() << rows << "x" << cols);
    int length[1] = {cols}, height[1] = {rows};
    cufftHandle rowPlan = 0, columnPlan = 0, basic = 0;
    ASSERT_EQ(cufftPlanMany(&rowPlan, 1, length, length, 1, cols, length, 1, cols, F::kType, rows),
              CUFFT_SUCCESS);
    ASSERT_EQ(cufftPlanMany(&columnPlan, 1, height, height, cols, 1, height, cols, 1, F::kType,
                            band),
              CUFFT_SUCCESS);
    ASSERT_EQ(cufftPlanMany(&basic, 1, length, nullptr, 5, 2, nullptr, 3, 1, F::kType, rows),
              CUFFT_SUCCESS);
    EXPECT_EQ(ledger().fft_plans, 3u);
    Complex *d = nullptr, *e = nullptr;
    ASSERT_EQ(cudaMalloc(&d, n * sizeof(Complex)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&e, n * sizeof(Complex)), cudaSuccess);
    const auto x = TestFixture::Random_Image(n);
    std::vector<std::complex<double>> rowsDone(n);
    for (int r = 0; r < rows; ++r) {
      const std::vector<std::complex<double>> row(x.begin() + r * cols, x.begin() + (r + 1) * cols);
      const auto spectrum = Naive_Dft(row, 1, cols, -1);
      std::copy(spectrum.begin(), spectrum.end(), rowsDone.begin() + r * cols);
    }
    const auto whole = Naive_Dft(x, rows, cols, -1);
    TestFixture::upload(d, x);
    TestFixture::upload(e, x);
    ASSERT_EQ(F::exec(rowPlan, d, d, CUFFT_FORWARD), CUFFT_SUCCESS);
    ASSERT_EQ(F::exec(basic, e, e, CUFFT_FORWARD), CUFFT_SUCCESS);
    TestFixture::Expect_Near(TestFixture::download(e, n), rowsDone, 4.0 * cols);
    ASSERT_EQ(F::exec(columnPlan, d, d, CUFFT_FORWARD), CUFFT_SUCCESS);
    ASSERT_EQ(F::exec(columnPlan, d + cols - band, d + cols - band, CUFFT_FORWARD), CUFFT_SUCCESS);
    std::vector<std::complex<double>> want = rowsDone;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        if (c < band || c >= cols - band) want[r * cols + c] = whole[r * cols + c];
      }
    }
    TestFixture::Expect_Near(TestFixture::download(d, n), want, 4.0 * double(n));
    // Past the allocation's end by one column.
    EXPECT_EQ(F::exec(columnPlan, d + cols - band + 1, d + cols - band + 1, CUFFT_FORWARD),
              CUFFT_INVALID_VALUE);
    ASSERT_EQ(cudaFree(d), cudaSuccess);
    ASSERT_EQ(cudaFree(e), cudaSuccess);
    for (cufftHandle p : {rowPlan, columnPlan, basic}) {
      ASSERT_EQ(cufftDestroy(p), CUFFT_SUCCESS);
    }
  }
  EXPECT_TRUE(ledger().empty());
}

using CufftErrorTest = PlatformTest;

TEST_F(CufftErrorTest, BatchedPlansRefuseWhatTheyCannotPlan) {
  cufftHandle plan = 0;
  int n[2] = {8, 8};
  const auto many = [&](int rank, int* size, int stride, int batch, cufftType type) {
    return cufftPlanMany(&plan, rank, size, size, stride, 8, size, 1, 8, type, batch);
  };
  EXPECT_EQ(many(2, n, 1, 1, CUFFT_C2C), CUFFT_NOT_IMPLEMENTED);
  EXPECT_EQ(many(1, nullptr, 1, 1, CUFFT_C2C), CUFFT_INVALID_SIZE);
  EXPECT_EQ(many(1, n, 1, 0, CUFFT_C2C), CUFFT_INVALID_SIZE);
  EXPECT_EQ(many(1, n, 0, 1, CUFFT_C2C), CUFFT_INVALID_SIZE);
  EXPECT_EQ(many(1, n, 1, 1, cufftType(0)), CUFFT_INVALID_TYPE);
  int empty[1] = {0};
  EXPECT_EQ(many(1, empty, 1, 1, CUFFT_Z2Z), CUFFT_INVALID_SIZE);
  EXPECT_EQ(cufftPlanMany(nullptr, 1, n, n, 1, 8, n, 1, 8, CUFFT_C2C, 1), CUFFT_INVALID_VALUE);
  EXPECT_EQ(plan, 0);
  EXPECT_TRUE(ledger().empty());
}

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
