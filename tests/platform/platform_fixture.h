// Every platform test starts from a fresh default device and must leave no unread failure.
#pragma once

#include <gtest/gtest.h>

#include "gpu.h"
#include "host/host_control.h"

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { korvex::host::reset(); }
  void TearDown() override {
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a failure the test did not expect";
    korvex::host::reset();
  }
};

// A runtime call that must fail with `expected` and leave it as the thread's last error.
#define EXPECT_CUDA_FAILS(call, expected)                                             \
  do {                                                                                \
    EXPECT_EQ((call), (expected)) << #call;                                           \
    EXPECT_EQ(cudaGetLastError(), (expected)) << #call " did not record its failure"; \
  } while (0)
