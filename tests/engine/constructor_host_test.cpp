// The constructor's platform checks and its clean-up after a failed acquisition, on the
// simulated device.
#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "engine_run.h"
#include "host_fixture.h"

namespace {

using korvex::test::Line_Of;
using korvex::test::Message_Of;
namespace host = korvex::host;

template <typename T>
class ConstructorTest : public korvex::test::HostDeviceTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ConstructorTest, Precisions);
class MemoryBudgetTest : public korvex::test::HostDeviceTest {};

template <typename T>
std::string Build(unsigned W, unsigned H, unsigned F, unsigned maxIter) {
  return Message_Of([&] { Korvex<T> engine(W, H, F, maxIter); });
}

TYPED_TEST(ConstructorTest, RuntimeNewerThanDriverIsRefused) {
  host::set_versions(12040, 12030);
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1),
            "Cuda Runtime Version : 12040\nCuda Driver Version  : 12030\nKorvexCUDA : Internal "
            "Error. Insufficient Driver, please update Graphics Drivers to the latest version\n");
  host::set_versions(12040, 12040);
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1), "<no exception>");
  host::set_versions(12040, 13000);
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1), "<no exception>");
}

TYPED_TEST(ConstructorTest, FailedVersionQueryIsReportedThroughTheLastError) {
  for (const char* query : {"cudaRuntimeGetVersion", "cudaDriverGetVersion"}) {
    host::fail_call(query, 1, cudaErrorInsufficientDriver);
    const std::string message = Build<TypeParam>(8, 8, 1, 1);
    EXPECT_GT(Line_Of(message,
                      "CUDA Error : cudaErrorInsufficientDriver Desc\\. : [^\n]+ \\| "
                      "File : Korvex \\| Line : ([0-9]+)\n"),
              0)
        << query << ": " << message;
    host::clear_failures();
  }
}

TYPED_TEST(ConstructorTest, NoDeviceIsRefusedBeforeAnyDeviceQuery) {
  host::set_device_count(0);
  host::clear_call_counts();
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1),
            "KorvexCUDA : Internal Error. No CUDA Capable Device Founnd!\n");
  EXPECT_EQ(host::call_count("cudaGetDeviceProperties"), 0u);
  EXPECT_EQ(host::call_count("cudaMalloc"), 0u);
}

TYPED_TEST(ConstructorTest, ComputeCapabilityBelowSixIsRefused) {
  host::set_compute_capability(5, 2);
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1),
            "Device Compute Capability: 5.2\nKorvexCUDA : Internal Error. Device Architecture Not "
            "Supported\n");
  host::set_compute_capability(5, 9);
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1),
            "Device Compute Capability: 5.9\nKorvexCUDA : Internal Error. Device Architecture Not "
            "Supported\n");
  for (const auto& [major, minor] : std::vector<std::pair<int, int>>{{6, 0}, {6, 2}, {12, 0}}) {
    host::set_compute_capability(major, minor);
    EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1), "<no exception>") << major << "." << minor;
  }
}

// The ten device buffers (28 MiB in single precision at 512 x 512 x 9), the FFT plan's work
// area (one complex image here: 2 MiB) and a margin of 32 MiB for the BLAS handle and the
// allocator's rounding.
TEST_F(MemoryBudgetTest, IsTheBuffersThePlanWorkAreaAndAMargin) {
  host::set_total_memory(size_t{12} << 20);
  host::clear_call_counts();
  EXPECT_EQ(Build<float>(512, 512, 9, 10),
            "KorvexCUDA : Error Not enough graphic memory. Required:62 MB | Available: 12 MB\n");
  EXPECT_EQ(Build<double>(512, 512, 9, 10),
            "KorvexCUDA : Error Not enough graphic memory. Required:92 MB | Available: 12 MB\n");
  EXPECT_EQ(host::call_count("cudaMalloc"), 0u);
  EXPECT_EQ(host::call_count("cufftPlan2d"), 0u);

  host::set_total_memory(65011712 - 1);
  EXPECT_EQ(Build<float>(512, 512, 9, 10),
            "KorvexCUDA : Error Not enough graphic memory. Required:62 MB | Available: 61 MB\n");
  host::set_total_memory(65011712);  // an exact fit passes
  EXPECT_EQ(Build<float>(512, 512, 9, 10), "<no exception>");
  host::set_total_memory(96468992);
  EXPECT_EQ(Build<double>(512, 512, 9, 10), "<no exception>");
}

