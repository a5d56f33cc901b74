// A long MATLAB session in one process: 1,000 calls of mexFunction that mix precisions, image
// sizes, iteration limits, kept and rebuilt engines, refused arguments and platform failures.
// Every reconstruction of the same inputs must give the same image however the engine came to
// be; nothing may stay held after a clear-memory call; and once warm, the process must not
// grow. The figures are printed for the record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "gateway_harness.h"
#include "host/host_control.h"

namespace korvex::test {
namespace {

namespace host = korvex::host;
using mex_substitute::Make_Scalar;

constexpr unsigned kCalls = 1000;
constexpr unsigned kWarmUp = 200;
constexpr unsigned kClearEvery = 100;
constexpr unsigned kSeed = 1234;
// Resident memory may move by a few pages as the allocator settles; a leak of one image per
// call would grow it far more over 800 calls.
constexpr long kGrowthToleranceKiB = 1024;

const Geometry kGeometries[] = {{4, 6, 2},   {8, 8, 3}, {5, 7, 1},
                                {16, 12, 4}, {3, 3, 9}, {10, 14, 2}};
const unsigned kIterationLimits[] = {2, 3, 5};

long Resident_KiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// What a call asks for; the same request always gets the same inputs.
struct Request {
  mxClassID dataClass;
  unsigned geometry;
  unsigned iterations;
  bool operator<(const Request& other) const {
    return std::tie(dataClass, geometry, iterations) <
           std::tie(other.dataClass, other.geometry, other.iterations);
  }
  bool operator==(const Request& other) const { return !(*this < other) && !(other < *this); }
};

enum class Trouble { kNone, kBadArgument, kPlatformFault };

struct Figures {
  unsigned reconstructions = 0, builds = 0, reuses = 0, refused = 0, faults = 0, clears = 0;
};

class Soak : public GatewayTest {
 protected:
  const ReconstructionInputs& Inputs_For(const Request& request) {
    auto it = inputs_.find(request);
    if (it == inputs_.end()) {
      it = inputs_
               .emplace(request, Valid_Inputs(request.dataClass, kGeometries[request.geometry],
                                              request.iterations))
               .first;
    }
    return it->second;
  }

  // The first image of each request is the one every later run must reproduce.
  void Check_Image(const Request& request, const mxArray* image, unsigned call) {
    const size_t n = mxGetNumberOfElements(image);
    std::vector<double> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = mex_substitute::Element(image, i);
    const auto [it, first] = images_.emplace(request, values);
    if (!first && it->second != values) {
      ADD_FAILURE() << "call " << call << ": the image differs from the first run of its inputs";
    }
  }

  std::map<Request, ReconstructionInputs> inputs_;
  std::map<Request, std::vector<double>> images_;
};

TEST_F(Soak, ThousandCallsHoldNothingAndDoNotGrow) {
  std::mt19937 random(kSeed);
  auto below = [&](unsigned n) {
    return std::uniform_int_distribution<unsigned>(0, n - 1)(random);
  };
  struct Fault {
    const char* operation;
    int status;
  };
  const Fault kFaults[] = {{"cudaMalloc", cudaErrorMemoryAllocation},
                           {"cudaHostRegister", cudaErrorMemoryAllocation},
                           {"cudaMemcpyAsync", cudaErrorIllegalAddress},
                           {"cudaLaunchKernel", cudaErrorLaunchOutOfResources},
                           {"cufftPlan2d", CUFFT_ALLOC_FAILED},
                           {"cufftExecC2C", CUFFT_EXEC_FAILED},
                           {"cufftExecZ2Z", CUFFT_EXEC_FAILED},
                           {"cublasSdot_v2", CUBLAS_STATUS_EXECUTION_FAILED},
                           {"cublasDdot_v2", CUBLAS_STATUS_EXECUTION_FAILED}};
  Figures figures;
  Request previous{mxDOUBLE_CLASS, 0, 0};
  bool engineKept = false;
  long warmKiB = 0;
  long peakKiB = 0;
  ArrayPtr wrongClass = Make_Scalar(3, mxINT32_CLASS);

  for (unsigned call = 1; call <= kCalls; ++call) {
    // Half the calls repeat the last request, so that kept engines are reused often.
    Request request = previous;
    if (!engineKept || below(2) == 0) {
      request = {below(2) == 0 ? mxSINGLE_CLASS : mxDOUBLE_CLASS, below(6),
                 kIterationLimits[below(3)]};
    }
    const unsigned roll = below(100);
    const Trouble trouble = roll < 5    ? Trouble::kBadArgument
                            : roll < 10 ? Trouble::kPlatformFault
                                        : Trouble::kNone;

    const ReconstructionInputs& inputs = Inputs_For(request);
    std::vector<const mxArray*> prhs = inputs.Inputs();
    if (trouble == Trouble::kBadArgument) prhs[3] = wrongClass.get();
    if (trouble == Trouble::kPlatformFault) {
      const Fault& fault = kFaults[below(9)];
      host::fail_call(fault.operation, 1 + below(3), fault.status);
    }
    const bool reuse = engineKept && request == previous;
    const CallResult result = Call(static_cast<int>(below(5)), prhs);
    host::clear_failures();

    ASSERT_EQ(host::ledger().registered_ranges, 0u) << "call " << call;
    if (result.error) {
      EXPECT_NE(trouble, Trouble::kNone) << "call " << call << ": " << *result.error;
      EXPECT_TRUE(Computing_S == nullptr && Computing_D == nullptr) << "call " << call;
      trouble == Trouble::kBadArgument ? ++figures.refused : ++figures.faults;
      engineKept = false;
    } else {
      ++figures.reconstructions;
      reuse ? ++figures.reuses : ++figures.builds;
      Check_Image(request, result.outputs[0].get(), call);
      previous = request;
      engineKept = true;
    }

    if (call % kClearEvery == 0) {
      Clear_Memory();
      ++figures.clears;
      engineKept = false;
      const host::Ledger held = host::ledger();
      ASSERT_TRUE(held.empty()) << "call " << call << ": " << held.device_allocations
                                << " device allocations, " << held.streams << " streams";
      if (call == kWarmUp) warmKiB = Resident_KiB();
    }
    peakKiB = std::max(peakKiB, Resident_KiB());
  }
  const long endKiB = Resident_KiB();
  inputs_.clear();  // MATLAB's arrays go before the fixture counts what is left
  wrongClass.reset();

  std::printf(
      "[ soak     ] %u calls: %u reconstructions (%u engine builds, %u reuses), "
      "%u refused, %u platform faults, %u clear-memory calls\n",
      kCalls, figures.reconstructions, figures.builds, figures.reuses, figures.refused,
      figures.faults, figures.clears);
  std::printf(
      "[ soak     ] resident memory: %ld KiB after %u warm-up calls, %ld KiB after %u "
      "calls (growth %ld KiB), peak %ld KiB\n",
      warmKiB, kWarmUp, endKiB, kCalls, endKiB - warmKiB, peakKiB);
  EXPECT_GE(figures.reuses, 100u);
  EXPECT_GE(figures.builds, 100u);
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer's quarantine holds freed memory back: resident size says nothing.
  std::printf("[ soak     ] address sanitizer build: growth not judged\n");
#else
  EXPECT_LE(endKiB - warmKiB, kGrowthToleranceKiB);
#endif
}

}  // namespace
}  // namespace korvex::test
