// Kernel launches on the host backend: the vendor's configuration checks, then the grid of
// the launch in progress as loop bounds for the kernel body.
#include "host_launch.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "host_state.h"

using korvex::host::detail::device_gate;
using korvex::host::detail::Operation;
using korvex::host::detail::record;
using korvex::host::detail::runtime_injected;
using korvex::host::detail::State;
using korvex::host::detail::state;

namespace {

constexpr uint64_t kMaxThreadsPerBlock = 1024;
constexpr unsigned kMaxBlockXY = 1024;
constexpr unsigned kMaxBlockZ = 64;
constexpr unsigned kMaxGridYZ = 65535;
constexpr unsigned kMaxGridX = 2147483647u;
// Below this many pixels a kernel body takes a few microseconds, no more than waking and
// joining the OpenMP team costs.
constexpr uint64_t kParallelPixels = 65536;

struct Launch {
  dim3 grid;
  dim3 block;
  bool flush;
};

thread_local bool launch_active = false;
thread_local Launch current_launch;

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
