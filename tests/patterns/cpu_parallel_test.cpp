// The parallel loops the estimator runs its orientations and bins on (cpu_parallel.h).
#include "cpu_parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using korvex::platform::Parallel_For;

TEST(CpuParallelTest, EveryIndexRunsOnce) {
  for (int64_t count : {0, 1, 3, 1000}) {
    for (int threads : {1, 2, 8}) {
      std::vector<std::atomic<int>> runs(static_cast<size_t>(count));
      Parallel_For(count, threads, [&](int64_t i) { runs[static_cast<size_t>(i)].fetch_add(1); });
      int wrong = 0;
      for (const auto& r : runs) wrong += r.load() != 1;
      EXPECT_EQ(wrong, 0) << count << " indices on " << threads << " threads";
    }
  }
}

TEST(CpuParallelTest, OneThreadRunsInOrderOnTheCaller) {
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<int64_t> order;
  bool elsewhere = false;
  Parallel_For(50, 1, [&](int64_t i) {
    order.push_back(i);
    elsewhere = elsewhere || std::this_thread::get_id() != caller;
  });
  ASSERT_EQ(order.size(), 50u);
  for (int64_t i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_FALSE(elsewhere);
}

// A throwing job reaches the caller whole, on any thread count, and leaves the loops usable.
TEST(CpuParallelTest, AnExceptionReachesTheCaller) {
  for (int threads : {1, 2, 4}) {
    try {
      Parallel_For(200, threads, [&](int64_t i) {
        if (i == 7) throw std::invalid_argument("index 7 refused");
      });
      ADD_FAILURE() << "no exception on " << threads << " threads";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "index 7 refused");
    }
    std::atomic<int> runs{0};
    Parallel_For(100, threads, [&](int64_t) { ++runs; });
    EXPECT_EQ(runs.load(), 100) << threads << " threads";
  }
}

}  // namespace