TEST_F(MemoryBudgetTest, IsCountedInSixtyFourBits) {
  // W x H just below 2^31 passes the geometry check; its budget needs 64-bit byte counts.
  host::set_total_memory(size_t{1} << 30);
  EXPECT_EQ(Build<float>(46340, 46341, 1, 1),
            "KorvexCUDA : Error Not enough graphic memory. Required:114717 MB | Available: "
            "1024 MB\n");
}

TYPED_TEST(ConstructorTest, GeometryBeyondThirtyTwoBitCountsIsRefusedBeforeAnyPlatformCall) {
  struct Geometry {
    unsigned W, H, F;
  };
  for (const Geometry g :
       {Geometry{65536, 65536, 1}, Geometry{65536, 65536, 0}, Geometry{4096, 4096, 256},
        Geometry{1u << 31, 3, 1}, Geometry{70000, 70000, 9}}) {
    host::clear_call_counts();
    const std::string message = Build<TypeParam>(g.W, g.H, g.F, 10);
    EXPECT_EQ(message.rfind("KorvexCUDA Error: ", 0), 0u) << message;
    EXPECT_EQ(message.back(), '\n');
    EXPECT_EQ(host::total_call_count(), 0u) << g.W << " x " << g.H << " x " << g.F;
  }
}

// One acquisition step of the constructor, the status injected into it and the form of the
// message it must produce (the last group captures the line).
struct Acquisition {
  const char* operation;
  unsigned nth;
  int status;
  const char* form;
  unsigned releasedBuffers;  // device buffers that existed before the failure
};

constexpr const char* kOutOfMemory =
    "CUDA Error : cudaErrorMemoryAllocation Desc\\. : out of memory \\| File : Korvex \\| "
    "Line : ([0-9]+)\n";
constexpr const char* kStreamFailure =
    "CUDA Error : cudaErrorLaunchOutOfResources Desc\\. : too many resources requested for "
    "launch \\| File : Korvex \\| Line : ([0-9]+)\n";

const Acquisition kAcquisitions[] = {
    {"cudaMalloc", 1, cudaErrorMemoryAllocation, kOutOfMemory, 0},
    {"cudaMalloc", 2, cudaErrorMemoryAllocation, kOutOfMemory, 1},
    {"cudaMalloc", 3, cudaErrorMemoryAllocation, kOutOfMemory, 2},
    {"cudaMalloc", 4, cudaErrorMemoryAllocation, kOutOfMemory, 3},
    {"cudaMalloc", 5, cudaErrorMemoryAllocation, kOutOfMemory, 4},
    {"cudaMalloc", 6, cudaErrorMemoryAllocation, kOutOfMemory, 5},
    {"cudaMalloc", 7, cudaErrorMemoryAllocation, kOutOfMemory, 6},
    {"cudaMalloc", 8, cudaErrorMemoryAllocation, kOutOfMemory, 7},
    {"cudaMalloc", 9, cudaErrorMemoryAllocation, kOutOfMemory, 8},
    {"cudaMalloc", 10, cudaErrorMemoryAllocation, kOutOfMemory, 9},
    {"cudaHostAlloc", 1, cudaErrorMemoryAllocation, kOutOfMemory, 10},
    {"cudaStreamCreate", 1, cudaErrorLaunchOutOfResources, kStreamFailure, 10},
    {"cudaStreamCreate", 2, cudaErrorLaunchOutOfResources, kStreamFailure, 10},
    {"cufftPlan2d", 1, CUFFT_ALLOC_FAILED,
     "CUFFT ERR - ALLOC_FAILED in: Korvex at line: ([0-9]+)\n", 10},
    {"cublasCreate_v2", 1, CUBLAS_STATUS_NOT_INITIALIZED,
     "CUBLAS ERR - NOT_INITIALIZED in: Korvex at line: ([0-9]+)\n", 10},
};

