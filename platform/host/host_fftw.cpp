// The threads of the host transforms: FFTW's parallel loops run on the worker team.
#include "host_fftw.h"

#include <mutex>

#include "host_team.h"

#if defined(KORVEX_FFTW_THREADS)
#define KORVEX_FFTW_ON_TEAM 1
#endif

namespace korvex::host::detail {
namespace {

#if defined(KORVEX_FFTW_ON_TEAM)

// FFTW's parallel loop, run by the worker team: job i is work(jobs + i * size).
void team_loop(void* (*work)(char*), char* jobs, size_t size, int count, void* /*data*/) {
  parallel_for(count, team_size(), [&](int64_t i) { work(jobs + size * static_cast<size_t>(i)); });
}

template <class Real>
struct Threading;

template <>
struct Threading<float> {
  static bool init() { return fftwf_init_threads() != 0; }
  static int planner_threads() { return fftwf_planner_nthreads(); }
  static void plan_with(int n) { fftwf_plan_with_nthreads(n); }
  static void use_team(bool on) { fftwf_threads_set_callback(on ? team_loop : nullptr, nullptr); }
};

template <>
struct Threading<double> {
  static bool init() { return fftw_init_threads() != 0; }
  static int planner_threads() { return fftw_planner_nthreads(); }
  static void plan_with(int n) { fftw_plan_with_nthreads(n); }
  static void use_team(bool on) { fftw_threads_set_callback(on ? team_loop : nullptr, nullptr); }
};

template <class Real>
bool threads_ready() {
  static const bool ready = Threading<Real>::init();
  return ready;
}

// How many live ExecutionThreads of a precision hold the callback; the last one out clears it.
template <class Real>
struct TeamUsers {
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static inline int count = 0;
};

template <class Real>
void enter_team() {
  std::lock_guard<std::mutex> lock(TeamUsers<Real>::mutex());
  if (TeamUsers<Real>::count++ == 0) Threading<Real>::use_team(true);
}

template <class Real>
void leave_team() {
  std::lock_guard<std::mutex> lock(TeamUsers<Real>::mutex());
  if (--TeamUsers<Real>::count == 0) Threading<Real>::use_team(false);
}
#endif

}  // namespace

template <class Real>
PlanningThreads<Real>::PlanningThreads(size_t points) {
#if defined(KORVEX_FFTW_ON_TEAM)
  if (!threads_ready<Real>()) return;
  saved_ = Threading<Real>::planner_threads();
  // Below this a transform takes tens of microseconds, what a fork and a join of the team
  // may cost; measuring threaded candidates of every small size would cost far more.
  constexpr size_t kSharedPoints = 32768;
  Threading<Real>::plan_with(points >= kSharedPoints ? team_size() : 1);
  enter_team<Real>();  // measuring times the loops as they will run
#else
  (void)points;
#endif
}

template <class Real>
PlanningThreads<Real>::~PlanningThreads() {
#if defined(KORVEX_FFTW_ON_TEAM)
  if (saved_ > 0) {
    leave_team<Real>();
    Threading<Real>::plan_with(saved_);
  }
#endif
}

template <class Real>
ExecutionThreads<Real>::ExecutionThreads() {
#if defined(KORVEX_FFTW_ON_TEAM)
  enter_team<Real>();
#endif
}

template <class Real>
ExecutionThreads<Real>::~ExecutionThreads() {
#if defined(KORVEX_FFTW_ON_TEAM)
  leave_team<Real>();
#endif
}

template class PlanningThreads<float>;
template class PlanningThreads<double>;
template class ExecutionThreads<float>;
template class ExecutionThreads<double>;

}  // namespace korvex::host::detail
