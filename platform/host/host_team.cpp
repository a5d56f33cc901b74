// The host backend's sleeping worker team (host_team.h).
#include "host_team.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(_OPENMP)
#include <omp.h>
#endif

namespace korvex::host::detail {
namespace {

// More threads than this are never started, whatever a caller asks for.
constexpr int kMaxThreads = 256;

// The workers of one process and what they share. Workers wait for a new generation; the
// caller waits for the workers that took part in its job to leave it.
struct Crew {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable done;
  uint64_t generation = 0;
  bool open = false;  // the current job still takes workers in
  int slots = 0;      // workers it still takes
  int active = 0;     // workers inside it
  bool stop = false;
  TeamWork work{};
  std::vector<std::thread> workers;
  pid_t owner = getpid();

  void serve() {
    std::unique_lock<std::mutex> lock(mutex);
    uint64_t seen = generation;
    for (;;) {
      wake.wait(lock, [&] { return stop || generation != seen; });
      if (stop) return;
      seen = generation;
      if (!open || slots == 0) continue;
      --slots;
      ++active;
      const TeamWork job = work;
      lock.unlock();
      job.call(job.context);
      lock.lock();
      if (--active == 0 && !open) done.notify_one();
    }
  }

  void run(int threads, TeamWork job) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      try {
        while (static_cast<int>(workers.size()) < threads - 1) {
          workers.emplace_back([this] { serve(); });
        }
      } catch (const std::system_error&) {
        // No more threads to be had: the job runs on those there are.
      }
      work = job;
      ++generation;
      open = true;
      slots = threads - 1;
    }
    wake.notify_all();
    job.call(job.context);
    std::unique_lock<std::mutex> lock(mutex);
    open = false;
    done.wait(lock, [&] { return active == 0; });
  }

  // Workers are joined where they live: at exit, or when the library is unloaded.
  ~Crew() {
    if (owner != getpid()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
  }
};

// Set once the team is destroyed (at exit, or when the library is unloaded): work that comes
// later, from another library's exit handlers, runs on its caller alone.
std::atomic<bool> team_gone{false};

struct Team {
  Team() { pthread_atfork(nullptr, nullptr, [] { instance().forked(); }); }
  ~Team() {
    team_gone.store(true);
    delete crew;
  }
  static Team& instance() {
    static Team team;
    return team;
  }
  // The child of a fork holds none of the parent's workers, and the crew's lock may have
  // been held by one of them: the child starts a crew of its own and leaves the old one be.
  void forked() {
    crew = new Crew;
    busy.store(false);
  }

  std::atomic<bool> busy{false};
  Crew* crew = new Crew;
};

}  // namespace

int team_size() {
#if defined(_OPENMP)
  const int threads = omp_get_max_threads();
#else
  const int threads = static_cast<int>(std::thread::hardware_concurrency());
#endif
  return std::clamp(threads, 1, kMaxThreads);
}

void run_team(int threads, TeamWork work) {
  threads = std::min(threads, kMaxThreads);
  if (threads <= 1 || team_gone.load(std::memory_order_relaxed)) {
    work.call(work.context);
    return;
  }
  Team& team = Team::instance();
  bool idle = false;
  if (!team.busy.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
    work.call(work.context);
    return;
  }
  team.crew->run(threads, work);
  team.busy.store(false, std::memory_order_release);
}

}  // namespace korvex::host::detail
