// Host-backend tests start from a healthy simulated device and must leave nothing held.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "host/host_control.h"

namespace korvex::test {

class HostDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { korvex::host::reset(); }
  void TearDown() override {
    const korvex::host::Ledger held = korvex::host::ledger();
    EXPECT_TRUE(held.empty()) << "device allocations " << held.device_allocations << ", pinned "
                              << held.pinned_buffers << ", registered " << held.registered_ranges
                              << ", streams " << held.streams << ", plans " << held.fft_plans
                              << ", handles " << held.blas_handles;
    korvex::host::reset();
  }
};

// The line a handler message names, or -1 when `text` does not match `form` whose last
// group captures the line.
inline int Line_Of(const std::string& text, const std::string& form) {
  std::smatch match;
  if (!std::regex_match(text, match, std::regex(form))) return -1;
  return std::stoi(match[match.size() - 1].str());
}

}  // namespace korvex::test
