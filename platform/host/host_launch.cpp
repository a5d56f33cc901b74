// Kernel launches on the host backend: the vendor's configuration checks, then the grid of
// the launch in progress as loop bounds for the kernel body.
#include "host_launch.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "host_state.h"
#include "host_team.h"

using korvex::host::detail::device_gate;
using korvex::host::detail::Operation;
using korvex::host::detail::record;
using korvex::host::detail::run_team;
using korvex::host::detail::runtime_injected;
using korvex::host::detail::State;
using korvex::host::detail::state;
using korvex::host::detail::team_size;
using korvex::host::detail::team_work;

namespace {

constexpr uint64_t kMaxThreadsPerBlock = 1024;
constexpr unsigned kMaxBlockXY = 1024;
constexpr unsigned kMaxBlockZ = 64;
constexpr unsigned kMaxGridYZ = 65535;
constexpr unsigned kMaxGridX = 2147483647u;
// Below this many pixels a kernel body takes a few microseconds, no more than waking and
// joining the worker team costs.
constexpr uint64_t kParallelPixels = 65536;
// Rows are claimed in about this many blocks a thread, none under kBlockPixels: enough that
// the threads that run take over the blocks of one that waits for a core, few enough that
// claiming costs nothing.
constexpr uint64_t kBlocksPerThread = 8;
constexpr uint64_t kBlockPixels = 8192;
// Pixel loops of one kernel whose rows are shared; the lead thread runs any further ones alone.
constexpr int kSharedLoops = 8;

struct Launch {
  dim3 grid;
  dim3 block;
  bool flush;
};

// What the threads of one kernel on the team share: the next block of each pixel loop.
struct TeamRows {
  std::atomic<uint64_t> next[kSharedLoops];
  uint64_t threads;
};

thread_local bool launch_active = false;
thread_local Launch current_launch;
// Set while this thread runs a kernel on the team.
thread_local TeamRows* team_rows = nullptr;
thread_local bool team_lead = false;
thread_local int loop_index = 0;

bool valid_configuration(dim3 grid, dim3 block) {
  if (grid.x == 0 || grid.y == 0 || grid.z == 0) return false;
  if (block.x == 0 || block.y == 0 || block.z == 0) return false;
  const uint64_t threads = uint64_t{block.x} * block.y * block.z;
  if (threads > kMaxThreadsPerBlock) return false;
  if (block.x > kMaxBlockXY || block.y > kMaxBlockXY || block.z > kMaxBlockZ) return false;
  return grid.x <= kMaxGridX && grid.y <= kMaxGridYZ && grid.z <= kMaxGridYZ;
}

unsigned clip(unsigned blocks, unsigned threads, unsigned limit) {
  return static_cast<unsigned>(std::min<uint64_t>(uint64_t{blocks} * threads, limit));
}

}  // namespace

namespace korvex::host {

bool begin_launch(dim3 grid, dim3 block, cudaStream_t stream, bool flush) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  cudaError_t status;
  if (runtime_injected(s, Operation::cudaLaunchKernel, status)) return false;
  if ((status = device_gate(s)) != cudaSuccess) {
    record(status);
    return false;
  }
  if (!s.config.kernel_images) {
    record(cudaErrorNoKernelImageForDevice);
    return false;
  }
  if (!valid_configuration(grid, block)) {
    record(cudaErrorInvalidConfiguration);
    return false;
  }
  if (stream && s.streams.count(stream) == 0) {
    record(cudaErrorInvalidResourceHandle);
    return false;
  }
  current_launch = {grid, block, flush};
  launch_active = true;
  return true;
}

void end_launch() { launch_active = false; }

void run_kernel(void (*kernel)(void*), void* context) {
  const Launch launch = current_launch;
  const uint64_t extent = uint64_t{clip(launch.grid.x, launch.block.x, kMaxGridX)} *
                          clip(launch.grid.y, launch.block.y, kMaxGridX);
  const bool once = uint64_t{launch.grid.z} * launch.block.z == 1;
  const int threads = once && extent >= kParallelPixels ? team_size() : 1;
  if (threads <= 1) {
    const FloatMode mode(launch.flush);
    kernel(context);
    return;
  }
  TeamRows rows;
  for (auto& next : rows.next) next.store(0, std::memory_order_relaxed);
  rows.threads = static_cast<uint64_t>(threads);
  std::atomic<bool> lead_taken{false};
  auto participant = [&] {
    const bool was_active = launch_active;
    const Launch was = current_launch;
    current_launch = launch;
    launch_active = true;
    team_rows = &rows;
    team_lead = !lead_taken.exchange(true, std::memory_order_relaxed);
    loop_index = 0;
    {
      const FloatMode mode(launch.flush);
      kernel(context);
    }
    team_rows = nullptr;
    current_launch = was;
    launch_active = was_active;
  };
  run_team(threads, team_work(participant));
}

RowBlocks::RowBlocks(const PixelRange& range) : rows_(range.rows) {
  if (team_rows == nullptr) return;
  const int loop = loop_index++;
  if (loop >= kSharedLoops) {
    if (!team_lead) rows_ = 0;
    return;
  }
  shared_ = &team_rows->next[loop];
  uint64_t block = rows_;
  if (range.parallel) {
    const uint64_t share = (rows_ + kBlocksPerThread * team_rows->threads - 1) /
                           (kBlocksPerThread * team_rows->threads);
    const uint64_t least = (kBlockPixels + range.cols - 1) / std::max(range.cols, 1u);
    block = std::max(share, least);
  }
  block_ = static_cast<unsigned>(std::clamp<uint64_t>(block, 1, std::max(rows_, 1u)));
}

bool RowBlocks::next() {
  if (shared_ == nullptr) {
    first_ = 0;
    last_ = rows_;
    return std::exchange(pending_, false);
  }
  const uint64_t claimed =
      static_cast<std::atomic<uint64_t>*>(shared_)->fetch_add(1, std::memory_order_relaxed);
  const uint64_t first = claimed * block_;
  if (first >= rows_) return false;
  first_ = static_cast<unsigned>(first);
  last_ = static_cast<unsigned>(std::min<uint64_t>(rows_, first + block_));
  return true;
}

PixelRange current_pixel_range(unsigned W, unsigned H) {
  if (!launch_active) throw std::logic_error("a kernel body ran outside a kernel launch");
  const Launch& l = current_launch;
  PixelRange range;
  range.cols = clip(l.grid.x, l.block.x, W);
  range.rows = clip(l.grid.y, l.block.y, H);
  range.repeat = l.grid.z * l.block.z;  // at most 65535 * 64
  range.parallel = uint64_t{range.rows} * range.cols >= kParallelPixels;
  range.flush = l.flush;
  return range;
}

}  // namespace korvex::host
