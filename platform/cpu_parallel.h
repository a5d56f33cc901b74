// Parallel loops for CPU code outside the engine (the pattern estimator): on the host
// backend they run on its sleeping worker team (host/host_team.h), which honours
// OMP_NUM_THREADS and threadpoolctl; in the cuda build, whose host code has no such team,
// they run serially on the caller.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

#if defined(KORVEX_BACKEND_HOST)
#include "host/host_team.h"
#endif

namespace korvex::platform {

// Whether loops may run on more than the calling thread in this build.
#if defined(KORVEX_BACKEND_HOST)
inline constexpr bool kCpuTeam = true;
#else
inline constexpr bool kCpuTeam = false;
#endif

// Threads a loop of the calling thread may use.
inline int Cpu_Threads() {
#if defined(KORVEX_BACKEND_HOST)
  return host::detail::team_size();
#else
  return 1;
#endif
}

// job(i) for every i in [0, count), on up to `threads` threads (the caller's among them); with
// one thread, in order on the caller. job may throw: the loop then claims no further i, and
// the first exception is rethrown on the caller once every running call has returned.
template <class Job>
void Parallel_For(int64_t count, int threads, const Job& job) {
  if (count <= 0) return;
#if defined(KORVEX_BACKEND_HOST)
  if (threads > 1 && count > 1) {
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex errorMutex;
    host::detail::parallel_for(count, threads, [&](int64_t i) {
      if (failed.load(std::memory_order_relaxed)) return;
      try {
        job(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    });
    if (error) std::rethrow_exception(error);
    return;
  }
#else
  (void)threads;
#endif
  for (int64_t i = 0; i < count; ++i) job(i);
}

// job(b, begin, end) for the blocks [begin, end) of `block` indices that cover [0, count),
// as Parallel_For runs them on Cpu_Threads() threads. The blocks do not depend on the
// threads: sums formed block by block, then over the blocks in order, are the same on any
// number of threads.
template <class Job>
void Parallel_Blocks(size_t count, size_t block, const Job& job) {
  const size_t blocks = (count + block - 1) / block;
  Parallel_For(static_cast<int64_t>(blocks), Cpu_Threads(), [&](int64_t b) {
    const size_t begin = static_cast<size_t>(b) * block;
    job(static_cast<size_t>(b), begin, std::min(count, begin + block));
  });
}

}  // namespace korvex::platform
