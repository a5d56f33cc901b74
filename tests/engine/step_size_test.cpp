// Compute_Alpha and Compute_Threshold on vectors placed in the engine's buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <type_traits>
#include <vector>

#include "Korvex.h"

namespace {

constexpr unsigned kW = 5;
constexpr unsigned kH = 4;
constexpr unsigned kN = kW * kH;

template <typename T>
class StepSizeTest : public ::testing::Test {
 protected:
  void Put(T* device, const std::vector<double>& values) {
    const std::vector<T> host(values.begin(), values.end());
    ASSERT_EQ(cudaMemcpy(device, host.data(), kN * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
  }
  // Estimates and gradients of two iterations; returns s.y / y.y computed here.
  double Place(const std::vector<double>& x, const std::vector<double>& xPrev,
               const std::vector<double>& g, const std::vector<double>& gPrev) {
    Put(engine_.d_estimate, x);
    Put(engine_.d_estimatePrev, xPrev);
    Put(engine_.d_grad, g);
    Put(engine_.d_gradPrev, gPrev);
    double sy = 0;
    double yy = 0;
    for (unsigned i = 0; i < kN; ++i) {
      sy += (x[i] - xPrev[i]) * (g[i] - gPrev[i]);
      yy += (g[i] - gPrev[i]) * (g[i] - gPrev[i]);
    }
    return sy / yy;
  }
  static std::vector<double> Ramp(double start, double step) {
    std::vector<double> v(kN);
    for (unsigned i = 0; i < kN; ++i) v[i] = start + step * i;
    return v;
  }
  Korvex<T> engine_{kW, kH, 1, 4};
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(StepSizeTest, Precisions);

TYPED_TEST(StepSizeTest, AlphaIsTheSignedBarzilaiBorweinQuotient) {
  // Products of both signs, so the split by sign matters.
  std::vector<double> g = this->Ramp(-3.0, 0.5);
  std::vector<double> x = this->Ramp(1.0, -0.25);
  for (unsigned i = 0; i < kN; i += 3) x[i] = -x[i];
  const double expected = this->Place(x, this->Ramp(0.5, 0.1), g, this->Ramp(0.25, 0.05));
  const double tolerance = std::is_same_v<TypeParam, float> ? 1e-5 : 1e-13;
  EXPECT_NEAR(this->engine_.Compute_Alpha(), expected, tolerance * std::abs(expected));
}

TYPED_TEST(StepSizeTest, OpposedChangesGiveANegativeStep) {
  const std::vector<double> zero(kN, 0.0);
  const double expected = this->Place(this->Ramp(1.0, 1.0), zero, this->Ramp(-2.0, -0.5), zero);
  ASSERT_LT(expected, 0.0);
  const double tolerance = std::is_same_v<TypeParam, float> ? 1e-5 : 1e-13;
  EXPECT_NEAR(this->engine_.Compute_Alpha(), expected, tolerance * std::abs(expected));
}

TYPED_TEST(StepSizeTest, UnchangedGradientGivesNotANumber) {
  const std::vector<double> g = this->Ramp(0.5, 0.5);
  this->Place(this->Ramp(1.0, 1.0), this->Ramp(0.0, 1.0), g, g);
  TypeParam alpha = 0;
  EXPECT_NO_THROW(alpha = this->engine_.Compute_Alpha());
  EXPECT_TRUE(std::isnan(alpha));
}

TYPED_TEST(StepSizeTest, ThresholdIsAlphaTimesTheSquaredNorm) {
  using T = TypeParam;
  const std::vector<double> v = this->Ramp(-2.0, 0.25);
  double squares = 0;
  for (double value : v) squares += value * value;
  this->Put(this->engine_.d_grad, v);
  const double tolerance = std::is_same_v<T, float> ? 1e-6 : 1e-14;
  EXPECT_NEAR(this->engine_.Compute_Threshold(T(0.5), this->engine_.d_grad), 0.5 * squares,
              tolerance * squares);
  EXPECT_EQ(this->engine_.Compute_Threshold(T(0), this->engine_.d_grad), T(0));
  this->Put(this->engine_.d_grad, std::vector<double>(kN, 0.0));
  EXPECT_EQ(this->engine_.Compute_Threshold(T(3), this->engine_.d_grad), T(0));
}

}  // namespace
