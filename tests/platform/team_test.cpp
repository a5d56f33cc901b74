// The worker team: every piece of a job runs once, whoever runs it; callers that meet a busy
// team (another thread's job, a job inside a job) and forked children still finish.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#if defined(_OPENMP)
#include <omp.h>
#endif

#include "gpu_launch.h"
#include "host/host_team.h"
#include "platform_fixture.h"

namespace {

using korvex::host::detail::parallel_for;

// Counts how often each piece ran, and checks that each ran once.
struct Tally {
  explicit Tally(size_t n) : runs(n) {}
  void operator()(int64_t i) const { runs[static_cast<size_t>(i)].fetch_add(1); }
  int wrong() const {
    int bad = 0;
    for (const auto& r : runs) bad += r.load() != 1;
    return bad;
  }
  mutable std::vector<std::atomic<int>> runs;
};

TEST(TeamTest, EveryPieceRunsOnceWhateverTheThreadCount) {
  for (int64_t count : {1, 2, 3, 17, 1000}) {
    for (int threads : {1, 2, 5, 64}) {
      Tally tally(static_cast<size_t>(count));
      parallel_for(count, threads, tally);
      EXPECT_EQ(tally.wrong(), 0) << count << " pieces on " << threads << " threads";
    }
  }
}

TEST(TeamTest, ConcurrentAndNestedJobsFinish) {
  constexpr int kJobs = 200;
  std::atomic<int> wrong{0};
  const auto caller = [&](bool nested) {
    for (int j = 0; j < kJobs; ++j) {
      Tally outer(64);
      parallel_for(64, 4, [&](int64_t i) {
        outer(i);
        if (!nested) return;
        Tally inner(8);
        parallel_for(8, 4, inner);
        wrong += inner.wrong();
      });
      wrong += outer.wrong();
    }
  };
  std::thread a(caller, false);
  std::thread b(caller, true);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

struct Launch {
  dim3 block;
  dim3 grid;
  cudaStream_t stream;
};

// Two pixel loops in one kernel (each in a scope of its own): each shares out its own rows.
// Nothing orders the second loop after the first across threads, so they write apart.
KORVEX_GLOBAL void two_loops_kernel(int* first, int* second, unsigned W, unsigned H) {
  {
    KORVEX_FOR_EACH_PIXEL(x, y, W, H) { first[y * W + x] += 1; }
  }
  {
    KORVEX_FOR_EACH_PIXEL(x, y, W, H) { second[y * W + x] += 2; }
  }
}

// Runs two_loops_kernel on two zeroed W x H images; returns the pixels that are not 1 in the
// first image or not 2 in the second.
int Two_Loops_Wrong(unsigned W, unsigned H) {
  const size_t pixels = size_t{W} * H;
  int* d = nullptr;
  const size_t bytes = 2 * pixels * sizeof(int);
  EXPECT_EQ(cudaMalloc(&d, bytes), cudaSuccess);
  EXPECT_EQ(cudaMemset(d, 0, bytes), cudaSuccess);
  const Launch launch{dim3(16, 16), dim3((W + 15) / 16, (H + 15) / 16), nullptr};
  KORVEX_LAUNCH(two_loops_kernel, launch, d, d + pixels, W, H);
  std::vector<int> images(2 * pixels);
  EXPECT_EQ(cudaMemcpy(images.data(), d, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(cudaFree(d), cudaSuccess);
  int wrong = 0;
  for (size_t i = 0; i < images.size(); ++i) wrong += images[i] != (i < pixels ? 1 : 2);
  return wrong;
}

using TeamKernelTest = PlatformTest;

TEST_F(TeamKernelTest, RowsAreSharedOutOnceForAnyTeamSize) {
#if defined(_OPENMP)
  const int threads = omp_get_max_threads();
  for (int team : {1, 2, 7}) {
    omp_set_num_threads(team);
    // One row, a few rows, and many odd rows: more threads than rows, and uneven blocks.
    for (const auto& size : {std::pair<unsigned, unsigned>{70001, 1}, {9001, 9}, {1001, 333}}) {
      EXPECT_EQ(Two_Loops_Wrong(size.first, size.second), 0)
          << size.first << " x " << size.second << " on " << team << " threads";
    }
  }
  omp_set_num_threads(threads);
#else
  EXPECT_EQ(Two_Loops_Wrong(1001, 333), 0);
#endif
}

TEST_F(TeamKernelTest, AForkedChildRunsJobsOfItsOwn) {
  EXPECT_EQ(Two_Loops_Wrong(1001, 333), 0);  // the parent's workers exist
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Tally tally(100);
    parallel_for(100, 4, tally);
    const bool kernel_ok = Two_Loops_Wrong(1001, 333) == 0;
    _exit(tally.wrong() == 0 && kernel_ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
