// The paths the host platform takes for large work: sums spread over the team, copies and
// fills outside the state lock, transforms planned with threads.
#include <fftw3.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#if defined(_OPENMP)
#include <omp.h>
#endif

#include "platform_fixture.h"

namespace {

__extension__ typedef __int128 Wide;  // GCC and Clang on 64-bit targets

// Enough terms for the sums to be split over the team, and not a multiple of any lane count.
constexpr int kTerms = (1 << 20) + 37;

template <typename T>
T* upload(const std::vector<T>& host) {
  T* d = nullptr;
  EXPECT_EQ(cudaMalloc(&d, host.size() * sizeof(T)), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(d, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice),
            cudaSuccess);
  return d;
}

class ParallelSumTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_EQ(cublasCreate_v2(&handle_), CUBLAS_STATUS_SUCCESS);
  }
  cublasHandle_t handle_ = nullptr;
};

// Integers times powers of two from 1 to 2^70, of both signs: exact in double, and their sum
// is exact in 128-bit integers, while a plain running sum loses the low bits again and again.
TEST_F(ParallelSumTest, SumsOfWidelySpreadTermsAreCorrectlyRounded) {
  std::mt19937_64 random(7);
  std::vector<double> x(kTerms);
  std::vector<double> ones(kTerms, 1.0);
  Wide exact_dot = 0;
  Wide exact_asum = 0;
  for (double& v : x) {
    const auto mantissa = static_cast<int64_t>(random() % 2001) - 1000;
    const int exponent = static_cast<int>(random() % 71);
    v = std::ldexp(static_cast<double>(mantissa), exponent);
    // A product, not a shift: shifting a negative value is undefined before C++20.
    exact_dot += static_cast<Wide>(mantissa) * (Wide{1} << exponent);
    exact_asum += static_cast<Wide>(mantissa < 0 ? -mantissa : mantissa) << exponent;
  }
  double* dx = upload(x);
  double* dones = upload(ones);
  double dot = 0, asum = 0;
  ASSERT_EQ(cublasDdot_v2(handle_, kTerms, dx, 1, dones, 1, &dot), CUBLAS_STATUS_SUCCESS);
  ASSERT_EQ(cublasDasum_v2(handle_, kTerms, dx, 1, &asum), CUBLAS_STATUS_SUCCESS);
  const auto want_dot = static_cast<double>(exact_dot);
  const auto want_asum = static_cast<double>(exact_asum);
  EXPECT_LE(std::fabs(dot - want_dot), 2 * std::fabs(std::nextafter(want_dot, 0.0) - want_dot));
  EXPECT_LE(std::fabs(asum - want_asum), 2 * std::fabs(std::nextafter(want_asum, 0.0) - want_asum));
}

#if defined(_OPENMP)
TEST_F(ParallelSumTest, ResultsDoNotDependOnTheThreadCount) {
  std::mt19937 random(3);
  std::uniform_real_distribution<float> values(-1.0f, 1.0f);
  std::vector<float> x(kTerms), y(kTerms);
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = values(random);
    y[i] = values(random) * 1e-3f;
  }
  float* dx = upload(x);
  float* dy = upload(y);
  // Unit strides, a larger stride, and a negative one.
  const auto sums = [&] {
    std::vector<float> r(5);
    EXPECT_EQ(cublasSasum_v2(handle_, kTerms, dx, 1, &r[0]), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSdot_v2(handle_, kTerms, dx, 1, dy, 1, &r[1]), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSasum_v2(handle_, kTerms / 3, dx, 3, &r[2]), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSdot_v2(handle_, kTerms / 2, dx, 2, dy, -2, &r[3]), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasSdot_v2(handle_, kTerms, dx, 1, dx, 1, &r[4]), CUBLAS_STATUS_SUCCESS);
    return r;
  };
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  const std::vector<float> alone = sums();
  omp_set_num_threads(threads > 1 ? threads : 2);
  const std::vector<float> shared = sums();
  omp_set_num_threads(threads);
  EXPECT_EQ(alone, shared);

  // The same sums term by term in double, as a check that the split loses nothing.
  double asum = 0, dot = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    asum += std::fabs(double(x[i]));
    dot += double(x[i]) * double(y[i]);
  }
  EXPECT_FLOAT_EQ(alone[0], static_cast<float>(asum));
  EXPECT_FLOAT_EQ(alone[1], static_cast<float>(dot));
}
#endif

using LargeCopyTest = PlatformTest;

