#include <cmath>
#include <vector>

#include "platform_fixture.h"

namespace {

using korvex::host::ledger;

template <class T>
struct Blas;
template <>
struct Blas<float> {
  static cublasStatus_t asum(cublasHandle_t h, int n, const float* x, int incx, float* r) {
    return cublasSasum_v2(h, n, x, incx, r);
  }
  static cublasStatus_t dot(cublasHandle_t h, int n, const float* x, int incx, const float* y,
                            int incy, float* r) {
    return cublasSdot_v2(h, n, x, incx, y, incy, r);
  }
};
template <>
struct Blas<double> {
  static cublasStatus_t asum(cublasHandle_t h, int n, const double* x, int incx, double* r) {
    return cublasDasum_v2(h, n, x, incx, r);
  }
  static cublasStatus_t dot(cublasHandle_t h, int n, const double* x, int incx, const double* y,
                            int incy, double* r) {
    return cublasDdot_v2(h, n, x, incx, y, incy, r);
  }
};

template <class T>
class CublasTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
    // x = 1, -2, 3, -4, ...; y = 0.5 everywhere.
    std::vector<T> hx(kN), hy(kN, T(0.5));
    for (int i = 0; i < kN; ++i) hx[i] = T((i % 2) ? -(i + 1) : (i + 1));
    ASSERT_EQ(cudaMalloc(&d_x, kN * sizeof(T)), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d_y, kN * sizeof(T)), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(d_x, hx.data(), kN * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(d_y, hy.data(), kN * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
  }
  static constexpr int kN = 10;
  cublasHandle_t handle = nullptr;
  T* d_x = nullptr;
  T* d_y = nullptr;
};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(CublasTest, Precisions);

TYPED_TEST(CublasTest, AsumAndDotAsBlasDefinesThem) {
  using B = Blas<TypeParam>;
  const TypeParam* x = this->d_x;
  const TypeParam* y = this->d_y;
  TypeParam r = -1;
  ASSERT_EQ(B::asum(this->handle, 10, x, 1, &r), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(r, 55);
  ASSERT_EQ(B::asum(this->handle, 5, x, 2, &r), CUBLAS_STATUS_SUCCESS);  // 1 + 3 + 5 + 7 + 9
  EXPECT_EQ(r, 25);
  ASSERT_EQ(B::dot(this->handle, 10, x, 1, x, 1, &r), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(r, 385);
  ASSERT_EQ(B::dot(this->handle, 10, x, 1, y, 1, &r), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(r, -2.5);
  // A negative stride walks backwards: x[4] * x[0] + x[2] * x[2] + x[0] * x[4].
  ASSERT_EQ(B::dot(this->handle, 3, x, 2, x, -2, &r), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(r, 5 + 9 + 5);
  ASSERT_EQ(B::dot(this->handle, 4, x, 0, y, 1, &r), CUBLAS_STATUS_SUCCESS);  // stride 0
  EXPECT_EQ(r, 2);
}

TYPED_TEST(CublasTest, NothingToSumGivesZero) {
  using B = Blas<TypeParam>;
  for (const auto& args : {std::pair<int, int>{0, 1}, {-3, 1}, {10, 0}, {10, -1}}) {
    TypeParam r = -1;
    EXPECT_EQ(B::asum(this->handle, args.first, this->d_x, args.second, &r), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(r, 0) << args.first << ", " << args.second;
  }
  for (int n : {0, -1}) {
    TypeParam r = -1;
    EXPECT_EQ(B::dot(this->handle, n, this->d_x, 1, this->d_y, 1, &r), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(r, 0);
  }
}

TYPED_TEST(CublasTest, RefusesUnknownHandlesAndVectorsOutsideDeviceMemory) {
  using B = Blas<TypeParam>;
  TypeParam r = -1;
  std::vector<TypeParam> host(10, 1);
  EXPECT_EQ(B::asum(this->handle, 11, this->d_x, 1, &r), CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(B::asum(this->handle, 6, this->d_x, 2, &r), CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(B::asum(this->handle, 10, host.data(), 1, &r), CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(B::dot(this->handle, 10, this->d_x, 1, host.data(), 1, &r),
            CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(B::dot(this->handle, 4, this->d_x, 1, this->d_y, -4, &r),
            CUBLAS_STATUS_EXECUTION_FAILED);
  // Host pointer mode: the result must be host memory.
  EXPECT_EQ(B::asum(this->handle, 10, this->d_x, 1, nullptr), CUBLAS_STATUS_INVALID_VALUE);
  EXPECT_EQ(B::asum(this->handle, 2, this->d_x, 1, this->d_y), CUBLAS_STATUS_INVALID_VALUE);
  EXPECT_EQ(r, -1);

  ASSERT_EQ(cublasDestroy_v2(this->handle), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(B::asum(this->handle, 10, this->d_x, 1, &r), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(B::dot(this->handle, 0, this->d_x, 1, this->d_y, 1, &r), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(B::asum(nullptr, 0, this->d_x, 1, &r), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(cublasDestroy_v2(this->handle), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(r, -1);
}

TEST(CublasAccuracyTest, SumsOfManyTermsKeepTheirDigits) {
  korvex::host::reset();
  cublasHandle_t handle = nullptr;
  ASSERT_EQ(cublasCreate_v2(&handle), CUBLAS_STATUS_SUCCESS);
  // 2^24 + 1 is not a float: a naive float loop stops growing at 2^24.
  const int n = (1 << 24) + 64;
  float* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, size_t(n) * sizeof(float)), cudaSuccess);
  std::vector<float> ones(n, 1.0f);
  ASSERT_EQ(cudaMemcpy(d, ones.data(), ones.size() * sizeof(float), cudaMemcpyHostToDevice),
            cudaSuccess);
  float r = 0;
  ASSERT_EQ(cublasSasum_v2(handle, n, d, 1, &r), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(r, float(n));
  ASSERT_EQ(cublasSdot_v2(handle, n, d, 1, d, 1, &r), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(r, float(n));
  EXPECT_EQ(ledger().blas_handles, 1u);
  korvex::host::reset();
  EXPECT_TRUE(ledger().empty());
}

}  // namespace
