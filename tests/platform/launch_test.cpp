#include <stdexcept>
#include <vector>

#include "gpu_launch.h"
#include "platform_fixture.h"

namespace {

struct Launch {
  dim3 block;
  dim3 grid;
  cudaStream_t stream;
};

// Adds `value` to every pixel the grid reaches.
KORVEX_GLOBAL void add_kernel(int* image, int value, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(x, y, W, H) { image[y * W + x] += value; }
}

class LaunchTest : public PlatformTest {
 protected:
  // Runs add_kernel(1) on a zeroed W x H image and returns the image.
  std::vector<int> run(unsigned W, unsigned H, dim3 grid, dim3 block,
                       cudaStream_t stream = nullptr) {
    int* d = nullptr;
    const size_t bytes = size_t{W} * H * sizeof(int);
    EXPECT_EQ(cudaMalloc(&d, bytes), cudaSuccess);
    EXPECT_EQ(cudaMemset(d, 0, bytes), cudaSuccess);
    KORVEX_LAUNCH(add_kernel, (Launch{block, grid, stream}), d, 1, W, H);
    std::vector<int> image(size_t{W} * H);
    EXPECT_EQ(cudaMemcpy(image.data(), d, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
    return image;
  }
};

unsigned Blocks_For(unsigned n) { return (n + 15) / 16; }

TEST_F(LaunchTest, EveryPixelInsideTheGridRunsOnce) {
  // Small and odd, then large enough for the rows to be spread over threads.
  for (const auto& size : {std::pair<unsigned, unsigned>{37, 21}, {301, 260}}) {
    const unsigned W = size.first, H = size.second;
    const auto image = run(W, H, dim3(Blocks_For(W), Blocks_For(H)), dim3(16, 16));
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    int wrong = 0;
    for (int v : image) wrong += v != 1;
    EXPECT_EQ(wrong, 0) << W << " x " << H;
  }
}

TEST_F(LaunchTest, PixelsBeyondTheGridAreUntouched) {
  const unsigned W = 40, H = 20;
  const auto image = run(W, H, dim3(2, 1), dim3(16, 16));  // covers 32 x 16
  for (unsigned y = 0; y < H; ++y) {
    for (unsigned x = 0; x < W; ++x) {
      ASSERT_EQ(image[y * W + x], (x < 32 && y < 16) ? 1 : 0) << x << "," << y;
    }
  }
}

TEST_F(LaunchTest, ThreadsThatDifferOnlyInZRunTheBodyAgain) {
  const auto image = run(5, 3, dim3(1, 1, 2), dim3(8, 4, 3));
  for (int v : image) EXPECT_EQ(v, 6);
}

TEST_F(LaunchTest, InvalidConfigurationsRecordTheErrorAndRunNothing) {
  const struct {
    dim3 grid;
    dim3 block;
  } invalid[] = {
      {dim3(0, 1, 1), dim3(16, 16)},        {dim3(1, 0, 1), dim3(16, 16)},
      {dim3(1, 1, 0), dim3(16, 16)},        {dim3(1, 1), dim3(0, 16, 1)},
      {dim3(1, 1), dim3(16, 0, 1)},         {dim3(1, 1), dim3(16, 16, 0)},
      {dim3(1, 1), dim3(32, 33)},           {dim3(1, 1), dim3(1025, 1)},
      {dim3(1, 1), dim3(1, 1025)},          {dim3(1, 1), dim3(1, 1, 65)},
      {dim3(1, 65536), dim3(16, 16)},       {dim3(1, 1, 65536), dim3(16, 16)},
      {dim3(2147483648u, 1), dim3(16, 16)},
  };
  for (const auto& c : invalid) {
    const auto image = run(4, 4, c.grid, c.block);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration)
        << c.grid.x << "x" << c.grid.y << "x" << c.grid.z << " / " << c.block.x << "x" << c.block.y
        << "x" << c.block.z;
    for (int v : image) ASSERT_EQ(v, 0);
  }
}

TEST_F(LaunchTest, LimitsThemselvesAreValid) {
  const struct {
    dim3 grid;
    dim3 block;
    int runs;  // how often each pixel of a 4 x 4 image runs
  } limits[] = {
      {dim3(1, 4), dim3(1024, 1), 1},
      {dim3(4, 1), dim3(1, 1024), 1},
      {dim3(1, 1), dim3(4, 4, 64), 64},
      {dim3(2147483647u, 65535, 1), dim3(4, 1), 1},
  };
  for (const auto& c : limits) {
    const auto image = run(4, 4, c.grid, c.block);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    for (int v : image) ASSERT_EQ(v, c.runs);
  }
}

TEST_F(LaunchTest, StreamsMustBeLive) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  for (int v : run(3, 3, dim3(1, 1), dim3(16, 16), stream)) EXPECT_EQ(v, 1);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  const auto image = run(3, 3, dim3(1, 1), dim3(16, 16), stream);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  for (int v : image) EXPECT_EQ(v, 0);
}

TEST_F(LaunchTest, PixelRangeClipsWithoutOverflowAndOnlyInsideALaunch) {
  ASSERT_TRUE(korvex::host::begin_launch(dim3(2147483647u, 65535), dim3(1024, 1), nullptr));
  const auto range = korvex::host::current_pixel_range(4000000000u, 70000);
  korvex::host::end_launch();
  EXPECT_EQ(range.cols, 4000000000u);
  EXPECT_EQ(range.rows, 65535u);
  EXPECT_EQ(range.repeat, 1u);
  EXPECT_TRUE(range.parallel);
  EXPECT_THROW(korvex::host::current_pixel_range(4, 4), std::logic_error);
}

}  // namespace