TYPED_TEST(ConstructorTest, FailedAcquisitionReleasesEverythingAndCarriesTheHandlerMessage) {
  std::set<int> lines;
  for (const Acquisition& step : kAcquisitions) {
    host::reset();
    host::fail_call(step.operation, step.nth, step.status);
    const std::string message = Build<TypeParam>(24, 17, 3, 20);
    const int line = Line_Of(message, step.form);
    EXPECT_GT(line, 0) << step.operation << " #" << step.nth << ": " << message;
    lines.insert(line);
    EXPECT_TRUE(host::ledger().empty()) << step.operation << " #" << step.nth;
    EXPECT_EQ(host::call_count("cudaFree"), step.releasedBuffers)
        << step.operation << " #" << step.nth;
  }
  // Every acquisition reports the line of its own call.
  EXPECT_EQ(lines.size(), std::size(kAcquisitions));
}

TYPED_TEST(ConstructorTest, BuiltEngineHoldsExactlyItsResources) {
  {
    Korvex<TypeParam> engine(24, 17, 3, 20);
    const host::Ledger held = host::ledger();
    EXPECT_EQ(held.device_allocations, 10u);
    EXPECT_EQ(held.device_bytes, 2 * sizeof(TypeParam) * (5 * 24 * 17 + 24 * 17 * 3));
    EXPECT_EQ(held.pinned_buffers, 1u);
    EXPECT_EQ(held.streams, 2u);
    EXPECT_EQ(held.fft_plans, 1u);
    EXPECT_EQ(held.blas_handles, 1u);
    EXPECT_EQ(held.registered_ranges, 0u);
    engine.Clean_Resources();
    EXPECT_TRUE(host::ledger().empty());
    engine.Clean_Resources();
  }
  EXPECT_TRUE(host::ledger().empty());
}

}  // namespace

namespace {

// Geometries the reductions (signed 32-bit pixel counts) or the launch grid (65535 blocks of
// 16 rows) cannot cover are refused before any platform call; the limits themselves pass.
TYPED_TEST(ConstructorTest, GeometryBeyondReductionOrGridLimitsIsRefusedBeforeAnyPlatformCall) {
  const struct {
    unsigned W, H;
    const char* message;
  } kRefused[] = {
      {65536, 32768, "KorvexCUDA Error: Geometry too large! 65536 x 32768 pixels reach 2^31!\n"},
      {1u << 31, 1, "KorvexCUDA Error: Geometry too large! 2147483648 x 1 pixels reach 2^31!\n"},
      {3, 1048561,
       "KorvexCUDA Error: Geometry too large! 3 x 1048561 pixels: more than 1048560 rows exceed "
       "the launch grid!\n"},
  };
  for (const auto& g : kRefused) {
    host::clear_call_counts();
    EXPECT_EQ(Build<TypeParam>(g.W, g.H, 1, 10), g.message);
    EXPECT_EQ(host::total_call_count(), 0u);
  }
  // The tallest image the grid covers passes on to the memory check.
  host::set_total_memory(size_t{1} << 20);
  EXPECT_EQ(Build<TypeParam>(3, 1048560, 1, 10).rfind("KorvexCUDA : Error Not enough graphic", 0),
            0u);
}

TYPED_TEST(ConstructorTest, DeviceWithoutKernelImageIsRefusedBeforeAnyAllocation) {
  host::set_kernel_images(false);
  host::clear_call_counts();
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1),
            "Device Compute Capability: 9.0\nKorvexCUDA : Internal Error. Device Architecture Not "
            "Supported\n");
  EXPECT_EQ(host::call_count("cudaMalloc"), 0u);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the refused probe must not linger";
  host::set_kernel_images(true);
  EXPECT_EQ(Build<TypeParam>(8, 8, 1, 1), "<no exception>");
}

// The history holds one entry per iteration up to 65536, so any limit pins at most 512 KiB.
TYPED_TEST(ConstructorTest, PinnedHistoryIsBounded) {
  using K = Korvex<TypeParam>;
  EXPECT_EQ(K::History_Length(0), 1u);
  EXPECT_EQ(K::History_Length(40), 40u);
  EXPECT_EQ(K::History_Length(65536), 65536u);
  EXPECT_EQ(K::History_Length(4294967295u), 65536u);
  K engine(8, 8, 1, 4294967295u);
  EXPECT_EQ(engine.m_maxIter, 4294967295u);
  EXPECT_EQ(host::ledger().pinned_buffers, 1u);
}

}  // namespace
