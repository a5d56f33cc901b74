// The worker team of the host backend: the threads that run kernels, transforms, copies and
// sums. Internal to platform/host.
//
// Workers sleep on a condition variable between jobs and never spin. On a machine whose cores
// are busy elsewhere a spinning waiter burns the time slice that the thread it waits for
// needs, and every join of the team then costs a scheduler slice. The caller takes part in
// its own job and work is claimed piece by piece, so pieces that a sleeping or descheduled
// worker has not claimed are done by the threads that run: a busy machine slows a job in
// proportion to the cores it leaves, no more.
//
// One job at a time: a caller that finds the team busy (another thread's job, or a job that
// starts inside a job) does its work alone. A forked child starts with no workers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace korvex::host::detail {

// Threads a job of the calling thread may use: its OpenMP thread count (OMP_NUM_THREADS,
// omp_set_num_threads, threadpoolctl's limits), or the hardware's in a build without OpenMP.
int team_size();

// A call without allocation: call(context).
struct TeamWork {
  void (*call)(void*);
  void* context;
};

template <class F>
TeamWork team_work(F& f) {
  return {[](void* context) { (*static_cast<F*>(context))(); }, &f};
}

// Calls work on the calling thread and on up to `threads - 1` workers at once, and returns
// when every call has returned. The calls share out the job among themselves (as
// parallel_for does); any of them may be the only one. work must not throw.
void run_team(int threads, TeamWork work);

// job(i) for every i in [0, count), on up to `threads` threads; each i is claimed by the
// first thread that asks for it. Writes of every job are visible when it returns.
template <class Job>
void parallel_for(int64_t count, int threads, const Job& job) {
  if (count <= 0) return;
  if (threads <= 1 || count == 1) {
    for (int64_t i = 0; i < count; ++i) job(i);
    return;
  }
  std::atomic<int64_t> next{0};
  auto participant = [&] {
    for (int64_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) job(i);
  };
  run_team(static_cast<int>(std::min<int64_t>(threads, count)), team_work(participant));
}

}  // namespace korvex::host::detail
