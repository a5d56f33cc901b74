// What a built engine holds, its launch configurations, and its release.
#include <gtest/gtest.h>

#include "Korvex.h"

namespace {

template <typename T>
class EngineSetupTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(EngineSetupTest, Precisions);

template <typename T>
void Expect_Empty(const Korvex<T>& engine) {
  EXPECT_EQ(engine.d_grad, nullptr);
  EXPECT_EQ(engine.d_gradPrev, nullptr);
  EXPECT_EQ(engine.d_dataGrad, nullptr);
  EXPECT_EQ(engine.d_estimate, nullptr);
  EXPECT_EQ(engine.d_estimatePrev, nullptr);
  EXPECT_EQ(engine.d_masks, nullptr);
  EXPECT_EQ(engine.d_images, nullptr);
  EXPECT_EQ(engine.d_otf, nullptr);
  EXPECT_EQ(engine.d_scratchA, nullptr);
  EXPECT_EQ(engine.d_scratchB, nullptr);
  EXPECT_EQ(engine.h_history, nullptr);
  EXPECT_EQ(engine.m_fftPlan, 0);
  EXPECT_EQ(engine.m_blasHandle, nullptr);
  EXPECT_EQ(engine.m_stream1, nullptr);
  EXPECT_EQ(engine.m_stream2, nullptr);
}

TYPED_TEST(EngineSetupTest, HoldsEveryResourceAndItsGeometry) {
  Korvex<TypeParam> engine(24, 17, 3, 20);
  EXPECT_EQ(engine.m_width, 24u);
  EXPECT_EQ(engine.m_height, 17u);
  EXPECT_EQ(engine.m_frames, 3u);
  EXPECT_EQ(engine.m_maxIter, 20u);
  for (const void* buffer :
       {static_cast<const void*>(engine.d_grad), static_cast<const void*>(engine.d_gradPrev),
        static_cast<const void*>(engine.d_dataGrad), static_cast<const void*>(engine.d_estimate),
        static_cast<const void*>(engine.d_estimatePrev), static_cast<const void*>(engine.d_masks),
        static_cast<const void*>(engine.d_images), static_cast<const void*>(engine.d_otf),
        static_cast<const void*>(engine.d_scratchA), static_cast<const void*>(engine.d_scratchB),
        static_cast<const void*>(engine.h_history)}) {
    EXPECT_NE(buffer, nullptr);
  }
  EXPECT_NE(engine.m_fftPlan, 0);
  EXPECT_NE(engine.m_blasHandle, nullptr);
  EXPECT_NE(engine.m_stream1, nullptr);
  EXPECT_NE(engine.m_stream2, nullptr);
  EXPECT_NE(engine.m_stream1, engine.m_stream2);
  EXPECT_GE(engine.m_computeMajor, 6u);
  EXPECT_EQ(engine.m_computeMajor, static_cast<unsigned>(engine.m_deviceProp.major));
  EXPECT_EQ(engine.m_computeMinor, static_cast<unsigned>(engine.m_deviceProp.minor));
  EXPECT_LE(engine.m_runtimeVersion, engine.m_driverVersion);
  EXPECT_GE(engine.m_deviceCount, 1);
}

TYPED_TEST(EngineSetupTest, LaunchConfigurationsTileTheImageOnTheirStreams) {
  struct Case {
    unsigned extent;
    unsigned blocks;
  };
  for (const Case c : {Case{16, 1}, Case{17, 2}, Case{1025, 65}, Case{1, 1}, Case{32, 2}}) {
    Korvex<TypeParam> wide(c.extent, 3, 1, 1);
    Korvex<TypeParam> tall(5, c.extent, 1, 1);
    for (const KernelLaunch_t& launch :
         {wide.m_launch, wide.m_launchStream1, wide.m_launchStream2}) {
      EXPECT_EQ(launch.grid.x, c.blocks) << "W = " << c.extent;
      EXPECT_EQ(launch.grid.y, 1u);
      EXPECT_EQ(launch.grid.z, 1u);
      EXPECT_EQ(launch.block.x, 16u);
      EXPECT_EQ(launch.block.y, 16u);
      EXPECT_EQ(launch.block.z, 1u);
    }
    EXPECT_EQ(tall.m_launch.grid.x, 1u);
    EXPECT_EQ(tall.m_launch.grid.y, c.blocks) << "H = " << c.extent;
    EXPECT_EQ(tall.m_launchStream2.grid.y, c.blocks);
    EXPECT_EQ(wide.m_launch.stream, nullptr);
    EXPECT_EQ(wide.m_launchStream1.stream, wide.m_stream1);
    EXPECT_EQ(wide.m_launchStream2.stream, wide.m_stream2);
  }
}

TYPED_TEST(EngineSetupTest, ZeroIterationLimitStillHasAHistory) {
  Korvex<TypeParam> engine(8, 8, 1, 0);
  EXPECT_NE(engine.h_history, nullptr);
}

TYPED_TEST(EngineSetupTest, CleanResourcesEmptiesEveryMemberAndRepeats) {
  Korvex<TypeParam> engine(16, 9, 2, 3);
  const KernelLaunch_t launch = engine.m_launch;
  engine.Clean_Resources();
  Expect_Empty(engine);
  engine.Clean_Resources();
  Expect_Empty(engine);
  // Launch configurations are not resources and stay as they were.
  EXPECT_EQ(engine.m_launch.grid.x, launch.grid.x);
  EXPECT_EQ(engine.m_launch.grid.y, launch.grid.y);
}  // the destructor then finds nothing to release

TYPED_TEST(EngineSetupTest, AnUnrelatedEarlierFailureIsNotBlamedOnTheBuild) {
  int bogus = 0;
  EXPECT_NE(cudaFree(&bogus), cudaSuccess);  // leaves the thread's last error set
  EXPECT_NO_THROW({ Korvex<TypeParam> engine(8, 8, 1, 1); });
}

}  // namespace
