// The estimator's platform resources on the host backend: what it holds while alive, and that
// nothing is left behind after success, bad input or a failing platform call.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "host/host_control.h"
#include "pattern_estimate.h"
#include "pattern_sim.h"

namespace {

using korvex::patterns::PatternEstimator;

korvex_test::SimStack Stack() {
  const auto truth = korvex_test::Random_Truth(3, 3, 5.0, 0.2, 0.0, 21);
  return korvex_test::Simulate_Stack(64, 64, 0.25, truth, 1000, 10.0, 21);
}

// A transform (a plan and its buffer) for each orientation, which run in parallel; kept
// between calls, not made anew.
TEST(PatternResources, OnePlanAndOneBufferPerOrientationWhileAliveNothingAfter) {
  const auto stack = Stack();
  korvex::host::reset();
  {
    PatternEstimator estimator(64, 64, 3, 3);
    estimator.Estimate(stack.frames.data(), stack.otf.data());
    estimator.Estimate(stack.frames.data(), stack.otf.data());
    const auto held = korvex::host::ledger();
    EXPECT_EQ(held.fft_plans, 3u);
    EXPECT_EQ(held.device_allocations, 3u);
  }
  EXPECT_TRUE(korvex::host::ledger().empty());
}

TEST(PatternResources, BadInputLeavesNothingBehind) {
  auto stack = Stack();
  stack.frames[5] = std::numeric_limits<double>::quiet_NaN();
  korvex::host::reset();
  {
    PatternEstimator estimator(64, 64, 3, 3);
    EXPECT_THROW(estimator.Estimate(stack.frames.data(), stack.otf.data()), std::invalid_argument);
  }
  EXPECT_TRUE(korvex::host::ledger().empty());
}

// Each platform call the estimator makes, failed in turn at its first and at a later use: the
// error names the call, and the ledger is empty once the estimator is gone.
TEST(PatternResources, EveryFailingPlatformCallIsReportedAndReleased) {
  const auto stack = Stack();
  const struct {
    const char* operation;
    unsigned nth;
    int status;
  } faults[] = {{"cudaMalloc", 1, 2}, {"cufftPlan2d", 1, 2},  {"cudaMemcpy", 1, 1},
                {"cudaMemcpy", 7, 1}, {"cufftExecC2C", 1, 6}, {"cufftExecC2C", 9, 6}};
  for (const auto& fault : faults) {
    korvex::host::reset();
    korvex::host::fail_call(fault.operation, fault.nth, fault.status);
    try {
      PatternEstimator estimator(64, 64, 3, 3);
      estimator.Estimate(stack.frames.data(), stack.otf.data());
      ADD_FAILURE() << fault.operation << " #" << fault.nth << ": no error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(fault.operation), std::string::npos) << e.what();
    }
    EXPECT_TRUE(korvex::host::ledger().empty()) << fault.operation << " #" << fault.nth;
  }
  korvex::host::reset();
}

}  // namespace