TEST_F(LargeCopyTest, LargeCopiesAndFillsMoveEveryByte) {
  const size_t bytes = (size_t{3} << 20) + 12345;  // above the size that is split, ragged end
  std::vector<unsigned char> pattern(bytes);
  for (size_t i = 0; i < bytes; ++i) pattern[i] = static_cast<unsigned char>(i * 131 + i / 977);
  unsigned char *a = nullptr, *b = nullptr;
  ASSERT_EQ(cudaMalloc(&a, bytes), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, bytes + 4096), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(a, pattern.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(b, a, bytes, cudaMemcpyDeviceToDevice), cudaSuccess);
  std::vector<unsigned char> back(bytes);
  ASSERT_EQ(cudaMemcpy(back.data(), b, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back, pattern);

  // Overlapping moves inside one allocation behave as memmove, in both directions.
  std::vector<unsigned char> want(pattern);
  want.resize(bytes + 4096);
  std::memmove(want.data() + 4096, want.data(), bytes);
  ASSERT_EQ(cudaMemcpy(b + 4096, b, bytes, cudaMemcpyDeviceToDevice), cudaSuccess);
  std::memmove(want.data() + 1000, want.data() + 3000, bytes);
  ASSERT_EQ(cudaMemcpy(b + 1000, b + 3000, bytes, cudaMemcpyDeviceToDevice), cudaSuccess);
  std::vector<unsigned char> moved(bytes + 4096);
  ASSERT_EQ(cudaMemcpy(moved.data(), b, moved.size(), cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(moved, want);

  ASSERT_EQ(cudaMemset(b + 1, 0x5A, bytes), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(moved.data(), b, moved.size(), cudaMemcpyDeviceToHost), cudaSuccess);
  for (size_t i = 1; i <= bytes; ++i) ASSERT_EQ(moved[i], 0x5A) << i;
  EXPECT_EQ(moved[0], want[0]);
  EXPECT_EQ(moved[bytes + 1], want[bytes + 1]);
  ASSERT_EQ(cudaFree(a), cudaSuccess);
  ASSERT_EQ(cudaFree(b), cudaSuccess);
}

using ThreadedTransformTest = PlatformTest;

// Large enough to be planned with threads. The transform of a pure wave is one spike of
// height rows * cols at its frequency; the inverse brings the wave back, scaled.
TEST_F(ThreadedTransformTest, WavesBecomeSpikesInEveryVariantAndFftwKeepsItsThreadCount) {
  const int rows = 256, cols = 128, k1 = 37, k2 = 101;
  const size_t n = size_t(rows) * cols;
  const int planner_threads = fftw_planner_nthreads();
  std::vector<cufftDoubleComplex> wave(n);
  const double pi = 3.14159265358979323846;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double phase = 2 * pi * (double(k1 * r % rows) / rows + double(k2 * c % cols) / cols);
      wave[size_t(r) * cols + c] = {std::cos(phase), std::sin(phase)};
    }
  }
  cufftHandle plan = 0;
  ASSERT_EQ(cufftPlan2d(&plan, rows, cols, CUFFT_Z2Z), CUFFT_SUCCESS);
  cufftDoubleComplex *a = nullptr, *b = nullptr;
  ASSERT_EQ(cudaMalloc(&a, n * sizeof(cufftDoubleComplex)), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, n * sizeof(cufftDoubleComplex)), cudaSuccess);
  std::vector<cufftDoubleComplex> h(n);
  const auto check_spike = [&](const cufftDoubleComplex* d) {
    ASSERT_EQ(cudaMemcpy(h.data(), d, n * sizeof(h[0]), cudaMemcpyDeviceToHost), cudaSuccess);
    double off = 0;
    for (size_t i = 0; i < n; ++i) {
      const bool spike = i == size_t(k1) * cols + k2;
      off = std::max(off, std::abs(std::complex<double>(h[i].x - (spike ? double(n) : 0), h[i].y)));
    }
    EXPECT_LT(off, 1e-8 * double(n));
  };
  for (bool in_place : {true, false}) {
    SCOPED_TRACE(in_place ? "in place" : "out of place");
    cufftDoubleComplex* out = in_place ? a : b;
    ASSERT_EQ(cudaMemcpy(a, wave.data(), n * sizeof(wave[0]), cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cufftExecZ2Z(plan, a, out, CUFFT_FORWARD), CUFFT_SUCCESS);
    check_spike(out);
    cufftDoubleComplex* back = in_place ? out : a;
    ASSERT_EQ(cufftExecZ2Z(plan, out, back, CUFFT_INVERSE), CUFFT_SUCCESS);
    ASSERT_EQ(cudaMemcpy(h.data(), back, n * sizeof(h[0]), cudaMemcpyDeviceToHost), cudaSuccess);
    for (size_t i = 0; i < n; i += 997) {
      EXPECT_NEAR(h[i].x, wave[i].x * double(n), 1e-8 * double(n)) << i;
      EXPECT_NEAR(h[i].y, wave[i].y * double(n), 1e-8 * double(n)) << i;
    }
  }
  // Another FFTW user in the process keeps the planner as it set it.
  EXPECT_EQ(fftw_planner_nthreads(), planner_threads);
  ASSERT_EQ(cufftDestroy(plan), CUFFT_SUCCESS);
  ASSERT_EQ(cudaFree(a), cudaSuccess);
  ASSERT_EQ(cudaFree(b), cudaSuccess);
}

}  // namespace
