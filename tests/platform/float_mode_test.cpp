#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif
#if defined(_OPENMP)
#include <omp.h>
#endif

#include "gpu_launch.h"
#include "host/host_team.h"
#include "platform_fixture.h"

namespace {

using korvex::host::SinglePrecision;

template <typename T>
struct Pair {
  T re;
  T im;
};

static_assert(SinglePrecision<void(float*, unsigned, unsigned)>::value);
static_assert(SinglePrecision<void(const float*, double, unsigned)>::value);
static_assert(SinglePrecision<void(Pair<float>*, unsigned, unsigned)>::value);
static_assert(!SinglePrecision<void(double*, float, unsigned, unsigned)>::value);
static_assert(!SinglePrecision<void(Pair<double>*, double*, unsigned, unsigned)>::value);
static_assert(!SinglePrecision<void(int*, unsigned, unsigned)>::value);

struct Launch {
  dim3 block;
  dim3 grid;
  cudaStream_t stream;
};

template <typename T>
KORVEX_GLOBAL void halve_kernel(T* image, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(x, y, W, H) { image[y * W + x] = image[y * W + x] * T(0.5); }
}

// Halves every pixel of a W x H image holding `value` and returns the first and last pixel.
template <typename T>
std::vector<T> Halve(T value, unsigned W, unsigned H) {
  const size_t n = size_t{W} * H;
  std::vector<T> image(n, value);
  T* d = nullptr;
  EXPECT_EQ(cudaMalloc(&d, n * sizeof(T)), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(d, image.data(), n * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
  const Launch launch{dim3(16, 16), dim3((W + 15) / 16, (H + 15) / 16), nullptr};
  KORVEX_LAUNCH(halve_kernel<T>, launch, d, W, H);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(image.data(), d, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(cudaFree(d), cudaSuccess);
  return {image.front(), image.back()};
}

// The flush-to-zero and denormals-are-zero bits of the calling thread's control word.
unsigned Control_Word() {
#if defined(__SSE__)
  return _mm_getcsr() & 0x8040u;
#else
  return 0;
#endif
}

// Small enough to run on the calling thread alone, then large enough for the team.
const std::pair<unsigned, unsigned> kSizes[] = {{37, 21}, {301, 260}};

class FloatModeTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
#if !defined(__SSE__)
    GTEST_SKIP() << "flush-to-zero is set through the SSE control word";
#endif
  }
};

TEST_F(FloatModeTest, SinglePrecisionKernelsFlushSubnormalsToZero) {
  const float tiny = std::numeric_limits<float>::denorm_min() * 64;
  const float smallest = std::numeric_limits<float>::min();
  for (const auto& size : kSizes) {
    // A subnormal operand reads as zero; a normal operand with a subnormal result gives zero.
    for (float v : Halve(tiny, size.first, size.second)) EXPECT_EQ(v, 0.0f);
    for (float v : Halve(smallest, size.first, size.second)) EXPECT_EQ(v, 0.0f);
    for (float v : Halve(2.0f, size.first, size.second)) EXPECT_EQ(v, 1.0f);
  }
}

TEST_F(FloatModeTest, DoublePrecisionKernelsKeepSubnormals) {
  const double tiny = std::numeric_limits<double>::denorm_min() * 64;
  const double smallest = std::numeric_limits<double>::min();
  for (const auto& size : kSizes) {
    for (double v : Halve(tiny, size.first, size.second)) EXPECT_EQ(v, tiny / 2);
    for (double v : Halve(smallest, size.first, size.second)) EXPECT_EQ(v, smallest / 2);
  }
}

TEST_F(FloatModeTest, EveryThreadGetsItsOwnModeBackAfterTheKernel) {
  const unsigned before = Control_Word();
  EXPECT_EQ(before, 0u) << "the test thread flushes subnormals already";
  for (const auto& size : kSizes) {
    Halve(1.0f, size.first, size.second);
    EXPECT_EQ(Control_Word(), before);
    std::vector<unsigned> words(64, before);
#if defined(_OPENMP)
#pragma omp parallel
    words[static_cast<size_t>(omp_get_thread_num()) % words.size()] = Control_Word();
#endif
    // The worker team's threads, which ran the kernel.
    std::atomic<unsigned> flushed{0};
    korvex::host::detail::parallel_for(256, 8, [&](int64_t) {
      if (Control_Word() != before) ++flushed;
    });
    EXPECT_EQ(flushed.load(), 0u) << size.first << " x " << size.second;
    for (unsigned word : words) EXPECT_EQ(word, before) << size.first << " x " << size.second;
  }
  // Plain host code after a float kernel still sees subnormals.
  volatile float smallest = std::numeric_limits<float>::min();
  EXPECT_GT(smallest / 2, 0.0f);
}

}  // namespace
