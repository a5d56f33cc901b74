// Shared pieces of the kernel tests: device buffers with canaries past the image, launch
// records shaped as the engine shapes them, an engine to call the launch operations on, and
// element comparison. Only the public CUDA runtime API is used, so the suites run unchanged
// on a GPU.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Korvex.h"

namespace korvex::test {

struct ImageSize {
  unsigned W;
  unsigned H;
};

// Sizes that are not multiples of the 16 x 16 block, single rows and columns, and empty images.
inline const std::vector<ImageSize> kSizes = {{17, 5}, {1, 33}, {33, 1}, {64, 48}, {0, 5}, {5, 0}};

inline std::string Describe(ImageSize s) {
  return std::to_string(s.W) + " x " + std::to_string(s.H);
}

// The engine's record for W x H; an empty axis still gets one block, so that the kernel
// (not the launch) is what must leave the buffers alone.
inline KernelLaunch_t Launch_For(unsigned W, unsigned H, cudaStream_t stream = nullptr) {
  KernelLaunch_t launch;
  launch.block = dim3(16, 16, 1);
  launch.grid = dim3(W == 0 ? 1 : (W + 15) / 16, H == 0 ? 1 : (H + 15) / 16, 1);
  launch.stream = stream;
  return launch;
}

// Elements past the image in every buffer; they hold the canary and must keep it.
constexpr unsigned kPad = 37;

template <typename T>
T Canary(T*) {
  return T(-777.25);
}
template <typename T>
CudaComplex<T> Canary(CudaComplex<T>*) {
  return {T(-777.25), T(555.5)};
}
template <typename E>
E Canary() {
  return Canary(static_cast<E*>(nullptr));
}

template <typename E>
std::vector<E> Canaries(size_t count) {
  return std::vector<E>(count, Canary<E>());
}

// A device buffer of count + kPad elements. initial() keeps what was uploaded, so that
// references can be computed from the inputs of in/out buffers.
template <typename E>
class DeviceBuffer {
 public:
  explicit DeviceBuffer(std::vector<E> values) : initial_(std::move(values)) {
    initial_.resize(initial_.size() + kPad, Canary<E>());
    const size_t bytes = initial_.size() * sizeof(E);
    EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&device_), bytes), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(device_, initial_.data(), bytes, cudaMemcpyHostToDevice), cudaSuccess);
  }
  ~DeviceBuffer() { cudaFree(device_); }
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  E* get() const { return device_; }
  const E& operator[](size_t i) const { return initial_[i]; }
  size_t image_size() const { return initial_.size() - kPad; }
  std::vector<E> read() const {
    std::vector<E> values(initial_.size());
    EXPECT_EQ(cudaMemcpy(values.data(), device_, values.size() * sizeof(E), cudaMemcpyDeviceToHost),
              cudaSuccess);
    return values;
  }

 private:
  std::vector<E> initial_;
  E* device_ = nullptr;
};

// count values in [-4, 4), never zero or subnormal, from a fixed seed.
template <typename E>
std::vector<E> Random_Values(size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<double> uniform(0.125, 4.0);
  std::bernoulli_distribution negative(0.5);
  auto next = [&] {
    const double v = uniform(generator);
    return negative(generator) ? -v : v;
  };
  std::vector<E> values(count);
  for (E& v : values) {
    if constexpr (std::is_arithmetic_v<E>) {
      v = static_cast<E>(next());
    } else {
      v.re = static_cast<decltype(v.re)>(next());
      v.im = static_cast<decltype(v.im)>(next());
    }
  }
  return values;
}

// Same value, sign of zero included; any NaN matches any NaN. A non-zero tolerance is
// relative with an absolute floor of the same size.
template <typename T>
bool Same_Value(T got, T want, double tolerance) {
  if (std::isnan(want)) return std::isnan(got);
  if (tolerance == 0) return got == want && std::signbit(got) == std::signbit(want);
  return std::fabs(double(got) - double(want)) <= tolerance * (1.0 + std::fabs(double(want)));
}

// The buffer's image against reference(i), its padding against the canary.
template <typename E, typename Reference>
void Expect_Image(const DeviceBuffer<E>& buffer, size_t count, Reference reference,
                  double tolerance = 0) {
  const std::vector<E> got = buffer.read();
  for (size_t i = 0; i < got.size(); ++i) {
    const E want = i < count ? E(reference(i)) : Canary<E>();
    const double t = i < count ? tolerance : 0;
    if constexpr (std::is_arithmetic_v<E>) {
      ASSERT_TRUE(Same_Value(got[i], want, t)) << "at " << i << ": " << got[i] << " != " << want;
    } else {
      ASSERT_TRUE(Same_Value(got[i].re, want.re, t) && Same_Value(got[i].im, want.im, t))
          << "at " << i << ": (" << got[i].re << ", " << got[i].im << ") != (" << want.re << ", "
          << want.im << ")";
    }
  }
}

// Tolerance of results that use the reciprocal or square root: the GPU's single-precision
// ones are approximations, everything else is computed exactly as the reference does.
template <typename T>
double Approximate_Tolerance() {
#if defined(KORVEX_BACKEND_HOST)
  return 0;
#else
  return std::is_same_v<T, float> ? 1e-6 : 0;
#endif
}

// A small real engine per precision, shared by the tests of a suite.
template <typename T>
class EngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { engine_ = std::make_unique<Korvex<T>>(16, 16, 1, 1); }
  static void TearDownTestSuite() { engine_.reset(); }
  static Korvex<T>& engine() { return *engine_; }

 private:
  static inline std::unique_ptr<Korvex<T>> engine_;
};

using Precisions = ::testing::Types<float, double>;

}  // namespace korvex::test
